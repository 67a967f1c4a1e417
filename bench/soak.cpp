// bench_soak: the server program under a race day's load, in processes of
// their own. The server (registered with its -RegServer in a home of the
// soak's own, started by activation) serves two remote clients
// (bench_soak_client), one of them slow: it sleeps in its sink. This program
// plays the start post on a virtual line. After a warm-up of each phase:
//   1. start-number frames as fast as the acknowledges allow: every byte
//      acknowledged once; every report a number sent, each frame at most
//      once and in order, none long after a newer frame was complete, the
//      last one the last frame; both clients told the same
//   2. frames paced by the reports: the fast client confirms each number,
//      the next frame follows the confirm; each reported once, to both
//      clients, in order
//   3. open/close cycles of the port through the fast client
//   4. activations (connect, create, one call, release) by a third client
// The server's descriptors, threads and resident memory after the warm-up
// and at the end must agree; the exit status is 1 when they do not or any
// check failed. --quick shrinks every count to a run of seconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak_line.h"
#include "bench/soak_reports.h"
#include "bench/stats.h"
#include "contract/trelvane.h"
#include "tests/support/child_process.h"
#include "tests/support/orphan_reaper.h"
#include "tests/support/process_usage.h"
#include "tests/support/sanitized_build.h"
#include "tests/support/raw_echo.h"
#include "tests/support/server_process.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::bench::Report;
using trelvane::bench::SoakLine;
using trelvane::testing::ChildProcess;
using trelvane::testing::ProcessUsage;

constexpr int kPort = 3;
constexpr auto kTick = 250ms;  // the driver's tick, which reports numbers
// The server's resident memory may differ by this much between the two
// readings: the allocator keeps what it freed in its own pools. The
// sanitizers' allocators hold freed memory back on purpose, so in their
// builds (the server is built alike) the memory is shown, not compared.
constexpr long kResidentToleranceKiB = 1024;
#ifdef TRELVANE_SANITIZED_BUILD
constexpr bool kCompareResident = false;
#else
constexpr bool kCompareResident = true;
#endif

struct Sizes {
    long frames;
    int paced, cycles, activations;
};

struct Options {
    Sizes run{100000, 1000, 1000, 1000};
    Sizes warmUp{2000, 4, 20, 20};
    int slowMs = 100;
    bool quick = false;
};

std::optional<Options> ReadOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--quick") {
            options.quick = true;
            options.run = {2000, 4, 20, 20};
            options.warmUp = {200, 1, 5, 5};
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        const long value = std::atol(argv[++i]);
        if (value < 0) return std::nullopt;
        if (option == "--frames")
            options.run.frames = value;
        else if (option == "--paced")
            options.run.paced = static_cast<int>(value);
        else if (option == "--cycles")
            options.run.cycles = static_cast<int>(value);
        else if (option == "--activations")
            options.run.activations = static_cast<int>(value);
        else if (option == "--slow-ms")
            options.slowMs = static_cast<int>(value);
        else
            return std::nullopt;
    }
    return options;
}

std::string ClsidText() {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(contract::CLSID_CTarvik, text, CHARS_IN_GUID);
    return platform::ToUtf8(text);
}

// A bench_soak_client process, asked one command at a time.
class Client {
public:
    explicit Client(std::vector<std::string> args) {
        args.insert(args.begin(), TRELVANE_SOAK_CLIENT);
        m_child = std::make_unique<ChildProcess>(args);
    }
    bool Start() {
        const auto line = m_child->WaitForLine(
            [](const std::string& text) { return text == "ready" || text == "failed"; }, 30s, &m_from);
        return line && *line == "ready";
    }
    // The answer to the command: the next line that starts with its name.
    std::optional<std::string> Ask(const std::string& command, std::chrono::milliseconds timeout) {
        const std::string name = command.substr(0, command.find(' ')) + " ";
        if (!m_child->Write(command + "\n")) return std::nullopt;
        return m_child->WaitForLine([&](const std::string& line) { return line.rfind(name, 0) == 0; }, timeout,
                                    &m_from);
    }
    std::vector<std::string> Lines() { return m_child->OutputLines(); }
    std::size_t LineCount() { return Lines().size(); }
    // Waits for a report of the number at or after line from.
    bool WaitNumber(std::size_t from, int number, std::chrono::milliseconds timeout) {
        const std::string prefix = "number " + std::to_string(number) + " ";
        return m_child->WaitForLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, timeout, &from)
            .has_value();
    }
    // Waits for the count-th "number" line at or after line from.
    bool WaitReports(std::size_t from, std::size_t count, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (std::size_t seen = 0; seen < count; ++seen) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !m_child->WaitForLine(
                                   [](const std::string& line) { return line.rfind("number ", 0) == 0; }, left, &from))
                return false;
        }
        return true;
    }
    // Closes its input and waits: its exit status, or -1.
    int Stop() {
        m_child->CloseInput();
        return m_child->Wait(10s).value_or(-1);
    }
    std::string Errors() { return m_child->ErrorText(); }

