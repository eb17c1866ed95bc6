#include "support/RunSandbox.h"

#include "support/Files.h"
#include "texts/StatusTexts.h"

namespace korvane::test {

// The system's temporary directory is TMP's, or TEMP's.
struct TRunSandbox::TImpl {
    TTempDir Temp;
    TScopedEnvironment TmpVariable{"TMP", Temp.Path().string()};
    TScopedEnvironment TempVariable{"TEMP", Temp.Path().string()};
};

TRunSandbox::TRunSandbox() : FImpl(std::make_unique<TImpl>()) {}
TRunSandbox::~TRunSandbox() = default;

std::filesystem::path TRunSandbox::Target() const {
    // In the one run folder, "Korvane-" and 32 hexadecimal digits; in none that exists without.
    std::filesystem::path folder = FImpl->Temp.Path() / L"no run folder";
    for (const auto& entry : std::filesystem::directory_iterator(FImpl->Temp.Path())) {
        if (entry.is_directory() && entry.path().filename().wstring().starts_with(L"Korvane-")) {
            folder = entry.path();
        }
    }
    return folder / LoadText(TStatusText::sSetupFileName);
}

bool TRunSandbox::LeftRunnable() const {
    return std::filesystem::exists(Target());
}

}  // namespace korvane::test
