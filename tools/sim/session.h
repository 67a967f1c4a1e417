// One run of trelvane-sim: claim the port, serve it, carry out the commands
// from a script, a prompt or standard input, and clean up.
#pragma once

#include "tools/sim/options.h"

namespace trelvane::sim {

// The process's exit status: 0 done, 1 a failure, 2 a script that does not parse.
int RunSession(const Options& options);

}  // namespace trelvane::sim