private:
    std::unique_ptr<ChildProcess> m_child;
    std::size_t m_from = 0;
};

// Text a process wrote, for a check's line: empty, or its first line.
std::string Quoted(const std::string& text) {
    return text.empty() ? "" : " (first: " + text.substr(0, text.find('\n')) + ")";
}

// "name FAILURES T1 T2 ...": the failures, and the times into *times.
long ReadTimes(const std::optional<std::string>& line, std::vector<double>* times) {
    if (!line) return -1;
    std::istringstream in(*line);
    std::string name;
    long failures = -1;
    in >> name >> failures;
    for (double t; in >> t;) times->push_back(t);
    return failures;
}

struct TestEventCounts {
    long reads = 0, acknowledges = 0, opened = 0, closed = 0, resets = 0;
};

std::optional<TestEventCounts> ReadCounts(Client& client) {
    const auto line = client.Ask("counts", 10s);
    TestEventCounts counts;
    std::string name;
    if (!line || !(std::istringstream(*line) >> name >> counts.reads >> counts.acknowledges >> counts.opened >>
                   counts.closed >> counts.resets))
        return std::nullopt;
    return counts;
}

class Soak {
public:
    Soak(const Options& options, const std::string& home) : m_options(options), m_home(home) {}

    bool SetUp();
    bool Frames(long count, bool report);
    bool Paced(int count, bool report);
    bool Cycles(int count, bool report);
    bool Activations(int count, bool report);
    bool TearDown();
    ProcessUsage ReadServer() const { return trelvane::testing::ReadProcessUsage(m_serverPid); }

private:
    bool Check(bool ok, const std::string& what, bool report = true) {
        if (!ok) ++m_failures;
        if (!ok || report) std::printf("  %-6s %s\n", ok ? "held" : "FAILED", what.c_str());
        return ok;
    }
    int NextNumber();
    // Both clients connect or disconnect their sinks of the test events.
    bool TestEvents(bool on);
    // The server's descriptors, threads and memory after a phase.
    void PrintServer() const;
    // Lines of either client's that no soak ever expects (faults, errors).
    bool NothingUnexpected(std::size_t fastFrom, std::size_t slowFrom, bool report);
    std::string Log() const { return trelvane::testing::ReadFile(m_home + "/log/" + ClsidText() + ".log"); }
    long ServersStarted() const;

    const Options& m_options;
    const std::string m_home;
    std::unique_ptr<SoakLine> m_line;
    std::unique_ptr<Client> m_fast, m_slow;
    long m_serverPid = -1;
    int m_number = 0;
    int m_failures = 0;
};

int Soak::NextNumber() {
    for (;;) {
        const int number = m_number;
        m_number = (m_number + 1) % (protocol::kLargestStartNumber + 1);
        if (protocol::EncodeFrame(number)) return number;
    }
}

bool Soak::TestEvents(bool on) {
    const std::string command = on ? "test-events 1" : "test-events 0";
    const auto fast = m_fast->Ask(command, 10s), slow = m_slow->Ask(command, 10s);
    return fast == command && slow == command;
}

void Soak::PrintServer() const {
    const ProcessUsage usage = ReadServer();
    std::printf("  the server now: descriptors %llu, threads %llu, resident %llu KiB\n",
                static_cast<unsigned long long>(usage.descriptors), static_cast<unsigned long long>(usage.threads),
                static_cast<unsigned long long>(usage.residentKiB));
}

long Soak::ServersStarted() const {
    const std::string log = Log();
    long count = 0;
    for (auto at = log.find("as pid "); at != std::string::npos; at = log.find("as pid ", at + 1)) ++count;
    return count;
}

