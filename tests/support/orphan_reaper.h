// For programs that start servers through activation: such a server is no
// child of the client that started it, so the program becomes the reaper of
// its descendants' orphans, and can then wait for the server's end.
#pragma once

#include <chrono>
#include <optional>

namespace trelvane::testing {

// Orphaned descendants of this process become its children.
bool AdoptOrphans();

// Waits for an adopted process to end and reaps it: its exit status (128 +
// the signal for one ended by a signal), or empty when it did not end within
// the timeout or is not a child of this process.
std::optional<int> WaitAdopted(long pid, std::chrono::milliseconds timeout);

// Kills an adopted process and reaps it.
void KillAdopted(long pid);

}  // namespace trelvane::testing
