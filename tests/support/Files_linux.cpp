#include "support/Files.h"

#include <cstdlib>
#include <system_error>
#include <utility>

#include "support/SystemError.h"

namespace korvane::test {

namespace {

// Restores the owner's access to every directory below `ADirectory`, so that everything in it can
// be removed; symbolic links are not followed.
void MakeRemovable(const std::filesystem::path& ADirectory) {
    std::error_code error;
    std::filesystem::permissions(ADirectory, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    for (const auto& entry : std::filesystem::directory_iterator(ADirectory, error)) {
        if (entry.symlink_status(error).type() == std::filesystem::file_type::directory) {
            MakeRemovable(entry.path());
        }
    }
}

}  // namespace

TTempDir::TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        ThrowErrno("cannot make a temporary directory");
    }
    FPath = pattern;
}

TTempDir::~TTempDir() {
    MakeRemovable(FPath);
    std::error_code error;
    std::filesystem::remove_all(FPath, error);
}

TScopedEnvironment::TScopedEnvironment(std::string AName, const std::optional<std::string>& AValue)
    : FName(std::move(AName)) {
    if (const char* old = std::getenv(FName.c_str())) {
        FOld = old;
    }
    if (AValue) {
        ::setenv(FName.c_str(), AValue->c_str(), 1);
    } else {
        ::unsetenv(FName.c_str());
    }
}

TScopedEnvironment::~TScopedEnvironment() {
    if (FOld) {
        ::setenv(FName.c_str(), FOld->c_str(), 1);
    } else {
        ::unsetenv(FName.c_str());
    }
}

}  // namespace korvane::test
