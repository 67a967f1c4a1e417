// The bus library loaded at run time: its entry points resolved, a missing
// library reported, and the load on a thread of its own handed back to the
// thread that asked for it.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/dbus/bus_entry_points.h"
#include "platform/dbus/bus_library.h"
#include "platform/messages/thread_wait.h"
#include "platform/windows.h"

namespace trelvane {
namespace {

using platform::dbus::BackgroundBusLibraryLoad;

constexpr char kMissing[] = "libtrelvane-no-such-bus-library.so.0";

// Loads file on a thread of its own and waits, in this thread's waits, for
// its outcome: the failure text, or nothing when done never ran.
std::optional<std::string> LoadInBackground(const char* file, DWORD* doneOn) {
    std::optional<std::string> outcome;
    std::string failure;
    auto load = BackgroundBusLibraryLoad::Start(
        file,
        [&](const std::string& text) {
            *doneOn = GetCurrentThreadId();
            outcome = text;
        },
        &failure);
    EXPECT_TRUE(load) << failure;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (load && !outcome && std::chrono::steady_clock::now() < deadline)
        platform::WaitForThreadActivity(platform::PostedCount(), 1000, false);
    return outcome;
}

// In one test: the library, once loaded, stays loaded for the process.
TEST(BusLibrary, AMissingLibraryIsReportedAndTheRealOneResolvesEveryEntryPointOnce) {
    DWORD doneOn = 0;
    const auto missing = LoadInBackground(kMissing, &doneOn);
    ASSERT_TRUE(missing) << "done never ran";
    EXPECT_EQ(missing->rfind(std::string("cannot load ") + kMissing + ": ", 0), 0u) << *missing;
    EXPECT_EQ(doneOn, GetCurrentThreadId());

    EXPECT_EQ(LoadInBackground(platform::dbus::kBusLibraryFile, &doneOn), std::string());
    EXPECT_EQ(doneOn, GetCurrentThreadId());
#define TRELVANE_EXPECT_RESOLVED(name) EXPECT_NE(platform::dbus::Sd().name, nullptr) << #name;
    TRELVANE_SD_BUS_ENTRY_POINTS(TRELVANE_EXPECT_RESOLVED)
#undef TRELVANE_EXPECT_RESOLVED

    std::string failure;
    EXPECT_TRUE(platform::dbus::LoadBusLibrary(kMissing, &failure)) << "loaded again: " << failure;
}

TEST(BusLibrary, ALoadLetGoBeforeItEndsWaitsForItsThreadAndNeverRunsDone) {
    bool done = false;
    std::string failure;
    auto load = BackgroundBusLibraryLoad::Start(
        platform::dbus::kBusLibraryFile, [&](const std::string&) { done = true; }, &failure);
    ASSERT_TRUE(load) << failure;
    load.reset();
    platform::WaitForThreadActivity(platform::PostedCount(), 0, false);
    EXPECT_FALSE(done);
}

}  // namespace
}  // namespace trelvane
