// A test with a private TRELVANE_HOME in which it runs the server program
// (or its test build), and the path at which the server serves CTarvik.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "contract/trelvane.h"
#include "platform/windows.h"
#include "tests/support/server_process.h"
#include "tests/support/test_env.h"

namespace trelvane::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class ServerTest : public ::testing::Test {
protected:
    std::string SocketPath() const {
        WCHAR clsid[CHARS_IN_GUID];
        StringFromGUID2(contract::CLSID_CTarvik, clsid, CHARS_IN_GUID);
        return ClassSocketPath(home.Path(), platform::ToUtf8(clsid));
    }

    TempHome home;
};

}  // namespace trelvane::testing
