// The error that errno holds, as an exception.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace korvane::test {

// errno's error now, described after `AWhat` ("cannot open x: No such file or directory").
inline std::system_error ErrnoError(const std::string& AWhat) {
    return {errno, std::generic_category(), AWhat};
}

[[noreturn]] inline void ThrowErrno(const std::string& AWhat) {
    throw ErrnoError(AWhat);
}

}  // namespace korvane::test
