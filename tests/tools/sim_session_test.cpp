// A driver object in this process and trelvane-sim as the device on COM3:
// what the client sees and what the simulator shows of the same session.
#include <cstdlib>

#include "tests/driver/driver_fixture.h"
#include "tests/tools/sim_fixture.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

class SimSession : public DriverClientTest {
protected:
    void SetUp() override {
        DriverClientTest::SetUp();
        sim = StartSim({"--json", "COM3"});
        ASSERT_TRUE(Await("serving"));
    }
    void TearDown() override {
        DriverClientTest::TearDown();
        sim->CloseInput();
        EXPECT_EQ(sim->Wait(10s), 0) << sim->ErrorText();
    }

    // The next output object, after the last one awaited, that has the event
    // and every one of the given texts.
    std::optional<JsonObject> Await(const std::string& event, std::map<std::string, std::string> texts = {},
                                    std::chrono::milliseconds timeout = 5s) {
        std::optional<JsonObject> found;
        sim->WaitForLine(
            [&](const std::string& line) {
                const auto object = ParseJsonLine(line);
                EXPECT_TRUE(object) << line;
                if (!object || Text(*object, "event") != event) return false;
                for (const auto& [key, value] : texts)
                    if (Text(*object, key) != value) return false;
                found = object;
                return true;
            },
            timeout, &from);
        return found;
    }
    // Runs a command and returns whether it succeeded.
    bool Command(const std::string& line) {
        EXPECT_TRUE(sim->Write(line + "\n"));
        const auto result = Await("result", {{"command", line}});
        EXPECT_TRUE(result) << line;
        EXPECT_TRUE(result && Flag(*result, "ok")) << line << ": " << (result ? Text(*result, "error") : "");
        return result && Flag(*result, "ok");
    }
    std::vector<JsonObject> All(const std::string& event) {
        std::vector<JsonObject> all;
        for (const auto& line : sim->OutputLines())
            if (auto object = ParseJsonLine(line); object && Text(*object, "event") == event) all.push_back(*object);
        return all;
    }

    std::unique_ptr<ChildProcess> sim;
    std::size_t from = 0;
};

TEST_F(SimSession, AStartNumberAndABatteryTestFromOpenToClose) {
    ASSERT_EQ(Open(), 0);
    ASSERT_TRUE(Await("connect"));
    const auto settings = Await("settings");
    ASSERT_TRUE(settings);
    EXPECT_EQ(Number(*settings, "baud"), 68);
    EXPECT_EQ(Text(*settings, "parity"), "none");
    ASSERT_TRUE(Await("reset"));

    ASSERT_TRUE(Command("number 123"));
    std::vector<double> acknowledged;
    for (const auto& ack : All("ack")) acknowledged.push_back(Number(ack, "byte"));
    EXPECT_EQ(acknowledged, (std::vector<double>{1, 2, 3}));
    ASSERT_TRUE(WaitLogged("StartNumberRequest 123"));
    EXPECT_EQ(tarvik->StartNumberOK(123), S_OK);
    const auto final = Await("final-ack");
    ASSERT_TRUE(final);
    EXPECT_EQ(Number(*final, "number"), 123);

    ASSERT_TRUE(Command("battery start 4"));  // RLSD about 0.98 s after RTS
    EXPECT_EQ(tarvik->StartBatteryTest(platform::Bstr(u"StartPost").Get()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !log.Named("BatteryTestReady").empty(); }, 5s));
    const std::string ready = log.Named("BatteryTestReady")[0];
    const std::string prefix = "BatteryTestReady StartPost,";
    ASSERT_EQ(ready.rfind(prefix, 0), 0u) << ready;
    // Late threads lengthen the measured interval: they only lower the figure.
    const double volts = std::atof(ready.c_str() + prefix.size());
    EXPECT_LE(volts, 4.02);
    EXPECT_GE(volts, 3.4);
    const auto answer = Await("battery-answer", {{"post", "start"}});
    ASSERT_TRUE(answer);
    EXPECT_EQ(Number(*answer, "volts"), 4);
    EXPECT_TRUE(Await("rts", {{"message", "RTS off"}}));  // the driver ends the measurement

    EXPECT_EQ(test->WriteToPort(platform::Bstr(u"AB").Get()), S_OK);
    EXPECT_TRUE(Await("text", {{"text", "AB"}}));
    EXPECT_EQ(tarvik->Close(), S_OK);
    EXPECT_TRUE(Await("disconnect"));
}

TEST_F(SimSession, AnUnequalFrameAndAFrameCutShortAreFaults) {
    ASSERT_EQ(Open(), 0);
    ASSERT_TRUE(Await("reset"));
    ASSERT_TRUE(Command("unequal 123 124"));
    EXPECT_TRUE(WaitLogged("StartNumberFault 1,Bytes in 1st and 2nd set not equal"));

    EXPECT_EQ(tarvik->put_InterCharacterTimeout(200), S_OK);
    ASSERT_TRUE(Command("number 45 cut 2"));
    EXPECT_TRUE(WaitLogged("StartNumberFault 3,Intercharacter timeout"));
    // The driver closes and opens the port again, which resets the start post.
    EXPECT_TRUE(Await("disconnect"));
    EXPECT_TRUE(Await("connect"));
    EXPECT_TRUE(Await("reset"));
}

TEST_F(SimSession, PostLinesAndTheCableReachTheClient) {
    ASSERT_EQ(Open(), 0);
    ASSERT_TRUE(Await("reset"));
    ASSERT_TRUE(Command("start off"));
    EXPECT_TRUE(WaitLogged("StartPostStateChanged 0"));
    ASSERT_TRUE(Command("finish off"));
    EXPECT_TRUE(WaitLogged("FinishPostStateChanged 0"));
    EXPECT_EQ(tarvik->StartBatteryTest(platform::Bstr(u"FinishPost").Get()), S_FALSE);
    EXPECT_TRUE(Logged("SystemError Device off line"));

    ASSERT_TRUE(Command("unplug"));
    EXPECT_TRUE(PumpUntil([&] { return !log.Named("SystemError 'COM3': ").empty(); }));
    EXPECT_EQ(Open(), 1);  // nothing listens until the cable is back
    ASSERT_TRUE(Command("replug"));
    EXPECT_EQ(Open(), 0);
    EXPECT_TRUE(Await("connect"));
}

}  // namespace
}  // namespace trelvane
