// The battery test through DTR, RTS and RLSD.
#include <chrono>
#include <cmath>
#include <thread>

#include "tests/driver/driver_fixture.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

class Battery : public DriverTest {
protected:
    HRESULT Start(const WCHAR* selector) { return tarvik->StartBatteryTest(platform::Bstr(selector).Get()); }
};

TEST_P(Battery, StartPostMeasuresTheTimeUntilRlsdChanges) {
    device->SetModemLines(false, true, false);  // start post on line
    ASSERT_EQ(Open(), 0);
    log.Clear();
    const auto beforeStart = std::chrono::steady_clock::now();
    ASSERT_EQ(Start(TEXT("StartPost")), S_OK);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return !dtr && rts; }, 2s));
    EXPECT_EQ(Start(TEXT("StartPost")), S_FALSE);
    EXPECT_EQ(log.Named("SystemError"), std::vector<std::string>{"SystemError Battery test allready active"});
    std::this_thread::sleep_until(started + 1000ms);
    const auto changed = std::chrono::steady_clock::now();
    device->SetRlsd(true);
    ASSERT_TRUE(PumpUntil([&] { return !log.Named("BatteryTestReady").empty(); }));
    const auto reported = std::chrono::steady_clock::now();
    const std::string ready = log.Named("BatteryTestReady")[0];
    ASSERT_EQ(ready.rfind("BatteryTestReady StartPost,", 0), 0u);
    const double volts = std::stod(ready.substr(std::string("BatteryTestReady StartPost,").size()));
    // The driver's interval lies between the test's own, widened by the
    // millisecond clock it reads; a late thread makes it longer, never wrong.
    const auto voltsAfter = [](std::chrono::steady_clock::duration interval) {
        return 2.5 / (1.0 - std::exp(-std::chrono::duration<double>(interval).count()));
    };
    EXPECT_GE(volts, voltsAfter(reported - beforeStart + 2ms) - 0.001);
    EXPECT_LE(volts, voltsAfter(changed - started - 2ms) + 0.001);
    EXPECT_TRUE(device->WaitLines([](bool, bool rts) { return !rts; }, 2s));
    // Idle again: a new test may start.
    EXPECT_EQ(Start(TEXT("StartPost")), S_OK);
}

TEST_P(Battery, FinishPostSelectsWithDtrOn) {
    device->SetModemLines(true, false, false);  // finish post on line
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(Start(TEXT("FinishPost")), S_OK);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return dtr && rts; }, 2s));
}

TEST_P(Battery, DevicesOffLineChangeNoLine) {
    device->SetModemLines(true, false, false);  // only the finish post
    ASSERT_EQ(Open(), 0);
    log.Clear();
    for (const WCHAR* selector : {TEXT("StartPost"), TEXT("startpost"), TEXT(""), TEXT("Other")})
        EXPECT_EQ(Start(selector), S_FALSE);
    EXPECT_EQ(log.Texts(), std::vector<std::string>(4, "SystemError Device off line"));
    Pump(50ms);
    EXPECT_TRUE(device->WaitLines([](bool dtr, bool rts) { return !dtr && !rts; }, 2s));
    EXPECT_EQ(tarvik->Close(), S_OK);
    log.Clear();
    EXPECT_EQ(Start(TEXT("FinishPost")), S_FALSE);  // port closed
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"SystemError Device off line"});
}

TRELVANE_BOTH_PLACEMENTS(Battery);

}  // namespace
}  // namespace trelvane
