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
    return FImpl->Temp.Path() / LoadText(TStatusText::sSetupFileName);
}

bool TRunSandbox::LeftRunnable() const {
    return std::filesystem::exists(Target());
}

}  // namespace korvane::test
