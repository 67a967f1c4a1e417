// Forked children that run a function of the test, for tests that need
// several processes.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace trelvane::testing {

// The child's exit code, or 128 + the signal that ended it.
int RunInChild(const std::function<int()>& body);
// In a child: no file of the process may grow past bytes. A write beyond
// fails with EFBIG, as on a full disk, instead of ending the process.
bool LimitFileSize(std::size_t bytes);

// Forks count children at once, each running body(index), and waits for
// all of them; their statuses as RunInChild.
std::vector<int> RunChildrenAtOnce(int count, const std::function<int(int index)>& body);

}  // namespace trelvane::testing
