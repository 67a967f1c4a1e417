#include "tests/support/process_usage.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace trelvane::testing {
namespace {

// The number after "name:" in a /proc status file.
std::uint64_t StatusField(const std::string& path, const std::string& name) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);)
        if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1));
    return 0;
}

}  // namespace

ProcessUsage ReadProcessUsage(long pid) {
    ProcessUsage usage;
    const std::string folder = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(folder + "/task", ec)) {
        const std::string path = task.path().string();
        std::uint64_t cpu = 0;
        std::ifstream(path + "/schedstat") >> cpu;  // time on the CPU, in nanoseconds
        const std::uint64_t wakeUps = StatusField(path + "/status", "voluntary_ctxt_switches") +
                                      StatusField(path + "/status", "nonvoluntary_ctxt_switches");
        usage.cpuNanoseconds += cpu;
        usage.wakeUps += wakeUps;
        usage.threadWakeUps[std::stol(task.path().filename().string())] = wakeUps;
        ++usage.threads;
    }
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator(folder + "/fd", ec)) ++usage.descriptors;
    usage.residentKiB = StatusField(folder + "/status", "VmRSS");
    return usage;
}

ProcessUsage UsageBetween(const ProcessUsage& before, const ProcessUsage& after) {
    ProcessUsage change;
    change.cpuNanoseconds = after.cpuNanoseconds - before.cpuNanoseconds;
    change.wakeUps = after.wakeUps - before.wakeUps;
    for (const auto& [thread, wakeUps] : after.threadWakeUps) {
        const auto earlier = before.threadWakeUps.find(thread);
        change.threadWakeUps[thread] = wakeUps - (earlier == before.threadWakeUps.end() ? 0 : earlier->second);
    }
    change.residentKiB = after.residentKiB;
    change.descriptors = after.descriptors;
    change.threads = after.threads;
    return change;
}

}  // namespace trelvane::testing
