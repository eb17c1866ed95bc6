// Measures the program's download path next to curl, and the window's start-up next to a bare Qt
// window. Every measured run is a fresh process (this program again, or curl), so that its
// processor time and peak memory are those of a whole program run; the ways being compared run in
// turn within each repetition, and each is judged by its ratio to the run of curl beside it, so
// that a drift of the shared machine's speed hits both sides of a ratio alike. A throughput is the
// file's size over the time of the download itself, as the process timed it (curl: time_total),
// from the start of the GET (connection and TLS included) to the end of the file; the start-up of
// the process has its own figure. ./bench.sh provides the servers and files:
//
//   korvane_bench --cacert CA --https BASE --http BASE --docroot DIR --target-dir DIR
//                 [--public-key KEY] [--repeat N] [--startup-repeat N] FILE...
//
// Both BASE addresses serve each FILE of DIR as BASE/FILE. With a minisign public key KEY, each
// FILE of DIR signed beside it (FILE.minisig) also gets the cost of checking its signature.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ProgramParts.h"
#include "app/qt/fmMain.h"
#include "download/IdHTTPProgress.h"
#include "download/SetupSignature.h"
#include "download/curl/CurlGlobal.h"
#include "platform/Platform.h"
#include "platform/UniqueFd.h"
#include "support/ChildProcess.h"
#include "support/SystemError.h"

