// A simulated start post on the virtual line and the start-post channel
// talking to it: a byte each way and a modem-line change, printed as they go.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_sp.h"
#include "tools/device_end/device_end.h"
#include "tools/testsupport/test_env.h"

namespace {

struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> texts;

    bool WaitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(2), [&] { return texts.size() >= count; });
    }
};

void OnChannel(void* userData, BYTE value, const char* text) {
    auto* seen = static_cast<Seen*>(userData);
    std::printf("  listener thread: callback value %u, \"%s\"\n", value, text);
    std::lock_guard lock(seen->mutex);
    seen->texts.emplace_back(text);
    seen->changed.notify_all();
}

int Fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    trelvane::testing::TempHome home;
    std::string error;
    auto device = trelvane::DeviceEnd::Create(home.Path(), 3, &error);
    if (!device) return Fail(error.c_str());
    std::printf("simulated start post listening as COM3 (%s)\n", home.Path().c_str());

    CSerialSP channel;
    Seen seen;
    if (channel.OpenPort(u"COM3") != 0) return Fail("open COM3");
    channel.SetLineSettings(68, 8, CSerial::NoParity, CSerial::OneStopBit);
    channel.SetEventMask(0xF9);
    channel.SetCallback(OnChannel, &seen);
    const auto settings = device->Settings();
    std::printf("port open; the device sees %u baud, %u data bits\n", static_cast<unsigned>(settings.baud),
                static_cast<unsigned>(settings.dataBits));

    std::printf("device sends 0x3f\n");
    device->SendByte(0x3F);
    if (!seen.WaitFor(1)) return Fail("the byte did not reach the listener");

    std::printf("driver writes 0xf0\n");
    const BYTE ack = 0xF0;
    channel.Write(&ack, 1);
    const auto answer = device->ReadByte(std::chrono::seconds(2));
    if (!answer || *answer != 0xF0) return Fail("the byte did not reach the device");
    std::printf("  device received 0x%02x\n", *answer);

    std::printf("device raises DSR (start post on line)\n");
    device->SetDsr(true);
    if (!seen.WaitFor(2) || seen.texts[1] != "DSR") return Fail("the line change did not reach the listener");

    channel.Close();
    std::printf("port closed; smoke run passed\n");
    return 0;
}
