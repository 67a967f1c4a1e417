// Runs one trelvanectl command against the driver object.
#pragma once

#include "tools/ctl/options.h"

namespace trelvane::ctl {

constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// The exit status. Usage errors found only now (a property that does not
// exist, a value it does not take) are written to standard error here.
int RunCommand(const Options& options);

}  // namespace trelvane::ctl
