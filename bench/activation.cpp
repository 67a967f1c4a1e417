// Activation of the driver object in a server process. Cold: the registration
// read, the server started, the object created and one property read, with
// no server running before; beside it, a bare start of a tiny program that
// connects once to a socket (spawn, exec, connect, accepted), linked as
// programs are by default and linked as the server is. The cold activation
// is measured without a session bus and with one in the server's
// environment: the server then joins it too, which is waited for after the
// measurement. Warm: the same with the server running, beside a raw round
// trip over a socket pair: on the connection the client keeps from the
// activation before, and on a new connection (the client's apartment left
// and entered again between runs, untimed), as a client process's first
// activation has it. The server is the server program, registered as the
// class's server; every cold run ends it again.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bus_daemon.h"
#include "bench/stats.h"
#include "contract/dbus.h"
#include "contract/trelvane.h"
#include "tests/support/raw_echo.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace trelvane {
namespace {

std::string ClsidText() {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(contract::CLSID_CTarvik, text, CHARS_IN_GUID);
    return platform::ToUtf8(text);
}

bool RegisterServer(const std::string& program) {
    const std::u16string path = platform::FromUtf8("CLSID\\" + ClsidText() + "\\LocalServer32");
    const std::u16string command = platform::FromUtf8("\"" + program + "\"");
    HKEY key = nullptr;
    LSTATUS error = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                               static_cast<DWORD>((command.size() + 1) * sizeof(WCHAR)));
    if (key) RegCloseKey(key);
    return error == ERROR_SUCCESS;
}

bool ActivateAndCall() {
    platform::ComPtr<ITarvik> tarvik;
    if (FAILED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                reinterpret_cast<void**>(tarvik.Out()))))
        return false;
    LONG timeout = 0;
    return SUCCEEDED(tarvik->get_InterCharacterTimeout(&timeout)) && timeout == 1500;
}

// The pid of the last server that activation started, from the class's log.
pid_t LastServer(const std::string& logPath) {
    const std::string log = trelvane::testing::ReadFile(logPath);
    const auto at = log.rfind("as pid ");
    return at == std::string::npos ? 0 : static_cast<pid_t>(std::atoi(log.c_str() + at + 7));
}

// Ends the server and waits until it has gone (this process reaps it).
void EndServer(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// A bare start: the tiny program spawned until its connection is accepted.
struct BareStart {
    BareStart(const std::string& socketPath, const char* program) : m_program(program), m_path(socketPath) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listen, 4);
    }
    ~BareStart() { ::close(m_listen); }
    bool operator()() {
        char* const argv[] = {const_cast<char*>(m_program), const_cast<char*>(m_path.c_str()), nullptr};
        pid_t child = 0;
        if (::posix_spawn(&child, m_program, nullptr, nullptr, argv, environ) != 0) return false;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        char byte = 0;
        const bool ok = fd >= 0 && ::read(fd, &byte, 1) == 1;
        if (fd >= 0) ::close(fd);
        ::waitpid(child, nullptr, 0);
        return ok;
    }
    const char* m_program;
    std::string m_path;
    int m_listen = -1;
};

// Watches the driver's bus name on a private session bus.
class BusName {
public:
    explicit BusName(const std::string& address) {
        if (sd_bus_new(&m_bus) < 0 || sd_bus_set_address(m_bus, address.c_str()) < 0 ||
            sd_bus_set_bus_client(m_bus, 1) < 0 || sd_bus_start(m_bus) < 0)
            return;
        m_ok = sd_bus_match_signal(m_bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameOwnerChanged", &OnChange, this) >= 0;
    }
    ~BusName() { sd_bus_flush_close_unref(m_bus); }
    // Forgets an owner seen so far, before a new server is started.
    void Reset() { m_owned = false; }
    // Waits until a server has taken the name since Reset.
    bool WaitOwned() {
        while (m_ok && !m_owned) {
            const int r = sd_bus_process(m_bus, nullptr);
            if (r < 0 || (r == 0 && sd_bus_wait(m_bus, 10'000'000) <= 0)) return false;
        }
        return m_owned;
    }

private:
    static int OnChange(sd_bus_message* message, void* self, sd_bus_error*) {
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) > 0 &&
            std::strcmp(name, contract::dbus::kBusName) == 0 && newOwner[0] != '\0')
            static_cast<BusName*>(self)->m_owned = true;
        return 0;
    }
    sd_bus* m_bus = nullptr;
    bool m_ok = false;
    bool m_owned = false;
};

}  // namespace

