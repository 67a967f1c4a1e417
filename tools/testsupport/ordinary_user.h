// Running a piece of a test as an ordinary user. The tests run as root, and
// root is exempt from exclusive ttys, file modes and process limits: what a
// user of the driver meets is tried in a forked child that has dropped to
// "nobody".
#pragma once

#include <functional>
#include <string>

namespace trelvane::testing {

// Runs body in a child process as nobody and returns what it returned (the
// empty string for success, else what went wrong), or why the child failed.
// The calling process must have no other threads.
std::string RunAsOrdinaryUser(const std::function<std::string()>& body);

// Lets every user reach path (a folder: enter and read; a device: read and write).
void OpenToEveryone(const std::string& path);

// Threads (and processes) that nobody runs on the whole machine.
int TasksOfOrdinaryUser();

}  // namespace trelvane::testing
