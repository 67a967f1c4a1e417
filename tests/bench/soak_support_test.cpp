// What the soak reads of the server from outside: its descriptors and
// threads, and its end once it has been adopted.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/orphan_reaper.h"
#include "tests/support/process_usage.h"

namespace trelvane::testing {
namespace {

using namespace std::chrono_literals;

// Starts a shell line and returns the number it prints first (a pid).
long FirstNumber(ChildProcess& shell) {
    std::size_t from = 0;
    const auto line = shell.WaitForLine([](const std::string&) { return true; }, 10s, &from);
    return line ? std::stol(*line) : -1;
}

// A process that holds `extra` descriptors besides those it was started
// with. They are numbered from 9 down, clear of the few a test process may
// pass on from its own parent. The shell then waits in a read of its input
// rather than starting a program, whose loader would hold descriptors of its
// own for a moment.
ProcessUsage UsageOfSleeper(int extra) {
    std::string line;
    for (int fd = 9; fd > 9 - extra; --fd) line += "exec " + std::to_string(fd) + "</dev/null; ";
    ChildProcess child({"/bin/sh", "-c", line + "echo ready; read line"});
    std::size_t from = 0;
    if (!child.WaitForLine([](const std::string& text) { return text == "ready"; }, 10s, &from)) return {};
    const ProcessUsage usage = ReadProcessUsage(child.Pid());
    child.Kill();
    child.Wait(10s);
    EXPECT_EQ(ReadProcessUsage(child.Pid()).threads, 0u);  // gone: zeroes
    return usage;
}

TEST(ProcessUsage, CountsTheDescriptorsAndThreadsOfAnotherProcess) {
    const ProcessUsage plain = UsageOfSleeper(0), more = UsageOfSleeper(2);
    EXPECT_GE(plain.descriptors, 3u);  // standard input, output and error at least
    EXPECT_EQ(more.descriptors, plain.descriptors + 2);
    EXPECT_EQ(plain.threads, 1u);
    EXPECT_GT(plain.residentKiB, 0u);
}

TEST(OrphanReaper, AnOrphanedGrandchildIsAdoptedWaitedForAndKilled) {
    ASSERT_TRUE(AdoptOrphans());
    // The shell starts a grandchild and ends: the grandchild comes to us.
    ChildProcess ending({"/bin/sh", "-c", "(sleep 0.3; exit 7) </dev/null >/dev/null 2>&1 & echo $!"});
    const long ends = FirstNumber(ending);
    ASSERT_GT(ends, 0);
    ASSERT_EQ(ending.Wait(10s), 0);
    EXPECT_EQ(WaitAdopted(ends, 50ms), std::nullopt);  // still running
    EXPECT_EQ(WaitAdopted(ends, 10s), 7);
    EXPECT_EQ(WaitAdopted(ends, 50ms), std::nullopt);  // reaped already

    ChildProcess lasting({"/bin/sh", "-c", "sleep 30 </dev/null >/dev/null 2>&1 & echo $!"});
    const long lasts = FirstNumber(lasting);
    ASSERT_GT(lasts, 0);
    ASSERT_EQ(lasting.Wait(10s), 0);
    const auto start = std::chrono::steady_clock::now();
    KillAdopted(lasts);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(ReadProcessUsage(lasts).threads, 0u);  // gone, and reaped
}

}  // namespace
}  // namespace trelvane::testing
