// Running a piece of a test as an ordinary user. Root is exempt from
// exclusive ttys, file modes, peer checks and process limits: what a user of
// the driver meets is tried in a forked child that has dropped to "nobody".
// Only root can drop, so such a test begins with SKIP_UNLESS_ABLE_TO_BE_NOBODY():
// run by an ordinary user, the suite skips it and is itself the ordinary
// user's test for the rest.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace trelvane::testing {

// Why this process cannot act as nobody (it does not run as root, or the
// machine has no user nobody), or the empty string when it can.
std::string WhyNobodyIsOutOfReach();

// Skips the current test, with the reason, when it cannot act as nobody.
#define SKIP_UNLESS_ABLE_TO_BE_NOBODY() \
    if (const std::string whyNot = ::trelvane::testing::WhyNobodyIsOutOfReach(); !whyNot.empty()) GTEST_SKIP() << whyNot

// Runs body in a child process as nobody, in the folder /, and returns what
// it returned (the empty string for success, else what went wrong), or why
// the child failed. The calling process must have no other threads.
std::string RunAsOrdinaryUser(const std::function<std::string()>& body);

// Lets every user reach path (a folder: enter and read; a device: read and write).
void OpenToEveryone(const std::string& path);

// Threads (and processes) that nobody runs on the whole machine.
int TasksOfOrdinaryUser();

}  // namespace trelvane::testing
