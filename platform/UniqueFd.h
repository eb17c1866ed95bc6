// Owns a POSIX file descriptor and closes it when it goes out of scope.
#pragma once

#include <unistd.h>

#include <utility>

namespace korvane::platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int AFd) : FFd(AFd) {}
    UniqueFd(UniqueFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
    UniqueFd& operator=(UniqueFd&& AOther) noexcept {
        if (this != &AOther) {
            Reset();
            FFd = std::exchange(AOther.FFd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return FFd; }
    explicit operator bool() const { return FFd >= 0; }

    // Gives the descriptor up to the caller, who closes it.
    int Release() { return std::exchange(FFd, -1); }

    void Reset() {
        if (FFd >= 0) {
            ::close(FFd);
            FFd = -1;
        }
    }

private:
    int FFd = -1;
};

}  // namespace korvane::platform