int Main(int argc, char** argv) {
    // --server PATH: another build of the server program, to compare builds;
    // --warm: the warm measurements alone.
    bool quick = false, warmOnly = false;
    std::string server = TRELVANE_BENCH_SERVER;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        if (std::strcmp(argv[i], "--warm") == 0) warmOnly = true;
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) server = argv[++i];
    }
    const int coldCount = quick ? 20 : 100, warmCount = quick ? 500 : 5000;
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);  // the servers started come to us, to be reaped
    trelvane::testing::TempHome home;
    const std::string logPath = home.Path() + "/log/" + ClsidText() + ".log";
    if (!RegisterServer(server)) {
        std::fprintf(stderr, "cannot register the server\n");
        return 1;
    }
    CoInitialize(nullptr);
    BareStart bare(home.Path() + "/bare.sock", TRELVANE_TINY_CONNECT);
    BareStart bareLinkedAsServer(home.Path() + "/bare-linked-as-server.sock", TRELVANE_TINY_CONNECT_LINKED_AS_SERVER);
    std::unique_ptr<trelvane::testing::ChildProcess> daemon;
    const std::string address = trelvane::bench::StartBusDaemon(home.Path() + "/bus", server, &daemon);
    BusName busName(address);
    bool ok = !address.empty();
    std::vector<double> bareTimes, bareLinkedAsServerTimes, coldTimes, coldBusTimes, rawTimes, warmTimes, warmNewTimes;
    auto timeCold = [&](std::vector<double>* times) {
        const auto start = std::chrono::steady_clock::now();
        ok = ActivateAndCall() && ok;
        times->push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    };
    for (int round = 0; round < (warmOnly ? 0 : trelvane::bench::kRounds); ++round) {
        const int perRound = coldCount / trelvane::bench::kRounds;
        for (int i = 0; i < perRound; ++i) {
            bareTimes.push_back(trelvane::bench::TimeEach(1, [&] { ok = bare() && ok; })[0]);
            bareLinkedAsServerTimes.push_back(
                trelvane::bench::TimeEach(1, [&] { ok = bareLinkedAsServer() && ok; })[0]);
            timeCold(&coldTimes);
            EndServer(LastServer(logPath));
            // The server takes its environment from the client.
            setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
            busName.Reset();
            timeCold(&coldBusTimes);
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            if (!busName.WaitOwned()) {
                std::fprintf(stderr, "the server did not join the session bus\n");
                ok = false;
            }
            EndServer(LastServer(logPath));
        }
    }
    ok = ActivateAndCall() && ok;  // a server for the warm runs
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        const int perRound = warmCount / trelvane::bench::kRounds;
        trelvane::bench::Append(rawTimes, trelvane::testing::RawEchoRoundTrips(perRound, 35));
        trelvane::bench::Append(warmTimes, trelvane::bench::TimeEach(perRound, [&] { ok = ActivateAndCall() && ok; }));
        for (int i = 0; i < perRound; ++i) {
            CoUninitialize();
            CoInitialize(nullptr);
            warmNewTimes.push_back(trelvane::bench::TimeEach(1, [&] { ok = ActivateAndCall() && ok; })[0]);
        }
    }
    EndServer(LastServer(logPath));
    CoUninitialize();
    std::printf("Activation of the driver object in a server process (%s; server %s)\n",
                quick ? "quick run" : "full run", server.c_str());
    if (!warmOnly) {
        trelvane::bench::PrintRow("bare start of a program that connects once", bareTimes);
        trelvane::bench::PrintRow("the same program linked as the server is", bareLinkedAsServerTimes);
        trelvane::bench::PrintRow("cold activation and one call", coldTimes, &bareTimes, "bare start");
        trelvane::bench::PrintRow("cold activation and one call", coldTimes, &bareLinkedAsServerTimes,
                                  "bare start linked as the server");
        trelvane::bench::PrintRow("the same, a session bus to join", coldBusTimes, &bareTimes, "bare start");
    }
    trelvane::bench::PrintRow("raw round trip, 35 bytes each way (baseline)", rawTimes);
    trelvane::bench::PrintRow("warm activation and one call", warmTimes, &rawTimes);
    trelvane::bench::PrintRow("the same on a new connection", warmNewTimes, &rawTimes);
    if (!ok) std::fprintf(stderr, "an activation or call failed\n");
    return ok ? 0 : 1;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
