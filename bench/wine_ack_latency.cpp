// The acknowledge path under Wine beside the same on Linux, in one run: a
// frame byte written at a pty's master side, timed until the 0xF0 comes back,
// for
//   - a raw echo over a pty, the baseline of
//   - the driver object on Linux, in process;
//   - Wine's own serial path with no code of ours (bench_raw_acks.exe: a loop
//     of WaitCommEvent, ReadFile and WriteFile), the baseline of
//   - the same loop with the other system calls the driver makes for a byte,
//     and of
//   - the driver object under Wine, in process (bench_driver_acks.exe).
// The Windows programs come from the Windows build folder and run under
// cmake/wine-run in its prefix, each behind a pty linked as a COM port of the
// prefix, with the pty_lines library preloaded for the modem lines that
// Wine's serial code asks for.
//     bench_wine_ack_latency [--quick] [Windows build folder, build-windows/ by default]
#include <termios.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/ack_measure.h"
#include "bench/stats.h"
#include "driver/tarvik.h"
#include "tests/support/child_process.h"
#include "tests/support/raw_echo.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using trelvane::testing::ChildProcess;
using trelvane::testing::PtyPort;

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Runs cmake/wine-run with the prefix and arguments, and waits for it.
bool WineRun(const std::string& prefix, const std::string& argument) {
    ChildProcess run({TRELVANE_WINE_RUN, prefix, argument});
    const auto status = run.Wait(std::chrono::minutes(5));
    if (status == 0) return true;
    std::fprintf(stderr, "wine-run %s failed:\n%s", argument.c_str(), run.ErrorText().c_str());
    return false;
}

// A Windows program that answers frame bytes, run under Wine behind a pty
// linked as COM<number> of the prefix; it stops when its input ends.
class WineResponder {
public:
    WineResponder(const std::string& prefix, const std::string& lines, const std::string& program, int number,
                  const std::string& option = "")
        : m_device(prefix, number), m_name(program.substr(program.find_last_of('/') + 1) + " " + option) {
        if (!m_device.Ok() || !MakeRaw(m_device.SlavePath())) {
            std::fprintf(stderr, "no pseudo-terminal for %s\n", m_name.c_str());
            return;
        }
        std::vector<std::string> command{TRELVANE_WINE_RUN, prefix, program, std::to_string(number)};
        if (!option.empty()) command.push_back(option);
        m_program = std::make_unique<ChildProcess>(
            command, ChildProcess::Options{.environment = {std::string("LD_PRELOAD=") + TRELVANE_PTY_LINES,
                                                           "TRELVANE_PTY_LINES=" + lines}});
        std::size_t from = 0;
        m_ready = m_program
                      ->WaitForLine([](const std::string& line) { return line.rfind("ready", 0) == 0; },
                                    std::chrono::minutes(1), &from)
                      .has_value();
        if (!m_ready) std::fprintf(stderr, "%s did not start:\n%s", m_name.c_str(), m_program->ErrorText().c_str());
    }
    // Ends the program; false when it failed. Its standard error is shown
    // when it failed or when answers went missing.
    bool Stop(bool answersMissing) {
        if (!m_program) return false;
        m_program->CloseInput();
        const auto status = m_program->Wait(std::chrono::seconds(30));
        if (status != 0 || answersMissing)
            std::fprintf(stderr, "%s ended with %d:\n%s", m_name.c_str(), status.value_or(-1),
                         m_program->ErrorText().c_str());
        return status == 0;
    }
    bool Ready() const { return m_ready; }
    PtyPort& Device() { return m_device; }

private:
    // As a serial port's device file, which a pty is not by default.
    static bool MakeRaw(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        const bool ok =
            fd >= 0 && ::tcgetattr(fd, &raw) == 0 && (::cfmakeraw(&raw), ::tcsetattr(fd, TCSANOW, &raw)) == 0;
        if (fd >= 0) ::close(fd);
        return ok;
    }

    PtyPort m_device;
    std::string m_name;
    std::unique_ptr<ChildProcess> m_program;
    bool m_ready = false;
};

// The device's pause after each answer before its next byte. On a line at
// 68 baud a byte takes about 150 ms, so the port always waits for the next
// one. Without the pause, under Wine, which looks at the port every
// millisecond once its wait is out, a byte that comes before the wait is
// out is seen at once: the program that re-arms its wait later would look
// quicker.
constexpr std::chrono::microseconds kGap{2000};

// One byte at a time to a port that answers each with 0xF0.
std::vector<double> MeasureEchoes(PtyPort& device, int count) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(kGap);
        unsigned char answer = 0;
        const double us = device.RoundTrip(0x3F, &answer, 2000);
        if (us < 0 || answer != protocol::kAcknowledge) {
            std::fprintf(stderr, "no acknowledge for byte %d\n", i);
            break;
        }
        times.push_back(us);
    }
    return times;
}

