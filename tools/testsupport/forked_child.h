// Forked children that run a function of the test (optionally as the
// unprivileged user "nobody"), for tests that need several processes or an
// ordinary user's permissions.
#pragma once

#include <functional>
#include <vector>

namespace trelvane::testing {

// The child's exit code, or 128 + the signal that ended it.
int RunInChild(const std::function<int()>& body);
// Forks count children at once, each running body(index), and waits for
// all of them; their statuses as RunInChild.
std::vector<int> RunChildrenAtOnce(int count, const std::function<int(int index)>& body);
// As RunInChild, with the child running as nobody/nogroup without
// supplementary groups, so that file modes apply as to an ordinary user.
// 125 when the privileges cannot be dropped.
int RunInChildAsNobody(const std::function<int()>& body);

}  // namespace trelvane::testing
