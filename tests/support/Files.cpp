#include "support/Files.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace korvane::test {

void WriteFile(const std::filesystem::path& APath, std::string_view AContent) {
    std::ofstream file(APath, std::ios::binary | std::ios::trunc);
    file.write(AContent.data(), static_cast<std::streamsize>(AContent.size()));
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + APath.string());
    }
}

std::string ReadFile(const std::filesystem::path& APath) {
    std::ifstream file(APath, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + APath.string());
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace korvane::test