bool Soak::SetUp() {
    std::string error;
    m_line = SoakLine::Create(m_home, kPort, &error);
    if (!Check(m_line != nullptr, "the virtual line COM3 is made: " + error, false)) return false;
    trelvane::testing::ServerProcess registration(TRELVANE_SERVER, {"-RegServer"});
    if (!Check(registration.Start() && registration.Wait(30s) == 0, "the server registers itself with -RegServer",
               false))
        return false;
    m_fast = std::make_unique<Client>(std::vector<std::string>{});
    if (!Check(m_fast->Start(), "the fast client activates the object (the server started) with two sinks", false))
        return false;
    const std::string log = Log();
    const auto at = log.rfind("as pid ");
    m_serverPid = at == std::string::npos ? -1 : std::atol(log.c_str() + at + 7);
    if (!Check(m_serverPid > 0, "the server's pid is in the class's log", false)) return false;
    m_slow = std::make_unique<Client>(std::vector<std::string>{"--slow-ms", std::to_string(m_options.slowMs)});
    if (!Check(m_slow->Start(), "the slow client reaches the same server", false)) return false;
    const auto open = m_fast->Ask("open " + std::to_string(kPort), 10s);
    return Check(open && *open == "open 0x00000000 0" && m_line->WaitResets(1, 2s),
                 "the fast client opens COM3 and the device is reset", false);
}

bool Soak::NothingUnexpected(std::size_t fastFrom, std::size_t slowFrom, bool report) {
    std::vector<std::string> unexpected;
    trelvane::bench::ReadReports(m_fast->Lines(), fastFrom, &unexpected);
    trelvane::bench::ReadReports(m_slow->Lines(), slowFrom, &unexpected);
    std::string first = unexpected.empty() ? "" : " (first: " + unexpected.front() + ")";
    return Check(unexpected.empty(),
                 "no fault, error or refused confirm reached a client: " + std::to_string(unexpected.size()) + first,
                 report);
}

