// The idle server: its CPU time and wake-ups over a stretch of idleness,
// first with no port open, then with a client holding the driver object
// with a port open (the 250 ms tick runs: 4 wake-ups a second and nothing
// else is the aim), and its resident memory; beside the same figures of a
// process that only sleeps, measured in the same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "contract/trelvane.h"
#include "platform/windows.h"
#include "tools/device_end/device_end.h"
#include "tests/support/process_usage.h"
#include "tests/support/server_process.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using trelvane::testing::ProcessUsage;

ProcessUsage Measure(long pid, std::chrono::seconds stretch) {
    const ProcessUsage before = trelvane::testing::ReadProcessUsage(pid);
    std::this_thread::sleep_for(stretch);
    return trelvane::testing::UsageBetween(before, trelvane::testing::ReadProcessUsage(pid));
}

void PrintRow(const char* name, const ProcessUsage& usage, std::chrono::seconds stretch) {
    std::printf("%-44s CPU %8.3f ms   wake-ups %5llu (%5.1f/s)   resident %6llu KiB\n", name,
                static_cast<double>(usage.cpuNanoseconds) / 1e6, static_cast<unsigned long long>(usage.wakeUps),
                static_cast<double>(usage.wakeUps) / static_cast<double>(stretch.count()),
                static_cast<unsigned long long>(usage.residentKiB));
}

void PrintThreads(const ProcessUsage& usage) {
    for (const auto& [thread, wakeUps] : usage.threadWakeUps)
        std::printf("    thread %-8ld wake-ups %5llu\n", thread, static_cast<unsigned long long>(wakeUps));
}

}  // namespace

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::chrono::seconds stretch(quick ? 2 : 10);
    trelvane::testing::TempHome home;
    trelvane::testing::ServerProcess sleeper("/bin/sleep", {"3600"});
    trelvane::testing::ServerProcess server(TRELVANE_SERVER);
    WCHAR clsid[CHARS_IN_GUID];
    StringFromGUID2(contract::CLSID_CTarvik, clsid, CHARS_IN_GUID);
    const std::string socket = trelvane::testing::ClassSocketPath(home.Path(), platform::ToUtf8(clsid));
    if (!sleeper.Start() || !server.Start() || !server.WaitServing(socket, std::chrono::seconds(10))) {
        std::fprintf(stderr, "cannot start the server or the sleeping process\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the start-up
    std::printf("The idle server over %lld s (%s)\n", static_cast<long long>(stretch.count()),
                quick ? "quick run" : "full run");
    PrintRow("a process that sleeps (baseline)", Measure(sleeper.Pid(), stretch), stretch);
    PrintRow("trelvane, no client, no port open", Measure(server.Pid(), stretch), stretch);

    auto device = trelvane::DeviceEnd::Create(home.Path(), 3);
    CoInitialize(nullptr);
    platform::ComPtr<ITarvik> tarvik;
    LONG status = -1;
    if (!device ||
        FAILED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                reinterpret_cast<void**>(tarvik.Out()))) ||
        tarvik->Open(3, &status) != S_OK) {
        std::fprintf(stderr, "cannot open a port through the server\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const ProcessUsage open = Measure(server.Pid(), stretch);
    PrintRow("trelvane, a client, a port open", open, stretch);
    PrintThreads(open);
    tarvik->Close();
    tarvik.Reset();  // before the apartment goes
    CoUninitialize();
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