int Main(int argc, char** argv) {
    int next = 1;
    const bool quick = argc > next && std::strcmp(argv[next], "--quick") == 0;
    if (quick) ++next;
    // Wine takes an absolute prefix only.
    const std::string windowsBuild = std::filesystem::absolute(argc > next ? argv[next] : TRELVANE_WINDOWS_BUILD);
    // A prefix of its own: a run of the Windows suites stops the wineserver
    // of theirs as it ends, which would cut the Wine rows short.
    const std::string prefix = windowsBuild + "/wine-bench";
    const int count = quick ? 1000 : 5000;
    const std::string loadBefore = LoadAverage();

    trelvane::testing::TempHome home;
    PtyPort linuxDevice(home.Path(), 1);
    if (!linuxDevice.Ok()) return 1;
    auto driver = platform::ComPtr<CTarvik>::Attach(CTarvik::Create());
    LONG status = -1;
    if (driver->Open(1, &status) != S_OK) {
        std::fprintf(stderr, "cannot open the pseudo-terminal: status %ld\n", static_cast<long>(status));
        return 1;
    }
    linuxDevice.Receive(1, 2000);  // the reset byte

    // Wine's own processes start with its server, here rather than as the
    // children of a responder, whose output they would keep open.
    if (!WineRun(prefix, "--start")) return 1;
    const std::string lines = home.Path() + "/lines";
    trelvane::testing::MakeFolder(lines);
    std::vector<double> raw, onLinux, rawWine, withCalls, onWine;
    bool stopped = false;
    {
        WineResponder echo(prefix, lines, windowsBuild + "/bench/windows/bench_raw_acks.exe", 5);
        WineResponder echoCalls(prefix, lines, windowsBuild + "/bench/windows/bench_raw_acks.exe", 4, "calls");
        WineResponder wineDriver(prefix, lines, windowsBuild + "/bench/windows/bench_driver_acks.exe", 6);
        if (echo.Ready() && echoCalls.Ready() && wineDriver.Ready()) {
            wineDriver.Device().Receive(1, 2000);                  // the reset byte
            trelvane::bench::MeasureAcks(linuxDevice, 300, kGap);  // warm-up
            trelvane::bench::MeasureAcks(wineDriver.Device(), 300, kGap);
            MeasureEchoes(echo.Device(), 300);
            MeasureEchoes(echoCalls.Device(), 300);
            // Rounds interleave the five measurements, so that all of them
            // meet the same machine.
            const int perRound = count / trelvane::bench::kRounds;
            for (int round = 0; round < trelvane::bench::kRounds; ++round) {
                trelvane::bench::Append(raw, trelvane::testing::PtyEchoRoundTrips(perRound, {.gap = kGap}));
                trelvane::bench::Append(onLinux, trelvane::bench::MeasureAcks(linuxDevice, perRound, kGap));
                trelvane::bench::Append(rawWine, MeasureEchoes(echo.Device(), perRound));
                trelvane::bench::Append(withCalls, MeasureEchoes(echoCalls.Device(), perRound));
                trelvane::bench::Append(onWine, trelvane::bench::MeasureAcks(wineDriver.Device(), perRound, kGap));
            }
        }
        const auto whole = static_cast<std::size_t>(count);
        stopped = echo.Stop(rawWine.size() < whole) & echoCalls.Stop(withCalls.size() < whole) &
                  wineDriver.Stop(onWine.size() < whole);
    }
    WineRun(prefix, "--stop");
    driver->Close();
    if (!stopped || onWine.empty()) return 1;

    std::printf("Acknowledge over a pseudo-terminal, on Linux and under Wine, %d bytes each, %lld us between (%s)\n",
                count, static_cast<long long>(kGap.count()), quick ? "quick run" : "full run");
    std::printf("load average %s before, %s after\n", loadBefore.c_str(), LoadAverage().c_str());
    trelvane::bench::PrintRow("raw pty echo (Linux)", raw);
    trelvane::bench::PrintRow("Linux driver, frame byte -> 0xF0", onLinux, &raw, "raw pty echo");
    trelvane::bench::PrintRow("raw Wine echo, byte -> 0xF0", rawWine, &raw, "raw pty echo");
    trelvane::bench::PrintRow("raw Wine echo with the driver's calls", withCalls, &rawWine, "raw Wine echo");
    trelvane::bench::PrintRow("driver under Wine, frame byte -> 0xF0", onWine, &rawWine, "raw Wine echo");
    trelvane::bench::PrintRow("  the same against the echo with its calls", onWine, &withCalls, "the calls");
    return 0;
}

}  // namespace
}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
