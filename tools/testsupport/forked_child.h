// Forked children that run a function of the test, for tests that need
// several processes.
#pragma once

#include <functional>
#include <vector>

namespace trelvane::testing {

// The child's exit code, or 128 + the signal that ended it.
int RunInChild(const std::function<int()>& body);
// Forks count children at once, each running body(index), and waits for
// all of them; their statuses as RunInChild.
std::vector<int> RunChildrenAtOnce(int count, const std::function<int(int index)>& body);

}  // namespace trelvane::testing
