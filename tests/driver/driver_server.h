// The driver object in the test build of the server program, which quits as
// soon as its client has let go, reached through proxies. Linux only: on
// Windows the system's marshaler carries the calls, and the end-to-end case
// under Wine holds the server program.
#pragma once

#include <memory>
#include <string>

#include "contract/trelvane.h"
#include "platform/windows.h"

namespace trelvane::testing {

class DriverServer {
public:
    virtual ~DriverServer() = default;
    // Once the client has let go: "" when the server ended by itself,
    // cleanly and in time, or what went wrong.
    virtual std::string Finish() = 0;
};

// Starts the server in home and creates the object in it (*tarvik); null,
// with a failure added, when that fails or the system has no such server.
std::unique_ptr<DriverServer> StartDriverServer(const std::string& home, ITarvik** tarvik);

}  // namespace trelvane::testing
