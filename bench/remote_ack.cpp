// The acknowledge as a user of the server program has it: the server
// registered in a home of the benchmark's own and started by activation, two
// clients in processes of their own (bench_soak_client), each with a sink on
// both event interfaces, and the start post played by this process. From a
// frame byte sent to the 0xF0 at the device, over the virtual line and over a
// pseudo-terminal, each beside a raw echo over the same kind of line: with
// the clients' InputReceived sinks connected, and with them left (the
// clients keep their sink of the start-number events, which this path does
// not raise). Rounds interleave the four measurements of a line.
// Each byte follows the 0xF0 of the one before at once, so that on two cores
// it shares the processors with the delivery of the events of the one
// before; with --gap US it goes that pause after it (and each echo after the
// one before), as a start post's bytes do: at the line's 68 baud a byte
// takes 147 ms, so the next one never meets the events of the one before.
// Options: --quick for a run of seconds; --server PATH and --client PATH for
// other builds of the server program and of bench_soak_client, to compare
// builds in the same conditions.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/ack_measure.h"
#include "bench/stats.h"
#include "contract/trelvane.h"
#include "tests/support/child_process.h"
#include "tests/support/orphan_reaper.h"
#include "tests/support/raw_echo.h"
#include "tests/support/server_process.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::testing::ChildProcess;

constexpr int kVirtualPort = 3;
constexpr int kPtyPort = 1;

// A bench_soak_client process, asked one command at a time.
class Client {
public:
    explicit Client(const std::string& program) : m_child({program}) {}
    bool Ready() { return Wait("ready", 30s).has_value(); }
    // The answer to the command: its next line that starts with the command's name.
    std::optional<std::string> Ask(const std::string& command) {
        if (!m_child.Write(command + "\n")) return std::nullopt;
        return Wait(command.substr(0, command.find(' ')), 10s);
    }
    int Stop() {
        m_child.CloseInput();
        return m_child.Wait(10s).value_or(-1);
    }

private:
    std::optional<std::string> Wait(const std::string& word, std::chrono::milliseconds timeout) {
        return m_child.WaitForLine(
            [&](const std::string& line) { return line == word || line.rfind(word + " ", 0) == 0; }, timeout, &m_from);
    }

    ChildProcess m_child;
    std::size_t m_from = 0;
};

bool SetTestSinks(Client* clients, bool on) {
    const std::string expected = std::string("test-events ") + (on ? "1" : "0");
    for (int i = 0; i < 2; ++i)
        if (clients[i].Ask(expected) != expected) return false;
    return true;
}

// Rounds of: the raw echo, the acknowledge with the clients' InputReceived
// sinks, the raw echo beside two receivers (raw(n, 2)), the acknowledge
// without the sinks. The echo beside two receivers is the bare minimum of
// what the server does for a byte with two remote sinks: the answer, and a
// message to each of two other processes, which wake to take it. Over a
// pseudo-terminal this matters: the kernel carries each side's bytes to the
// other in a worker thread of ordinary priority, which waits while the
// processes woken for the events run when they have a higher one (as they
// do when this program runs at real-time priority: its children inherit it).
template <class Raw, class Acks>
bool Measure(const char* title, const char* rawName, Client* clients, int count, Raw raw, Acks acks) {
    std::vector<double> echo, echoBeside, withSinks, without;
    acks(300);  // warm-up
    const int perRound = count / trelvane::bench::kRounds;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        trelvane::bench::Append(echo, raw(perRound, 0));
        if (!SetTestSinks(clients, true)) return false;
        trelvane::bench::Append(withSinks, acks(perRound));
        trelvane::bench::Append(echoBeside, raw(perRound, 2));
        if (!SetTestSinks(clients, false)) return false;
        trelvane::bench::Append(without, acks(perRound));
    }
    std::printf("%s, %d bytes\n", title, count);
    trelvane::bench::PrintRow(rawName, echo);
    trelvane::bench::PrintRow("the same beside two receivers", echoBeside);
    trelvane::bench::PrintRow("frame byte -> 0xF0, two remote sinks", withSinks, &echo);
    trelvane::bench::PrintRow("  (the same)", withSinks, &echoBeside, "echo beside two receivers");
    trelvane::bench::PrintRow("frame byte -> 0xF0, no InputReceived sink", without, &echo);
    return withSinks.size() >= static_cast<std::size_t>(count) && without.size() >= static_cast<std::size_t>(count);
}