namespace korvane::bench {
namespace {

namespace fs = std::filesystem;
using namespace Qt::StringLiterals;
using platform::UniqueFd;
using test::ThrowErrno;
using TClock = std::chrono::steady_clock;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * kMiB;

// The client area of the window template, for the bare window to compare with.
constexpr int kWindowWidth = 694;
constexpr int kWindowHeight = 56;

// A start-up child that never sees its window exposed gives up after this.
constexpr std::chrono::seconds kExposeGiveUp{20};

// What the child processes are told to do, as their first argument.
constexpr std::string_view kWindowDownload = "child:window-download";
constexpr std::string_view kClientDownload = "child:client-download";
constexpr std::string_view kShowWindow = "child:show-window";
constexpr std::string_view kShowBare = "child:show-bare";

double Median(std::vector<double> AValues) {
    if (AValues.empty()) {
        return 0;
    }
    std::sort(AValues.begin(), AValues.end());
    const size_t middle = AValues.size() / 2;
    return AValues.size() % 2 != 0 ? AValues[middle] : (AValues[middle - 1] + AValues[middle]) / 2;
}

std::int64_t SinceClockStartNs(TClock::time_point ATime) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(ATime.time_since_epoch()).count();
}

// ------------------------------------------------------------------------------------------------
// The measured children.

// A Qt application that, like the program, passes no arguments to Qt.
class TQtApplication {
public:
    TQtApplication() : FApplication(FArgumentCount, FArguments) {}

private:
    char FName[16] = "korvane_bench";
    char* FArguments[2] = {FName, nullptr};
    int FArgumentCount = 1;
    QApplication FApplication;
};

// Wraps the client's subscriber, whatever it is, to count its calls; prints the count and the time
// the download took at the end.
int CountedDownload(TIdHTTPProgress& AClient, const std::string& AUrl, const fs::path& ATarget) {
    std::int64_t notifications = 0;
    AClient.SetOnChange(
        [&notifications, subscriber = AClient.OnChange()](TIdHTTPProgress& ASender) {
            ++notifications;
            if (subscriber) {
                subscriber(ASender);
            }
        });
    const TClock::time_point start = TClock::now();
    if (AClient.DownloadFile(AUrl, ATarget) != TTransferOutcome::Completed) {
        std::cerr << "the download was cancelled\n";
        return 1;
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - start);
    std::cout << "notifications " << notifications << "\ntransfer-ns " << elapsed.count()
              << std::endl;
    return 0;
}

// Handles events until the window is on screen and painted, as it is when the run's timer fires.
void WaitUntilExposed(const QWidget& AWindow) {
    bool gaveUp = false;
    QTimer::singleShot(kExposeGiveUp, [&gaveUp] { gaveUp = true; });
    while (AWindow.windowHandle() == nullptr || !AWindow.windowHandle()->isExposed()) {
        if (gaveUp) {
            throw std::runtime_error("the window was never exposed");
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QCoreApplication::processEvents();
}

// The real run path: every notification goes through the window's progress display, which moves
// the bar, sets the status line and handles the pending events once. The run starts from the
// timer, a second after the window appeared: the download starts once the window is on screen.
int WindowDownload(const std::string& AUrl, const fs::path& ATarget) {
    TQtApplication application;
    TfrmMain frmMain(ProgramParts());
    frmMain.show();
    // A run disarms the timer before it downloads; this download stands in for the run.
    frmMain.SetTimerArmed(false);
    WaitUntilExposed(frmMain);
    return CountedDownload(frmMain.HttpClient(), AUrl, ATarget);
}

// The client with a subscriber that does nothing but count.
int ClientDownload(const std::string& AUrl, const fs::path& ATarget) {
    TIdHTTPProgress client(ProgramParts().Transport);
    return CountedDownload(client, AUrl, ATarget);
}

// The process's peak resident memory so far (VmHWM), in KiB.
std::int64_t PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            std::int64_t kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    throw std::runtime_error("no VmHWM in /proc/self/status");
}

// Prints the clock and the peak memory at the first expose of any window, then ends the event
// loop.
class TFirstExposeReporter : public QObject {
public:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
        if (!FReported && AEvent->type() == QEvent::Expose && AWatched->isWindowType() &&
            static_cast<QWindow*>(AWatched)->isExposed()) {
            FReported = true;
            const std::int64_t exposed = SinceClockStartNs(TClock::now());
            std::cout << "exposed " << exposed << "\npeak-kib " << PeakResidentKiB() << std::endl;
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool FReported = false;
};

// Starts as the program does (or with a bare window of the same size) up to the first expose.
int ShowWindow(bool AReal) {
    TQtApplication application;
    TFirstExposeReporter reporter;
    QCoreApplication::instance()->installEventFilter(&reporter);
    QTimer::singleShot(kExposeGiveUp, [] { QCoreApplication::exit(3); });
    if (AReal) {
        QApplication::setWindowIcon(QIcon(u":/KorvaneDownloader.png"_s));
        TfrmMain frmMain(ProgramParts());
        frmMain.show();
        return QApplication::exec();
    }
    QWidget bare;
    bare.resize(kWindowWidth, kWindowHeight);
    bare.show();
    return QApplication::exec();
}

int RunChild(const std::vector<std::string>& AArguments) {
    const std::string& mode = AArguments.at(0);
    try {
        if (mode == kWindowDownload) {
            return WindowDownload(AArguments.at(1), AArguments.at(2));
        }
        if (mode == kClientDownload) {
            return ClientDownload(AArguments.at(1), AArguments.at(2));
        }
        if (mode == kShowWindow || mode == kShowBare) {
            return ShowWindow(mode == kShowWindow);
        }
    } catch (const std::exception& error) {
        std::cerr << mode << ": " << error.what() << '\n';
        return 1;
    }
    std::cerr << "unknown child mode " << mode << '\n';
    return 2;
}

// ------------------------------------------------------------------------------------------------
// Running and measuring one child.

struct TProcessFigures {
    TClock::time_point Started;  // just before the process was created
    double Seconds = 0;          // from Started until it had ended
    double UserSeconds = 0;      // processor time in the process itself, outside the kernel
    double SystemSeconds = 0;    // processor time in the kernel on behalf of the process
    double PeakRssMiB = 0;
    std::string Output;  // its standard output
};

double Seconds(const timeval& ATime) {
    return static_cast<double>(ATime.tv_sec) + static_cast<double>(ATime.tv_usec) / 1e6;
}

std::string Joined(const std::vector<std::string>& AWords) {
    std::string text;
    for (const std::string& word : AWords) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

std::string ReadAll(int AFd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(AFd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            ThrowErrno("cannot read a child's output");
        }
        if (count == 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(count));
    }
}

// Runs `AArguments` (a program, looked up on PATH, and its arguments) to its end; a failure raises.
TProcessFigures RunMeasured(const std::vector<std::string>& AArguments) {
    test::TPipe output = test::MakePipe();
    TProcessFigures figures;
    figures.Started = TClock::now();
    test::TChildProcess child(AArguments, {}, test::TStdio{.Out = output.WriteEnd.Get()});
    output.WriteEnd.Reset();
    figures.Output = ReadAll(output.ReadEnd.Get());
    const int exitCode = child.Join();
    figures.Seconds = std::chrono::duration<double>(TClock::now() - figures.Started).count();
    const rusage& usage = child.Usage();
    figures.UserSeconds = Seconds(usage.ru_utime);
    figures.SystemSeconds = Seconds(usage.ru_stime);
    figures.PeakRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    if (exitCode != 0) {
        throw std::runtime_error(Joined(AArguments) + " failed with exit code " +
                                 std::to_string(exitCode));
    }
    return figures;
}

// The value after `AKey` in a child's output.
double OutputValue(const std::string& AOutput, std::string_view AKey) {
    std::istringstream lines(AOutput);
    std::string key;
    double value = 0;
    while (lines >> key >> value) {
        if (key == AKey) {
            return value;
        }
    }
    throw std::runtime_error("no \"" + std::string(AKey) + "\" in a child's output: " + AOutput);
}

fs::path SelfPath() {
    return fs::read_symlink("/proc/self/exe");
}

// ------------------------------------------------------------------------------------------------
// The transfer comparison.

struct TOptions {
    fs::path CaFile;
    fs::path DocRoot;
    fs::path TargetDir;
    fs::path PublicKey;
    std::string HttpsBase;
    std::string HttpBase;
    int Repeat = 9;
    int StartupRepeat = 11;
    std::vector<std::string> Files;
};

enum class TWay { Window, Client, Curl };
constexpr TWay kWays[] = {TWay::Window, TWay::Client, TWay::Curl};

const char* WayName(TWay AWay) {
    switch (AWay) {
        case TWay::Window:
            return "A real run path (window)";
        case TWay::Client:
            return "B HTTP client alone";
        case TWay::Curl:
            return "C curl";
    }
    return "";
}

struct TCase {
    std::string File;
    std::string Scheme;
    std::string Url;
    std::int64_t Size = 0;
};

// One download by one way.
struct TRun {
    double TransferSeconds = 0;  // the download itself, as the process timed it
    double ProcessSeconds = 0;   // the whole process, start-up and exit included
    double CpuSeconds = 0;       // user and system, the whole process
    double UserSeconds = 0;
    double PeakRssMiB = 0;
    double Notifications = 0;  // 0 for curl
};

// One way over the repetitions: medians.
struct TWayFigures {
    double TransferSeconds = 0;
    double ProcessSeconds = 0;
    double VsCurl = 0;  // of the ratios throughput / curl's throughput within one repetition
    double CpuSecondsPerGiB = 0;
    double UserSecondsPerGiB = 0;
    double PeakRssMiB = 0;
    double NotificationsPerSecond = 0;
};

using TCaseFigures = std::map<TWay, TWayFigures>;

template <class TValue>
std::vector<double> Each(const std::vector<TRun>& ARuns, TValue AValue) {
    std::vector<double> values;
    for (const TRun& run : ARuns) {
        values.push_back(AValue(run));
    }
    return values;
}

class TTransferBench {
public:
    explicit TTransferBench(const TOptions& AOptions)
        : FOptions(AOptions), FTarget(AOptions.TargetDir / "download.bin"), FSelf(SelfPath()) {}

    // Runs the ways in turn, A B C A B C..., `Repeat` times after one unmeasured round.
    TCaseFigures Run(const TCase& ACase) const {
        // The round that meets the file's first requests and the first allocation of its pages.
        for (const TWay way : kWays) {
            RunOnce(way, ACase);
        }
        std::map<TWay, std::vector<TRun>> runs;
        for (int repetition = 0; repetition < FOptions.Repeat; ++repetition) {
            for (const TWay way : kWays) {
                runs[way].push_back(RunOnce(way, ACase));
            }
        }
        const double gib = static_cast<double>(ACase.Size) / kGiB;
        const std::vector<TRun>& curl = runs.at(TWay::Curl);
        TCaseFigures result;
        for (const TWay way : kWays) {
            const std::vector<TRun>& own = runs.at(way);
            std::vector<double> ratios;
            for (size_t at = 0; at < own.size(); ++at) {
                ratios.push_back(curl[at].TransferSeconds / own[at].TransferSeconds);
            }
            result[way] = {
                .TransferSeconds =
                    Median(Each(own, [](const TRun& A) { return A.TransferSeconds; })),
                .ProcessSeconds = Median(Each(own, [](const TRun& A) { return A.ProcessSeconds; })),
                .VsCurl = Median(ratios),
                .CpuSecondsPerGiB =
                    Median(Each(own, [](const TRun& A) { return A.CpuSeconds; })) / gib,
                .UserSecondsPerGiB =
                    Median(Each(own, [](const TRun& A) { return A.UserSeconds; })) / gib,
                .PeakRssMiB = Median(Each(own, [](const TRun& A) { return A.PeakRssMiB; })),
                .NotificationsPerSecond = Median(
                    Each(own, [](const TRun& A) { return A.Notifications / A.TransferSeconds; })),
            };
        }
        return result;
    }

private:
    std::vector<std::string> Command(TWay AWay, const TCase& ACase) const {
        switch (AWay) {
            case TWay::Window:
                return {FSelf, std::string(kWindowDownload), ACase.Url, FTarget};
            case TWay::Client:
                return {FSelf, std::string(kClientDownload), ACase.Url, FTarget};
            case TWay::Curl:
                // time_total: from the start of the transfer (connection and TLS included) to its
                // end, as the children time their DownloadFile call.
                return {"curl",          "-s",      "-o",
                        FTarget,         ACase.Url, "--cacert",
                        FOptions.CaFile, "-w",      "transfer-s %{time_total}\n"};
        }
        return {};
    }

    // One download into the target, checked for its size and then deleted.
    TRun RunOnce(TWay AWay, const TCase& ACase) const {
        const TProcessFigures figures = RunMeasured(Command(AWay, ACase));
        const auto size = static_cast<std::int64_t>(fs::file_size(FTarget));
        fs::remove(FTarget);
        if (size != ACase.Size) {
            throw std::runtime_error(std::string(WayName(AWay)) + " downloaded " +
                                     std::to_string(size) + " bytes of " + ACase.Url);
        }
        TRun run{.ProcessSeconds = figures.Seconds,
                 .CpuSeconds = figures.UserSeconds + figures.SystemSeconds,
                 .UserSeconds = figures.UserSeconds,
                 .PeakRssMiB = figures.PeakRssMiB};
        if (AWay == TWay::Curl) {
            run.TransferSeconds = OutputValue(figures.Output, "transfer-s");
        } else {
            run.TransferSeconds = OutputValue(figures.Output, "transfer-ns") / 1e9;
            run.Notifications = OutputValue(figures.Output, "notifications");
        }
        return run;
    }

    const TOptions& FOptions;
    const fs::path FTarget;
    const fs::path FSelf;
};

std::string SizeName(std::int64_t ASize) {
    const double mib = static_cast<double>(ASize) / kMiB;
    std::ostringstream text;
    if (mib >= 1024) {
        text << mib / 1024 << " GiB";
    } else {
        text << mib << " MiB";
    }
    return text.str();
}

void PrintCase(const TCase& ACase, const TCaseFigures& AFigures, int ARepeat) {
    std::cout << '\n'
              << SizeName(ACase.Size) << " over " << ACase.Scheme << ", medians of " << ARepeat
              << " repetitions of A B C, each run a fresh process\n"
              << "  " << std::left << std::setw(26) << "way" << std::right << std::setw(11)
              << "transfer s" << std::setw(8) << "MiB/s" << std::setw(9) << "vs curl"
              << std::setw(11) << "process s" << std::setw(11) << "CPU s/GiB" << std::setw(12)
              << "user s/GiB" << std::setw(10) << "peak MiB" << std::setw(17) << "notifications/s"
              << '\n';
    for (const TWay way : kWays) {
        const TWayFigures& figures = AFigures.at(way);
        std::cout << "  " << std::left << std::setw(26) << WayName(way) << std::right << std::fixed
                  << std::setprecision(3) << std::setw(11) << figures.TransferSeconds
                  << std::setprecision(0) << std::setw(8)
                  << static_cast<double>(ACase.Size) / kMiB / figures.TransferSeconds
                  << std::setprecision(3) << std::setw(9) << figures.VsCurl << std::setw(11)
                  << figures.ProcessSeconds << std::setw(11) << figures.CpuSecondsPerGiB
                  << std::setw(12) << figures.UserSecondsPerGiB << std::setprecision(1)
                  << std::setw(10) << figures.PeakRssMiB;
        if (way == TWay::Curl) {
            std::cout << std::setw(17) << "-";
        } else {
            std::cout << std::setprecision(0) << std::setw(17) << figures.NotificationsPerSecond;
        }
        std::cout << '\n';
    }
    std::cout << std::defaultfloat << std::flush;
}

// ------------------------------------------------------------------------------------------------
// The start-up comparison.

struct TStartupRun {
    double Seconds = 0;  // from just before the process was created to the first expose
    double PeakMiB = 0;  // VmHWM at the first expose
};

TStartupRun StartupRun(const fs::path& ASelf, std::string_view AMode) {
    const TProcessFigures figures = RunMeasured({ASelf, std::string(AMode)});
    const TClock::time_point exposed{std::chrono::nanoseconds(
        static_cast<std::int64_t>(OutputValue(figures.Output, "exposed")))};
    return {std::chrono::duration<double>(exposed - figures.Started).count(),
            OutputValue(figures.Output, "peak-kib") / 1024.0};
}

// Medians; the ratio and the difference are those of the two runs of one repetition.
struct TStartupFigures {
    double Window = 0;
    double Bare = 0;
    double Ratio = 0;
    double WindowPeakMiB = 0;
    double BarePeakMiB = 0;
    double PeakDifferenceMiB = 0;
};

TStartupFigures MeasureStartup(int ARepeat) {
    const fs::path self = SelfPath();
    // One unmeasured start of each, so that both find the libraries in the page cache.
    StartupRun(self, kShowWindow);
    StartupRun(self, kShowBare);
    std::vector<double> window, bare, ratio, windowPeak, barePeak, peakDifference;
    for (int run = 0; run < ARepeat; ++run) {
        const TStartupRun real = StartupRun(self, kShowWindow);
        const TStartupRun reference = StartupRun(self, kShowBare);
        window.push_back(real.Seconds);
        bare.push_back(reference.Seconds);
        ratio.push_back(real.Seconds / reference.Seconds);
        windowPeak.push_back(real.PeakMiB);
        barePeak.push_back(reference.PeakMiB);
        peakDifference.push_back(real.PeakMiB - reference.PeakMiB);
    }
    return {Median(window),     Median(bare),     Median(ratio),
            Median(windowPeak), Median(barePeak), Median(peakDifference)};
}

void PrintStartup(const TStartupFigures& AFigures, int ARepeat) {
    std::cout << "\nStart-up to the first expose of the window, medians of " << ARepeat
              << " repetitions of both, each run a fresh process\n"
              << "  " << std::left << std::setw(26) << "window" << std::right << std::setw(11)
              << "ms" << std::setw(12) << "VmHWM MiB" << '\n'
              << std::fixed << "  " << std::left << std::setw(26) << "korvane window (TfrmMain)"
              << std::right << std::setprecision(1) << std::setw(11) << AFigures.Window * 1000
              << std::setw(12) << AFigures.WindowPeakMiB << '\n'
              << "  " << std::left << std::setw(26) << "bare QWidget 694x56" << std::right
              << std::setw(11) << AFigures.Bare * 1000 << std::setw(12) << AFigures.BarePeakMiB
              << '\n'
              << "  " << std::left << std::setw(26) << "window / bare, paired" << std::right
              << std::setprecision(3) << std::setw(11) << AFigures.Ratio << std::setprecision(1)
              << std::setw(12) << std::showpos << AFigures.PeakDifferenceMiB << std::noshowpos
              << '\n'
              << std::defaultfloat << std::flush;
}

// ------------------------------------------------------------------------------------------------
// Targets.

struct TResults {
    std::vector<std::pair<TCase, TCaseFigures>> Cases;
    TStartupFigures Startup;
};

void PrintTarget(const std::string& AWhat, const std::string& AFigure, const std::string& ATarget,
                 bool AMet) {
    std::cout << "  " << std::left << std::setw(60) << AWhat << std::right << std::setw(9)
              << AFigure << std::setw(10) << ATarget << "  " << (AMet ? "met" : "MISSED") << '\n';
}

std::string Fixed(double AValue, int APrecision, bool ASign = false) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(APrecision) << (ASign ? std::showpos : std::noshowpos)
         << AValue;
    return text.str();
}

// The least share of curl's throughput the real run path is to reach, by file size.
std::optional<double> ThroughputTarget(std::int64_t ASize) {
    if (ASize == 1024 * 1024 * 1024) {
        return 0.95;
    }
    if (ASize == 64 * 1024 * 1024) {
        return 0.80;
    }
    return std::nullopt;
}

void PrintTargets(const TResults& AResults) {
    std::cout << "\nTargets (paired medians)\n";
    for (const auto& [transfer, figures] : AResults.Cases) {
        if (const std::optional<double> target = ThroughputTarget(transfer.Size)) {
            const double ratio = figures.at(TWay::Window).VsCurl;
            PrintTarget(SizeName(transfer.Size) + " over " + transfer.Scheme +
                            ": real run path's throughput / curl's",
                        Fixed(ratio, 3), ">= " + Fixed(*target, 2), ratio >= *target);
        }
    }
    if (!AResults.Cases.empty()) {
        const auto [smallest, largest] = std::minmax_element(
            AResults.Cases.begin(), AResults.Cases.end(),
            [](const auto& A, const auto& B) { return A.first.Size < B.first.Size; });
        for (const auto& [transfer, figures] : AResults.Cases) {
            if (transfer.Size != largest->first.Size || smallest->first.Size == transfer.Size) {
                continue;
            }
            for (const auto& [other, otherFigures] : AResults.Cases) {
                if (other.Size == smallest->first.Size && other.Scheme == transfer.Scheme) {
                    const double growth = figures.at(TWay::Window).PeakRssMiB -
                                          otherFigures.at(TWay::Window).PeakRssMiB;
                    PrintTarget("peak memory over " + transfer.Scheme + ", " +
                                    SizeName(other.Size) + " -> " + SizeName(transfer.Size) +
                                    ", MiB",
                                Fixed(growth, 1, true), "<= +2", growth <= 2.0);
                }
            }
        }
    }
    const TStartupFigures& startup = AResults.Startup;
    PrintTarget("start-up: time to the first expose / a bare Qt window's", Fixed(startup.Ratio, 3),
                "<= 1.15", startup.Ratio <= 1.15);
    PrintTarget("start-up: VmHWM at the first expose - a bare Qt window's, MiB",
                Fixed(startup.PeakDifferenceMiB, 1, true), "<= +2",
                startup.PeakDifferenceMiB <= 2.0);
    std::cout << std::flush;
}

// ------------------------------------------------------------------------------------------------
// The publisher's signature: what checking it adds to a run, in this process, the file in the page
// cache as it is right after its download.

// The base64 line of a public key file as `minisign -G` writes it.
std::string PublicKeyLine(const fs::path& AKeyFile) {
    std::ifstream file(AKeyFile);
    std::string line;
    std::getline(file, line);
    std::getline(file, line);
    return line;
}

double SignatureCheckSeconds(const TPublisherKey& AKey, const fs::path& AFile) {
    std::ifstream signatureFile(AFile.string() + ".minisig", std::ios::binary);
    const std::string signature((std::istreambuf_iterator<char>(signatureFile)),
                                std::istreambuf_iterator<char>());
    UniqueFd fd(::open(AFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ThrowErrno("cannot open " + AFile.string());
    }
    // The file read back in order, as the run reads its held download.
    off_t offset = 0;
    const TReadPiece readPiece = [&](std::span<std::byte> ABuffer) {
        const ssize_t count = ::pread(fd.Get(), ABuffer.data(), ABuffer.size(), offset);
        if (count < 0) {
            ThrowErrno("cannot read " + AFile.string());
        }
        offset += count;
        return static_cast<std::size_t>(count);
    };
    const auto start = TClock::now();
    const bool holds = SignedTrustedComment(AKey, signature, readPiece).has_value();
    const std::chrono::duration<double> elapsed = TClock::now() - start;
    if (!holds) {
        throw std::runtime_error("the signature of " + AFile.string() + " does not hold");
    }
    return elapsed.count();
}

void PrintSignatureChecks(const TOptions& AOptions) {
    const std::optional<TPublisherKey> key = ParsePublisherKey(PublicKeyLine(AOptions.PublicKey));
    if (!key) {
        throw std::invalid_argument(AOptions.PublicKey.string() + " is not a minisign public key");
    }
    std::cout << "\nChecking the publisher's signature (median of " << AOptions.Repeat << ")\n"
              << std::fixed;
    for (const std::string& name : AOptions.Files) {
        const fs::path file = AOptions.DocRoot / name;
        std::vector<double> seconds;
        for (int run = 0; run < AOptions.Repeat; ++run) {
            seconds.push_back(SignatureCheckSeconds(*key, file));
        }
        const double median = Median(seconds);
        const auto size = static_cast<std::int64_t>(fs::file_size(file));
        std::cout << "  " << std::left << std::setw(26) << SizeName(size) << std::right
                  << std::setprecision(3) << std::setw(9) << median << " s" << std::setprecision(0)
                  << std::setw(9) << static_cast<double>(size) / kMiB / median << " MiB/s\n";
    }
    std::cout << std::defaultfloat << std::flush;
}

// ------------------------------------------------------------------------------------------------
// The driver.

TOptions ParseOptions(const std::vector<std::string>& AArguments) {
    TOptions options;
    const std::map<std::string, std::string*> texts = {{"--https", &options.HttpsBase},
                                                       {"--http", &options.HttpBase}};
    const std::map<std::string, fs::path*> paths = {{"--cacert", &options.CaFile},
                                                    {"--docroot", &options.DocRoot},
                                                    {"--target-dir", &options.TargetDir},
                                                    {"--public-key", &options.PublicKey}};
    const std::map<std::string, int*> counts = {{"--repeat", &options.Repeat},
                                                {"--startup-repeat", &options.StartupRepeat}};
    for (size_t at = 0; at < AArguments.size(); ++at) {
        const std::string& word = AArguments[at];
        if (!word.starts_with("--")) {
            options.Files.push_back(word);
            continue;
        }
        if (at + 1 == AArguments.size()) {
            throw std::invalid_argument(word + " needs a value");
        }
        const std::string& value = AArguments[++at];
        if (const auto text = texts.find(word); text != texts.end()) {
            *text->second = value;
        } else if (const auto path = paths.find(word); path != paths.end()) {
            *path->second = value;
        } else if (const auto count = counts.find(word); count != counts.end()) {
            *count->second = std::max(1, std::stoi(value));
        } else {
            throw std::invalid_argument("unknown option " + word);
        }
    }
    if (options.CaFile.empty() || options.DocRoot.empty() || options.TargetDir.empty() ||
        options.HttpsBase.empty() || options.HttpBase.empty()) {
        throw std::invalid_argument(
            "usage: korvane_bench --cacert CA --https BASE --http BASE --docroot DIR "
            "--target-dir DIR [--public-key KEY] [--repeat N] [--startup-repeat N] FILE...");
    }
    return options;
}

int RunBenchmark(const TOptions& AOptions) {
    // Every Qt child draws off screen, whatever display this runs under.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const TTransferBench bench(AOptions);
    TResults results;
    for (const std::string& file : AOptions.Files) {
        const auto size = static_cast<std::int64_t>(fs::file_size(AOptions.DocRoot / file));
        for (const auto& [scheme, base] :
             {std::pair{"https", AOptions.HttpsBase}, std::pair{"http", AOptions.HttpBase}}) {
            const TCase transfer{file, scheme, base + "/" + file, size};
            results.Cases.emplace_back(transfer, bench.Run(transfer));
            PrintCase(transfer, results.Cases.back().second, AOptions.Repeat);
        }
    }
    if (!AOptions.PublicKey.empty()) {
        PrintSignatureChecks(AOptions);
    }
    results.Startup = MeasureStartup(AOptions.StartupRepeat);
    PrintStartup(results.Startup, AOptions.StartupRepeat);
    PrintTargets(results);
    return 0;
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char* argv[]) {
    using namespace korvane::bench;
    const korvane::TCurlGlobal curl;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && arguments.front().starts_with("child:")) {
        return RunChild(arguments);
    }
    try {
        return RunBenchmark(ParseOptions(arguments));
    } catch (const std::exception& error) {
        std::cerr << "korvane_bench: " << error.what() << '\n';
        return 1;
    }
}