bool Soak::Frames(long count, bool report) {
    if (count <= 0) return true;
    if (report) std::printf("1. %ld start-number frames as fast as the acknowledges allow\n", count);
    // Seven InputReceived events a frame at this rate are more than a client
    // on a loaded machine takes in as they come: they would wait in the
    // server, whose allocator then keeps the high-water mark in its resident
    // memory. The test events are therefore checked in the paced phase.
    if (!Check(TestEvents(false), "the clients leave the test events", report)) return false;
    const std::size_t fastFrom = m_fast->LineCount(), slowFrom = m_slow->LineCount();
    const auto before = m_line->Written();
    std::vector<trelvane::bench::SentFrame> frames;
    frames.reserve(static_cast<std::size_t>(count));
    std::vector<double> ackUs, rawUs;
    ackUs.reserve(static_cast<std::size_t>(count) * 3);
    std::size_t beforeLast = 0;
    const auto start = std::chrono::steady_clock::now();
    const int rounds = trelvane::bench::kRounds;
    for (int round = 0; round < rounds; ++round) {
        const long end = count * (round + 1) / rounds;
        trelvane::bench::Append(
            rawUs, trelvane::testing::RawEchoRoundTrips(static_cast<int>(std::min(2000L, 3 * count / rounds + 1))));
        for (long k = static_cast<long>(frames.size()); k < end; ++k) {
            const int number = NextNumber();
            if (k == count - 1) beforeLast = m_fast->LineCount();
            SoakLine::Sent sent;
            if (!m_line->SendFrame(*protocol::EncodeFrame(number), &ackUs, &sent))
                return Check(false, "frame " + std::to_string(k) + ": each byte acknowledged within 2 s");
            if (!frames.empty()) frames.back().completeBy = sent.firstAcknowledgedAt;
            frames.push_back({number, sent.fourthSentAt, std::nullopt});
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The last frame's report, then two ticks of quiet for anything more.
    m_fast->WaitNumber(beforeLast, frames.back().number, 5s);
    std::this_thread::sleep_for(2 * kTick + 100ms);

    std::vector<std::string> ignored;
    const auto fastReports = trelvane::bench::ReadReports(m_fast->Lines(), fastFrom, &ignored);
    const auto slowBound = std::chrono::milliseconds(fastReports.size() * (m_options.slowMs + 50) + 5000);
    m_slow->WaitReports(slowFrom, fastReports.size(), slowBound);
    const auto slowReports = trelvane::bench::ReadReports(m_slow->Lines(), slowFrom, &ignored);
    const auto written = m_line->Written();
    Check(TestEvents(true), "the clients take the test events again", report);

    Check(written.acknowledges - before.acknowledges == 3 * count && written.others == before.others &&
              written.resets == before.resets,
          "every frame byte but the fourth acknowledged once, nothing else written: " +
              std::to_string(written.acknowledges - before.acknowledges) + " acknowledges for " +
              std::to_string(count) + " frames",
          report);
    const auto check = trelvane::bench::CheckReports(frames, fastReports, std::chrono::nanoseconds(kTick).count());
    std::string faults;
    for (const auto& fault : check.faults) faults += "\n           " + fault;
    Check(check.faultCount == 0,
          "each report a number sent, each frame at most once and in order, none more than a tick after a newer "
          "frame was complete: " +
              std::to_string(check.reports) + " reports, " + std::to_string(check.faultCount) + " wrong" + faults,
          report);
    Check(check.lastIsFinal, "the last report is the last frame's number", report);
    Check(trelvane::bench::SameNumbers(fastReports, slowReports),
          "the slow client was told the same numbers in the same order: " + std::to_string(slowReports.size()) +
              " reports",
          report);
    NothingUnexpected(fastFrom, slowFrom, report);
    if (report) {
        std::printf("  %.0f frames/s (%.1f s), %zu reports\n", static_cast<double>(count) / seconds, seconds,
                    check.reports);
        trelvane::bench::PrintRow("raw echo round trip (baseline)", rawUs);
        trelvane::bench::PrintRow("frame byte -> 0xF0, two remote clients", ackUs, &rawUs);
        trelvane::bench::PrintRow("report after a newer frame was complete", check.lagUs);
        PrintServer();
    }
    return m_failures == 0;
}

bool Soak::Paced(int count, bool report) {
    if (count <= 0) return true;
    if (report) std::printf("2. %d frames paced by the reports, each confirmed by the fast client\n", count);
    const std::size_t fastFrom = m_fast->LineCount(), slowFrom = m_slow->LineCount();
    const auto before = m_line->Written();
    const auto eventsBefore = ReadCounts(*m_fast);
    if (!Check(m_fast->Ask("confirm 1", 10s).has_value(), "the fast client confirms numbers", report)) return false;
    std::vector<int> numbers;
    std::vector<double> ackUs, confirmMs;
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < count; ++k) {
        const int number = NextNumber();
        SoakLine::Sent sent;
        if (!m_line->SendFrame(*protocol::EncodeFrame(number), &ackUs, &sent))
            return Check(false, "paced frame " + std::to_string(k) + ": each byte acknowledged within 2 s");
        numbers.push_back(number);
        // Reported at the next tick, then confirmed: the fourth acknowledge.
        if (!m_line->WaitAcknowledges(before.acknowledges + 4L * (k + 1), 4 * kTick + 2s))
            return Check(false, "paced frame " + std::to_string(k) + " (number " + std::to_string(number) +
                                    ") reported and confirmed within 3 s");
        confirmMs.push_back(static_cast<double>(trelvane::bench::NowNs() - sent.fourthSentAt) / 1e6);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m_fast->Ask("confirm 0", 10s);
    std::this_thread::sleep_for(2 * kTick + 100ms);
    m_slow->WaitReports(slowFrom, numbers.size(),
                        std::chrono::milliseconds(numbers.size() * (m_options.slowMs + 50) + 5000));
    std::vector<std::string> ignored;
    std::string fastDifference, slowDifference;
    Check(trelvane::bench::ExactlyThese(numbers, trelvane::bench::ReadReports(m_fast->Lines(), fastFrom, &ignored),
                                        &fastDifference),
          "the fast client was told each number once, in order " + fastDifference, report);
    Check(trelvane::bench::ExactlyThese(numbers, trelvane::bench::ReadReports(m_slow->Lines(), slowFrom, &ignored),
                                        &slowDifference),
          "the slow client was told each number once, in order " + slowDifference, report);
    const auto written = m_line->Written();
    Check(written.acknowledges - before.acknowledges == 4L * count && written.others == before.others,
          "three acknowledges and one confirm per frame, nothing else written", report);
    const auto eventsAfter = ReadCounts(*m_fast);
    Check(eventsBefore && eventsAfter && eventsAfter->reads - eventsBefore->reads == 4L * count &&
              eventsAfter->acknowledges - eventsBefore->acknowledges == 4L * count,
          "InputReceived told the fast client of every byte read and every acknowledge and confirm", report);
    NothingUnexpected(fastFrom, slowFrom, report);
    if (report) {
        std::printf("  %.1f s, %.0f ms a frame (the tick is %lld ms)\n", seconds, seconds * 1e3 / count,
                    static_cast<long long>(kTick.count()));
        std::vector<double> confirmUs;
        for (double ms : confirmMs) confirmUs.push_back(ms * 1e3);
        trelvane::bench::PrintRow("fourth byte -> confirm (tick, event, call)", confirmUs);
        PrintServer();
    }
    return m_failures == 0;
}

bool Soak::Cycles(int count, bool report) {
    if (count <= 0) return true;
    if (report) std::printf("3. %d open/close cycles of COM3 through the fast client\n", count);
    const std::size_t fastFrom = m_fast->LineCount(), slowFrom = m_slow->LineCount();
    const auto before = m_line->Written();
    const int connections = m_line->Connections();
    const auto eventsBefore = ReadCounts(*m_fast);
    std::vector<double> cycleUs, rawUs;
    long failures = 0;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        const int n = count * (round + 1) / trelvane::bench::kRounds - count * round / trelvane::bench::kRounds;
        trelvane::bench::Append(rawUs, trelvane::testing::RawEchoRoundTrips(std::max(n, 10), 35));
        if (n == 0) continue;
        const long failed = ReadTimes(m_fast->Ask("cycles " + std::to_string(n) + " " + std::to_string(kPort),
                                                  std::chrono::milliseconds(n * 2000L + 10000)),
                                      &cycleUs);
        failures += failed < 0 ? n : failed;
    }
    const bool allReset = m_line->WaitResets(before.resets + count, 2s);
    const auto written = m_line->Written();
    const auto eventsAfter = ReadCounts(*m_fast);
    Check(failures == 0 && cycleUs.size() == static_cast<std::size_t>(count),
          "every Close and Open succeeded (status 0): " + std::to_string(failures) + " failed", report);
    Check(m_line->Connections() - connections == count && allReset && written.resets - before.resets == count &&
              written.acknowledges == before.acknowledges,
          "the device saw one connection and one reset per cycle, and nothing else", report);
    Check(eventsBefore && eventsAfter && eventsAfter->opened - eventsBefore->opened == count &&
              eventsAfter->closed - eventsBefore->closed == count &&
              eventsAfter->resets - eventsBefore->resets == count,
          "the fast client got SP_PortClosed, SP_PortOpened and SP_Reset once per cycle", report);
    NothingUnexpected(fastFrom, slowFrom, report);
    if (report) {
        trelvane::bench::PrintRow("raw round trip, 35 bytes each way (baseline)", rawUs);
        trelvane::bench::PrintRow("Close and Open through a remote client", cycleUs, &rawUs);
        PrintServer();
    }
    return m_failures == 0;
}

bool Soak::Activations(int count, bool report) {
    if (count <= 0) return true;
    if (report) std::printf("4. %d activations (connect, create, one call, release) by a third client\n", count);
    Client activator({"--bare"});
    if (!Check(activator.Start(), "the third client starts", report)) return false;
    std::vector<double> activationUs, rawUs;
    long failures = 0;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        const int n = count * (round + 1) / trelvane::bench::kRounds - count * round / trelvane::bench::kRounds;
        trelvane::bench::Append(rawUs, trelvane::testing::RawEchoRoundTrips(std::max(n, 10), 35));
        if (n == 0) continue;
        const long failed =
            ReadTimes(activator.Ask("activations " + std::to_string(n), std::chrono::milliseconds(n * 2000L + 10000)),
                      &activationUs);
        failures += failed < 0 ? n : failed;
    }
    Check(failures == 0 && activationUs.size() == static_cast<std::size_t>(count),
          "every activation and call succeeded: " + std::to_string(failures) + " failed", report);
    Check(activator.Stop() == 0 && activator.Errors().empty(),
          "the third client ends cleanly, having written nothing to standard error" + Quoted(activator.Errors()),
          report);
    Check(ServersStarted() == 1 && trelvane::testing::ReadProcessUsage(m_serverPid).threads > 0,
          "every activation reached the one running server", report);
    if (report) {
        trelvane::bench::PrintRow("raw round trip, 35 bytes each way (baseline)", rawUs);
        trelvane::bench::PrintRow("warm activation and one call", activationUs, &rawUs);
        PrintServer();
    }
    return m_failures == 0;
}

