// The device end under Wine: a pty that pty_device.py links as the prefix's
// COM port and plays (pty_device_link.h). It sends bytes, sets the device's
// lines and reads what the port wrote and its DTR and RTS; what only the
// virtual line can do (its settings, connections, injected faults, unplugging)
// a pty cannot, and a test that asks for it fails.
#include <gtest/gtest.h>

#include <string>

#include "platform/windows.h"
#include "tests/windows/pty_device_link.h"
#include "tools/device_end/device_end.h"

namespace trelvane {

namespace {

using testing::PtyDevice;

using vline::kCts;
using vline::kDsr;
using vline::kRing;
using vline::kRlsd;

// The link path is "COM<n>".
PtyDevice DeviceOf(const std::string& link) { return PtyDevice::Opened(std::stoi(link.substr(3))); }

bool NotOnAPty(const char* what) {
    ADD_FAILURE() << "DeviceEnd::" << what << ": not on a pty under Wine";
    return false;
}

}  // namespace

DeviceEnd::DeviceEnd(std::string socketPath, std::string linkPath)
    : m_socketPath(std::move(socketPath)), m_linkPath(std::move(linkPath)) {}

DeviceEnd::~DeviceEnd() = default;

std::unique_ptr<DeviceEnd> DeviceEnd::Create(const std::string&, int comNumber, std::string* error, Observer observer) {
    if (observer) {
        if (error) *error = "no observer on a pty";
        return nullptr;
    }
    PtyDevice device(comNumber);
    return std::unique_ptr<DeviceEnd>(new DeviceEnd("", "COM" + std::to_string(comNumber)));
}

bool DeviceEnd::Send(const std::vector<std::uint8_t>& bytes) {
    DeviceOf(m_linkPath).Send(bytes);
    return true;
}

bool DeviceEnd::SetModemLines(bool cts, bool dsr, bool rlsd, bool ring) {
    std::lock_guard lock(m_mutex);
    m_modem = static_cast<std::uint8_t>((cts ? kCts : 0) | (dsr ? kDsr : 0) | (rlsd ? kRlsd : 0) | (ring ? kRing : 0));
    DeviceOf(m_linkPath).SetLines(cts, dsr, rlsd, ring);
    return true;
}

bool DeviceEnd::SetCts(bool on) {
    const std::uint8_t modem = m_modem;
    return SetModemLines(on, modem & kDsr, modem & kRlsd, modem & kRing);
}

bool DeviceEnd::SetDsr(bool on) {
    const std::uint8_t modem = m_modem;
    return SetModemLines(modem & kCts, on, modem & kRlsd, modem & kRing);
}

bool DeviceEnd::SetRlsd(bool on) {
    const std::uint8_t modem = m_modem;
    return SetModemLines(modem & kCts, modem & kDsr, on, modem & kRing);
}

bool DeviceEnd::Dtr() const { return DeviceOf(m_linkPath).OutputLines()[0] == '1'; }

bool DeviceEnd::Rts() const { return DeviceOf(m_linkPath).OutputLines()[2] == '1'; }

// The port's lines are in the device side's file as soon as the port's call
// that set them returns; a change still to come is looked for every 10 ms.
bool DeviceEnd::WaitLines(const std::function<bool(bool dtr, bool rts)>& pred, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string lines = DeviceOf(m_linkPath).OutputLines();
        if (pred(lines[0] == '1', lines[2] == '1')) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(10);
    }
}

std::optional<std::uint8_t> DeviceEnd::ReadByte(Millis timeout) {
    const auto bytes = ReadBytes(1, timeout);
    if (bytes.empty()) return std::nullopt;
    return bytes[0];
}

std::vector<std::uint8_t> DeviceEnd::ReadBytes(std::size_t count, Millis timeout) {
    return DeviceOf(m_linkPath).Receive(count, static_cast<int>(timeout.count()));
}

bool DeviceEnd::WaitConnected(Millis) { return NotOnAPty("WaitConnected"); }
bool DeviceEnd::WaitDisconnected(Millis) { return NotOnAPty("WaitDisconnected"); }
bool DeviceEnd::Connected() const { return NotOnAPty("Connected"); }
int DeviceEnd::Connections() const { return NotOnAPty("Connections"); }
bool DeviceEnd::RaiseLineError(vline::LineErrorKind) { return NotOnAPty("RaiseLineError"); }
bool DeviceEnd::BreakOn() const { return NotOnAPty("BreakOn"); }
DeviceEnd::LineSettings DeviceEnd::Settings() const {
    NotOnAPty("Settings");
    return m_settings;
}
std::vector<std::uint8_t> DeviceEnd::TakeReceived() {
    NotOnAPty("TakeReceived");
    return {};
}
void DeviceEnd::SetByteHook(ByteHook) { NotOnAPty("SetByteHook"); }
void DeviceEnd::RefuseSettings(bool) { NotOnAPty("RefuseSettings"); }
void DeviceEnd::RefuseControlLines(bool, bool) { NotOnAPty("RefuseControlLines"); }
void DeviceEnd::FailWrites(int) { NotOnAPty("FailWrites"); }
void DeviceEnd::StallReading(bool) { NotOnAPty("StallReading"); }
void DeviceEnd::DropAt(DropPoint) { NotOnAPty("DropAt"); }
void DeviceEnd::Unplug() { NotOnAPty("Unplug"); }
bool DeviceEnd::Replug() { return NotOnAPty("Replug"); }
void DeviceEnd::Drop() { NotOnAPty("Drop"); }

}  // namespace trelvane
