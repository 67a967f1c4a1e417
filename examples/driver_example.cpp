// A client of the start-post driver through its C++ API: it opens a port,
// prints every event and confirms each start number it receives, as timing
// software does. The events run on a thread of the program's choosing (here
// one of its own, through RunEvents); a program with a poll loop of its own
// watches EventDescriptor() and calls DispatchEvents() instead.
//
//   trelvane-driver-example PORT [SECONDS]
#include <trelvane/driver.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trelvane-driver-example PORT [SECONDS]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const auto duration = std::chrono::seconds(argc > 2 ? std::atol(argv[2]) : 60);
    try {
        trelvane::Driver driver;
        const auto print = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
        driver.OnStartNumberRequest([&](long number) {
            print("StartNumberRequest " + std::to_string(number));
            // Confirming it sends the device its final acknowledge.
            print("confirmed " + std::to_string(number) + (driver.StartNumberOK(number) ? "" : ": not the last one"));
        });
        driver.OnStartNumberFault([&](int code, const std::string& text) {
            print("StartNumberFault " + std::to_string(code) + " \"" + text + "\"");
        });
        driver.OnSystemError([&](const std::string& text) { print("SystemError \"" + text + "\""); });
        driver.OnStartPostStateChanged(
            [&](bool on) { print(std::string("StartPostStateChanged ") + (on ? "on" : "off")); });
        driver.OnFinishPostStateChanged(
            [&](bool on) { print(std::string("FinishPostStateChanged ") + (on ? "on" : "off")); });
        driver.OnBatteryTestReady([&](const std::string& device, float volts) {
            print("BatteryTestReady " + device + " " + std::to_string(volts));
        });
        driver.OnPortOpened([&] { print("SP_PortOpened"); });
        driver.OnPortClosed([&] { print("SP_PortClosed"); });
        driver.OnReset([&] { print("SP_Reset"); });

        std::jthread events([&](std::stop_token stop) { driver.RunEvents(stop); });
        const trelvane::OpenStatus status = driver.Open(port);
        print("Open(" + std::to_string(port) + "): status " + std::to_string(static_cast<int>(status)));
        if (status != trelvane::OpenStatus::Opened) return 1;
        std::this_thread::sleep_for(duration);
        driver.Close();
        return 0;
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "trelvane-driver-example: %s (0x%08X)\n", e.what(),
                     static_cast<unsigned>(e.code().value()));
        return 1;
    }
}
