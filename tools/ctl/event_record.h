// An event that the driver raised, as one line of trelvanectl's output: its
// name and its arguments by their names in the contract.
#pragma once

#include <chrono>

#include "platform/windows.h"
#include "tools/common/record.h"

namespace trelvane::ctl {

// Arguments come last-first, as Invoke receives them. An event that the
// contract does not know is shown by its DISPID.
tools::Record EventRecord(REFIID iid, DISPID dispid, const DISPPARAMS& params,
                          std::chrono::system_clock::time_point time);

}  // namespace trelvane::ctl
