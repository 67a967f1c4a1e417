// trelvane::Driver against the real server, which activation starts in the
// test's private home, and the simulated start post on the virtual line.
#include "trelvane/driver.h"

#include <poll.h>

#include <fstream>
#include <stdexcept>
#include <future>
#include <thread>
#include <vector>

#include "tests/tools/sim_fixture.h"
#include "tests/support/server_process.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using trelvane::Driver;
using trelvane::OpenStatus;

class DriverClient : public ::testing::Test {
protected:
    // The server registered in the private home, as its switch writes it.
    void Register() {
        ServerProcess registration(TRELVANE_SERVER, {"-RegServer"});
        ASSERT_TRUE(registration.Start());
        ASSERT_EQ(registration.Wait(10s), 0);
    }

    std::unique_ptr<ChildProcess> StartDevice(const std::string& script) {
        const std::string path = home.Path() + "/device.txt";
        std::ofstream(path) << script;
        auto sim = StartSim({"--script", path, "COM3"});
        std::size_t line = 0;
        EXPECT_TRUE(sim->WaitForLine(Contains("serving COM3"), 10s, &line));
        return sim;
    }

    TempHome home;
};

// Waits up to 10 s for the descriptor to become readable.
bool Readable(int fd, int milliseconds = 10000) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) == 1 && (p.revents & POLLIN);
}

TEST_F(DriverClient, WithoutARegisteredServerTheActivationFailsWithItsCode) {
    try {
        Driver driver;
        FAIL() << "a driver without a server";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().category(), trelvane::DriverCategory());
        EXPECT_EQ(static_cast<unsigned>(e.code().value()), 0x800401F3u);  // CO_E_CLASSSTRING: an unknown ProgID
        EXPECT_NE(std::string(e.what()).find("Trelvane.Tarvik"), std::string::npos) << e.what();
    }
}

TEST_F(DriverClient, AStartNumberIsConfirmedAtTheDeviceAndAFaultReported) {
    Register();
    auto sim = StartDevice(
        "expect reset within 20s\nnumber 42\nexpect final-ack 42 within 10s\nunequal 5 6\n"
        "expect disconnect within 20s\n");
    Driver driver;
    std::vector<std::string> seen;  // on the event thread only, read after it ends
    std::promise<void> faulted;
    driver.OnPortOpened([&] { seen.push_back("opened"); });
    driver.OnStartNumberRequest([&](long number) {
        // A handler calls the driver: the call must not wait for the events.
        seen.push_back("request " + std::to_string(number) +
                       (driver.StartNumberOK(number) ? " confirmed" : " refused"));
    });
    driver.OnStartNumberFault([&](int code, const std::string& message) {
        seen.push_back("fault " + std::to_string(code) + " " + message);
        faulted.set_value();
    });
    std::jthread events([&](std::stop_token stop) { driver.RunEvents(stop); });

    EXPECT_EQ(driver.Open(3), OpenStatus::Opened);
    EXPECT_EQ(driver.PortNumber(), 3);
    ASSERT_EQ(faulted.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(driver.StartNumber(), std::nullopt);  // the failed frame left none
    driver.Close();
    EXPECT_EQ(driver.PortNumber(), std::nullopt);
    events.request_stop();
    events.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"opened", "request 42 confirmed",
                                              "fault 1 Bytes in 1st and 2nd set not equal"}));
    EXPECT_EQ(sim->Wait(20s), 0) << "the device did not see its final acknowledge";
}

TEST_F(DriverClient, EventsWaitOnTheDescriptorForTheProgramsOwnLoop) {
    Register();
    auto sim = StartDevice("expect reset within 20s\nexpect disconnect within 20s\n");
    Driver driver;
    std::vector<std::string> seen;
    driver.OnPortOpened([&] { seen.push_back("opened"); });
    driver.OnStartNumberRequest([&](long number) { seen.push_back("request " + std::to_string(number)); });

    ASSERT_EQ(driver.Open(3), OpenStatus::Opened);
    while (seen.empty() && Readable(driver.EventDescriptor())) driver.DispatchEvents();
    driver.InjectStartNumber(77);
    while (seen.size() < 2 && Readable(driver.EventDescriptor())) driver.DispatchEvents();
    EXPECT_EQ(seen, (std::vector<std::string>{"opened", "request 77"}));
    // Dispatched, the descriptor rests until the next event.
    EXPECT_FALSE(Readable(driver.EventDescriptor(), 0));
    EXPECT_EQ(driver.DispatchEvents(), 0u);

    // A handler's exception leaves the dispatch; the events after it wait.
    // An injected number's event is queued before the call returns.
    driver.OnStartNumberRequest([&](long number) {
        if (number == 1) throw std::runtime_error("the program's own failure");
        seen.push_back("request " + std::to_string(number));
    });
    driver.InjectStartNumber(1);
    driver.InjectStartNumber(2);
    EXPECT_THROW(driver.DispatchEvents(), std::runtime_error);
    EXPECT_TRUE(Readable(driver.EventDescriptor(), 0));
    driver.DispatchEvents();
    EXPECT_EQ(seen.back(), "request 2");
    driver.Close();
    EXPECT_EQ(sim->Wait(20s), 0);
}

TEST_F(DriverClient, ACallTheDriverRefusesThrowsWithTheDriversText) {
    Register();
    auto sim = StartDevice("expect reset within 20s\nexpect disconnect within 20s\n");
    Driver driver;
    ASSERT_EQ(driver.Open(3), OpenStatus::Opened);
    try {
        driver.SetDataBits(3);
        FAIL() << "3 data bits accepted";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().category(), trelvane::DriverCategory());
        EXPECT_LT(e.code().value(), 0);
        EXPECT_EQ(std::string(e.what()).rfind("'Set DataBits': ", 0), 0u) << e.what();
    }
    EXPECT_EQ(driver.DataBits(), 8);  // the port kept its setting
    EXPECT_THROW(driver.SetInterCharacterTimeout(std::chrono::hours(1000)), std::system_error);
    driver.SetInterCharacterTimeout(std::chrono::milliseconds(900));
    EXPECT_EQ(driver.InterCharacterTimeout(), std::chrono::milliseconds(900));
    driver.Close();
    EXPECT_EQ(sim->Wait(20s), 0);
}

}  // namespace
}  // namespace trelvane
