#include "support/RunSandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include "support/Files.h"
#include "support/TestSupport.h"
#include "texts/StatusTexts.h"

namespace korvane::test {

// The home directory and TMPDIR lead to the data and the temporary directory.
struct TRunSandbox::TImpl {
    TTempDir Home;
    TScopedEnvironment HomeVariable{"HOME", Home.Path().string()};
    TScopedEnvironment DataVariable{"XDG_DATA_HOME", std::nullopt};
    TScopedEnvironment TmpVariable{"TMPDIR", Home.Path().string()};
    // The download lock then lives in the data directory, not in the session's.
    TScopedEnvironment RuntimeVariable{"XDG_RUNTIME_DIR", std::nullopt};
};

TRunSandbox::TRunSandbox() : FImpl(std::make_unique<TImpl>()) {}
TRunSandbox::~TRunSandbox() = default;

std::filesystem::path TRunSandbox::Target() const {
    return RunTarget(FImpl->Home.Path(), ::getuid());
}

bool TRunSandbox::LeftRunnable() const {
    struct stat status {};
    return ::stat(Target().c_str(), &status) == 0 && (status.st_mode & S_IXUSR) != 0;
}

}  // namespace korvane::test