// The pid of the server that activation started, from the class's log.
long ServerPid(const std::string& home) {
    WCHAR clsid[CHARS_IN_GUID];
    StringFromGUID2(contract::CLSID_CTarvik, clsid, CHARS_IN_GUID);
    const std::string log = trelvane::testing::ReadFile(home + "/log/" + platform::ToUtf8(clsid) + ".log");
    const auto at = log.rfind("as pid ");
    return at == std::string::npos ? -1 : std::atol(log.c_str() + at + 7);
}

}  // namespace

int Main(int argc, char** argv) {
    bool quick = false;
    std::string server = TRELVANE_SERVER, client = TRELVANE_SOAK_CLIENT;
    std::chrono::microseconds gap(0);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        if (std::strcmp(argv[i], "--gap") == 0 && i + 1 < argc) gap = std::chrono::microseconds(std::atol(argv[++i]));
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) server = argv[++i];
        if (std::strcmp(argv[i], "--client") == 0 && i + 1 < argc) client = argv[++i];
    }
    const int count = quick ? 1000 : 10000;
    trelvane::testing::AdoptOrphans();  // the server that activation starts comes to us, to be reaped
    trelvane::testing::TempHome home;
    auto line = trelvane::DeviceEnd::Create(home.Path(), kVirtualPort);
    trelvane::testing::PtyPort pty(home.Path(), kPtyPort);
    trelvane::testing::ServerProcess registration(server, {"-RegServer"});
    if (!line || !pty.Ok() || !registration.Start() || registration.Wait(30s) != 0) {
        std::fprintf(stderr, "cannot make the lines or register the server\n");
        return 1;
    }
    Client clients[2] = {Client(client), Client(client)};
    // The first client's activation starts the server; the second reaches it.
    if (!clients[0].Ready() || !clients[1].Ready()) {
        std::fprintf(stderr, "the clients cannot activate the driver object\n");
        return 1;
    }
    std::printf(
        "Frame byte to 0xF0 through the server program, two clients in other processes (%s, %lld us "
        "between a byte's 0xF0 and the next byte)\n",
        quick ? "quick run" : "full run", static_cast<long long>(gap.count()));
    bool ok = clients[0].Ask("open " + std::to_string(kVirtualPort)) == "open 0x00000000 0" &&
              line->ReadByte(2s).has_value();  // the reset byte
    ok = ok && Measure(
                   "Over the virtual line", "raw socket echo round trip (baseline)", clients, count,
                   [&](int n, int receivers) {
                       return trelvane::testing::RawEchoRoundTrips(n, 1, {gap, receivers});
                   },
                   [&](int n) { return trelvane::bench::MeasureAcks(*line, n, gap); });
    // Close, then open the pseudo-terminal.
    ok = ok && clients[0].Ask("cycles 1 " + std::to_string(kPtyPort)).value_or("").rfind("cycles 0 ", 0) == 0 &&
         pty.Receive(1, 2000).size() == 1;
    ok = ok && Measure(
                   "Over a pseudo-terminal", "raw pty echo round trip (baseline)", clients, count,
                   [&](int n, int receivers) {
                       return trelvane::testing::PtyEchoRoundTrips(n, {gap, receivers});
                   },
                   [&](int n) { return trelvane::bench::MeasureAcks(pty, n, gap); });
    for (Client& client : clients) ok = client.Stop() == 0 && ok;
    if (const long pid = ServerPid(home.Path()); pid > 0) trelvane::testing::KillAdopted(pid);
    if (!ok) std::fprintf(stderr, "a step failed: the figures are incomplete\n");
    return ok ? 0 : 1;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
