// The driver on the session bus, beside a bare sd-bus service in the same run
// and through the same private bus daemon: a property read against a method
// call that returns a number, and a byte from the device to its
// InputReceived signal at a bus client against the bare service relaying a
// byte from a socket as a signal. The server is the server program, started
// by the bus on the first call.
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/ack_measure.h"
#include "bench/bus_daemon.h"
#include "bench/stats.h"
#include "contract/dbus.h"
#include "tools/device_end/device_end.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using trelvane::bench::Clock;
using namespace std::chrono_literals;

constexpr char kBarePath[] = "/bare";
constexpr char kBareInterface[] = "org.example.Bare";

// The anchor: a service that answers Value() with a number and turns every
// byte on its socket into the signal Byte(i), on a thread of its own.
class BareService {
public:
    bool Start() {
        if (sd_bus_open_user(&m_bus) < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair) != 0)
            return false;
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Value", "", "i", &BareService::Value, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("Byte", "i", 0),
            SD_BUS_VTABLE_END,
        };
        if (sd_bus_add_object_vtable(m_bus, nullptr, kBarePath, kBareInterface, vtable, this) < 0) return false;
        if (int r = sd_bus_request_name(m_bus, kBareInterface, 0); r < 0) {
            std::fprintf(stderr, "the bare service has no name: %s\n", std::strerror(-r));
            return false;
        }
        m_name = kBareInterface;
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    ~BareService() {
        m_stop = true;
        if (m_pair[0] >= 0) [[maybe_unused]]
            auto n = ::write(m_pair[0], "", 1);
        if (m_thread.joinable()) m_thread.join();
        sd_bus_flush_close_unref(m_bus);
        for (int fd : m_pair)
            if (fd >= 0) ::close(fd);
    }
    const std::string& Name() const { return m_name; }
    void Poke(std::uint8_t byte) { [[maybe_unused]] auto n = ::write(m_pair[0], &byte, 1); }

