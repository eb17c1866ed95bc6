// The built program as a user runs it: copied into a directory of its own, shown on an X server,
// downloading from nginx on the download port.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::kDownloadPort;
using test::ProgramPath;
using test::ReadFile;
using test::SourceDir;
using test::TChildProcess;
using test::TNginx;
using test::TStdio;
using test::TTempDir;
using test::WaitUntil;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXwininfo = "/usr/bin/xwininfo";

// Owns a descriptor opened on `APath`.
class TOutputFile {
public:
    explicit TOutputFile(const fs::path& APath)
        : FFd(::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
        if (FFd < 0) {
            throw std::runtime_error("cannot open " + APath.string());
        }
    }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;
    ~TOutputFile() { ::close(FFd); }
    int Get() const { return FFd; }

private:
    int FFd;
};

// Xvfb on the first display number that nobody uses.
class TXServer {
public:
    TXServer() {
        const TOutputFile quiet("/dev/null");
        for (int number = 90; number < 190; ++number) {
            const std::string display = ":" + std::to_string(number);
            const fs::path socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
                continue;
            }
            FProcess = std::make_unique<TChildProcess>(
                std::vector<std::string>{kXvfb, display, "-screen", "0", "1024x768x24", "-nolisten",
                                         "tcp"},
                std::map<std::string, std::string>{},
                TStdio{.In = -1, .Out = quiet.Get(), .Err = quiet.Get()});
            // Another server that took the number first makes this one give up at once.
            WaitUntil([&] { return fs::exists(socket) || FProcess->Wait(0ms); }, 10s);
            if (!FProcess->Wait(0ms) && fs::exists(socket)) {
                FDisplay = display;
                return;
            }
        }
        throw std::runtime_error("no X display could be started");
    }
    const std::string& Display() const { return FDisplay; }

private:
    std::unique_ptr<TChildProcess> FProcess;
    std::string FDisplay;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {kXvfb, kXwininfo}) {
            if (!fs::exists(tool)) {
                GTEST_SKIP() << tool << " is not installed (packages xvfb and x11-utils)";
            }
        }
        FXServer = std::make_unique<TXServer>();
        fs::copy_file(ProgramPath(), FProgramDir / "KorvaneDownloader");
    }

    std::map<std::string, std::string> Environment() const {
        return {{"DISPLAY", FXServer->Display()},
                {"QT_QPA_PLATFORM", "xcb"},
                {"TMPDIR", FTemp.Path().string()}};
    }

    // Starts the copy of the program as a user would, with no argument.
    std::unique_ptr<TChildProcess> StartProgram() const {
        return std::make_unique<TChildProcess>(
            std::vector<std::string>{(FProgramDir / "KorvaneDownloader").string()}, Environment());
    }

    // The X server's window tree, one window a line with its title and class.
    std::string WindowTree() const {
        const fs::path output = FWork / "tree.txt";
        {
            const TOutputFile file(output);
            TChildProcess xwininfo({kXwininfo, "-root", "-tree"},
                                   {{"DISPLAY", FXServer->Display()}, {"LC_ALL", "C.UTF-8"}},
                                   TStdio{.In = -1, .Out = file.Get(), .Err = -1});
            xwininfo.Wait(10s);
        }
        return ReadFile(output);
    }

    TNginx ServeSetupProgram() const {
        fs::copy_file(SourceDir() / "support" / "demo-setup.sh", FServed / "KorvaneSetup.exe");
        return ServeDocuments();
    }
    TNginx ServeDocuments() const {
        TNginx::TOptions options;
        options.DocRoot = FServed.Path();
        options.HttpsPort = kDownloadPort;
        return TNginx(options);
    }

    const TTempDir FProgramDir;
    const TTempDir FServed;
    const TTempDir FTemp;
    const TTempDir FWork;
    std::unique_ptr<TXServer> FXServer;
};

TEST_F(EndToEnd, StartsTheSetupProgramWithTheLanguageAndExitsWithZero) {
    const TNginx server = ServeSetupProgram();
    const auto program = StartProgram();

    EXPECT_EQ(program->Wait(60s), std::optional<int>(0));

    const fs::path record = FTemp / "KorvaneSetup.started";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(record); }, 10s));
    EXPECT_EQ(ReadFile(record), "1\n/LANG=fr\n");
    EXPECT_TRUE(fs::is_regular_file(FProgramDir / "libssl.so.3"));
    EXPECT_TRUE(fs::is_regular_file(FProgramDir / "libcrypto.so.3"));
}

TEST_F(EndToEnd, AMissingFileLeavesTheWindowUpWithTheFailure) {
    const TNginx server = ServeDocuments();
    const auto program = StartProgram();

    std::string tree;
    const bool failed = WaitUntil(
        [&] {
            tree = WindowTree();
            return tree.find("\"Téléchargement échoué !\": (\"KorvaneDownloader\"") !=
                   std::string::npos;
        },
        60s);

    EXPECT_TRUE(failed) << tree;
    EXPECT_EQ(program->Wait(0ms), std::nullopt);
    EXPECT_FALSE(fs::exists(FTemp / "KorvaneSetup.started"));
    program->Kill();
}

}  // namespace
}  // namespace korvane