bool Soak::TearDown() {
    const long pid = m_serverPid;
    const int fast = m_fast ? m_fast->Stop() : 0;
    const int slow = m_slow ? m_slow->Stop() : 0;
    const std::string errors = (m_fast ? m_fast->Errors() : "") + (m_slow ? m_slow->Errors() : "");
    Check(fast == 0 && slow == 0 && errors.empty(),
          "both clients end cleanly, having written nothing to standard error" + Quoted(errors));
    if (pid <= 0) return false;
    if (m_options.quick) {
        trelvane::testing::KillAdopted(pid);
    } else {
        // Idle 5 s after its last client, then a pause of 1 s.
        const auto status = trelvane::testing::WaitAdopted(pid, 15s);
        if (!status) trelvane::testing::KillAdopted(pid);
        Check(status == 0, "the server ends by itself with status 0 after the last client let go");
    }
    // The server's standard error goes to the class's log, beside the
    // activation's own lines: anything else there is a complaint.
    std::istringstream log(Log());
    int complaints = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("trelvane: activation (pid ") != std::string::npos) continue;
        if (++complaints <= 20) std::printf("  server: %s\n", line.c_str());
    }
    Check(complaints == 0, "the server wrote nothing to its log: " + std::to_string(complaints) + " lines");
    return m_failures == 0;
}