private:
    static int Value(sd_bus_message* call, void*, sd_bus_error*) { return sd_bus_reply_method_return(call, "i", 1500); }

    void Run() {
        while (!m_stop) {
            while (sd_bus_process(m_bus, nullptr) > 0) {
            }
            pollfd fds[2] = {{sd_bus_get_fd(m_bus), static_cast<short>(sd_bus_get_events(m_bus)), 0},
                             {m_pair[1], POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (fds[1].revents & POLLIN) {
                std::uint8_t byte = 0;
                if (::read(m_pair[1], &byte, 1) == 1 && !m_stop)
                    sd_bus_emit_signal(m_bus, kBarePath, kBareInterface, "Byte", "i", static_cast<int>(byte));
            }
        }
    }

    sd_bus* m_bus = nullptr;
    int m_pair[2] = {-1, -1};
    std::string m_name;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// The client's connection: waits for the signals its match lets through.
struct Client {
    sd_bus* bus = nullptr;
    bool seen = false;

    bool WaitSeen() {
        seen = false;
        const auto until = Clock::now() + 5s;
        while (!seen && Clock::now() < until) {
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) return false;
            if (r == 0 && !seen) sd_bus_wait(bus, 100000);
        }
        return seen;
    }
};

int OnByte(sd_bus_message*, void* client, sd_bus_error*) {
    static_cast<Client*>(client)->seen = true;
    return 0;
}

// Only the driver's reports of bytes read count; its writes and other
// events pass by.
int OnInput(sd_bus_message* message, void* client, sd_bus_error*) {
    const char* text = nullptr;
    if (sd_bus_message_read(message, "s", &text) > 0 && std::strncmp(text, "Read:", 5) == 0)
        static_cast<Client*>(client)->seen = true;
    return 0;
}

}  // namespace

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int count = quick ? 500 : 5000;
    namespace bus = contract::dbus;
    trelvane::testing::TempHome home;
    std::unique_ptr<trelvane::testing::ChildProcess> daemon;
    // The server is the build's, or TRELVANE_BENCH_SERVER's (another build,
    // to compare two in the same conditions).
    const char* server = std::getenv("TRELVANE_BENCH_SERVER");
    const std::string address =
        trelvane::bench::StartBusDaemon(home.Path(), server ? server : TRELVANE_BENCH_SERVER, &daemon);
    if (address.empty()) {
        std::fprintf(stderr, "cannot start a bus daemon\n");
        return 1;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    auto device = trelvane::DeviceEnd::Create(home.Path(), 1);
    BareService bare;
    Client client;
    if (!device || !bare.Start()) {
        std::fprintf(stderr, "cannot set up the device end or the bare service\n");
        return 1;
    }
    if (int r = sd_bus_open_user(&client.bus); r < 0) {
        std::fprintf(stderr, "cannot join the bus: %s\n", std::strerror(-r));
        return 1;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int status = -1;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(client.bus, bus::kBusName, bus::kObjectPath, bus::kInterface, "Open", &error, &reply, "i",
                           1) < 0 ||
        sd_bus_message_read(reply, "i", &status) < 0 || status != 0) {
        std::fprintf(stderr, "the driver did not open the virtual line: %s\n", error.message ? error.message : "");
        return 1;
    }
    reply = sd_bus_message_unref(reply);
    device->ReadByte(2s);  // the reset byte
    trelvane::bench::Arrivals arrivals;
    arrivals.Watch(*device);
    sd_bus_match_signal(client.bus, nullptr, bare.Name().c_str(), kBarePath, kBareInterface, "Byte", &OnByte, &client);
    sd_bus_match_signal(client.bus, nullptr, bus::kBusName, bus::kObjectPath, bus::kInterface, "InputReceived",
                        &OnInput, &client);

    auto bareCall = [&] {
        sd_bus_message* m = nullptr;
        sd_bus_call_method(client.bus, bare.Name().c_str(), kBarePath, kBareInterface, "Value", nullptr, &m, "");
        sd_bus_message_unref(m);
    };
    auto propertyRead = [&] {
        int value = 0;
        sd_bus_get_property_trivial(client.bus, bus::kBusName, bus::kObjectPath, bus::kInterface,
                                    "InterCharacterTimeout", nullptr, 'i', &value);
    };
    static const std::uint8_t frame[4] = {0x3F, 0x7B, 0x3F, 0x7B};
    bool ok = true;
    // One byte of a frame to its signal; then the acknowledge it brings is
    // waited for, so that bytes never queue behind each other.
    auto deviceByte = [&](int k) {
        std::unique_lock lock(arrivals.mutex);
        const int before = arrivals.count;
        lock.unlock();
        const auto at = Clock::now();
        device->SendByte(frame[k]);
        ok = client.WaitSeen() && ok;
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - at).count();
        lock.lock();
        if (k < 3) ok = arrivals.arrived.wait_for(lock, 2s, [&] { return arrivals.count > before; }) && ok;
        return us;
    };
    for (int i = 0; i < 200; ++i) bareCall(), propertyRead();  // warm-up

    std::vector<double> calls, reads, relays, bytes;
    // Whole frames in each round: a frame left half sent would meet the
    // inter-character timeout while the other measurements run.
    const int perRound = count / trelvane::bench::kRounds / 4 * 4;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        trelvane::bench::Append(calls, trelvane::bench::TimeEach(perRound, bareCall));
        trelvane::bench::Append(reads, trelvane::bench::TimeEach(perRound, propertyRead));
        trelvane::bench::Append(relays, trelvane::bench::TimeEach(perRound, [&] {
                                    bare.Poke(0x3F);
                                    ok = client.WaitSeen() && ok;
                                }));
        for (int i = 0; i < perRound; ++i) bytes.push_back(deviceByte(i % 4));
    }
    sd_bus_call_method(client.bus, bus::kBusName, bus::kObjectPath, bus::kInterface, "Close", nullptr, nullptr, "");
    sd_bus_flush_close_unref(client.bus);

    std::printf("The driver on the session bus, through a private bus daemon (%s)\n", quick ? "quick run" : "full run");
    trelvane::bench::PrintRow("bare service: method call (baseline)", calls);
    trelvane::bench::PrintRow("driver: property read", reads, &calls, "bare call");
    trelvane::bench::PrintRow("bare service: byte -> signal (baseline)", relays);
    trelvane::bench::PrintRow("driver: device byte -> InputReceived", bytes, &relays, "bare relay");
    if (!ok) std::fprintf(stderr, "a signal or an acknowledge did not come\n");
    return ok ? 0 : 1;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
