// A temporary directory of the test's own that stands in for the user's while the core's download
// run goes to the system layer: the variables that lead the system there are set for the object's
// lifetime. One implementation per system (RunSandbox_linux.cpp, RunSandbox_windows.cpp).
#pragma once

#include <filesystem>
#include <memory>

namespace korvane::test {

class TRunSandbox {
public:
    TRunSandbox();
    TRunSandbox(const TRunSandbox&) = delete;
    TRunSandbox& operator=(const TRunSandbox&) = delete;
    ~TRunSandbox();

    // Where the run downloads the setup program.
    std::filesystem::path Target() const;
    // True when something the system would run is left there: a file with the permission to run
    // on Linux, any file under the program's name on Windows.
    bool LeftRunnable() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace korvane::test