void PrintUsage(const char* when, const ProcessUsage& usage) {
    std::printf("  %-16s descriptors %4llu   threads %3llu   resident %6llu KiB\n", when,
                static_cast<unsigned long long>(usage.descriptors), static_cast<unsigned long long>(usage.threads),
                static_cast<unsigned long long>(usage.residentKiB));
}

// The server's use once its descriptors and threads stay the same for a
// moment: a connection that has just ended may still be held briefly.
ProcessUsage SettledUsage(const Soak& soak) {
    ProcessUsage usage = soak.ReadServer();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(200ms);
        const ProcessUsage again = soak.ReadServer();
        const bool same = again.descriptors == usage.descriptors && again.threads == usage.threads;
        usage = again;
        if (same) break;
    }
    return usage;
}

// The server's use at the end against that after the warm-up.
bool CompareUsage(const Soak& soak, const ProcessUsage& warm) {
    const ProcessUsage end = SettledUsage(soak);
    std::printf("The server's resources\n");
    PrintUsage("after warm-up", warm);
    PrintUsage("at the end", end);
    std::printf("  (platform handles live in the server's own table; no hook reads them from outside)\n");
    const long grown = static_cast<long>(end.residentKiB) - static_cast<long>(warm.residentKiB);
    const bool ok = end.threads > 0 && end.descriptors == warm.descriptors && end.threads == warm.threads &&
                    (!kCompareResident || grown <= kResidentToleranceKiB);
    std::printf("  %-6s descriptors and threads the same, resident memory grown %ld KiB (%s %ld)\n",
                ok ? "held" : "FAILED", grown,
                kCompareResident ? "at most" : "not compared under a sanitizer; plain build: at most",
                kResidentToleranceKiB);
    return ok;
}

}  // namespace

int Main(int argc, char** argv) {
    const auto options = ReadOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: bench_soak [--quick] [--frames N] [--paced N] [--cycles N] [--activations N] "
                     "[--slow-ms N]\n");
        return 2;
    }
    trelvane::testing::AdoptOrphans();  // the server that activation starts comes to us, to be reaped
    trelvane::testing::TempHome home;
    Soak soak(*options, home.Path());
    std::printf("Soak of the server program (%s run; slow client sleeps %d ms an event)\n",
                options->quick ? "quick" : "full", options->slowMs);
    bool ok = soak.SetUp();
    const Sizes& warmUp = options->warmUp;
    ok = ok && soak.Frames(warmUp.frames, false) && soak.Paced(warmUp.paced, false) &&
         soak.Cycles(warmUp.cycles, false) && soak.Activations(warmUp.activations, false);
    const ProcessUsage warm = SettledUsage(soak);
    const Sizes& run = options->run;
    ok = ok && soak.Frames(run.frames, true) && soak.Paced(run.paced, true) && soak.Cycles(run.cycles, true) &&
         soak.Activations(run.activations, true);
    ok = ok && CompareUsage(soak, warm);
    ok = soak.TearDown() && ok;
    std::printf("%s\n", ok ? "The soak held." : "The soak FAILED.");
    return ok ? 0 : 1;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
