// Start-number reception: the channel callback on the listener thread, the
// one-byte device write, and the 250 ms tick that reports to the clients.
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/tarvik.h"
#include "platform/windows.h"
#include "protocol/frame_coding.h"

namespace trelvane {
namespace {

// An event's text; the tick reports a failed allocation.
platform::Bstr EventText(platform::WStringView text) {
    platform::Bstr result(text);
    if (!result) throw std::bad_alloc();
    return result;
}

// How long a device byte may wait for room on the line. A working line takes
// a byte within one character time (147 ms at 68 baud); a device end that
// has stopped reading must not hold the listener, the main thread and with
// them Close for ever.
constexpr DWORD kDeviceByteWaitMs = 2000;

}  // namespace

void CTarvik::ChannelCallback(void* userData, BYTE value, const char* text) {
    auto* driver = static_cast<CTarvik*>(userData);
    // What this notification raises reaches the clients in other processes
    // in one write per client, made by the main thread: the listener itself
    // writes no client's socket and is back at the device at once.
    platform::HeldEvents together;
    t_inCallback = driver;
    driver->OnChannelEvent(value, text);
    t_inCallback = nullptr;
}

void CTarvik::FireInputReceived(const platform::WString& text) { Fire_InputReceived(EventText(text).Get()); }

void CTarvik::OnChannelEvent(BYTE value, const char* text) {
    try {
        if (std::strncmp(text, "Read: ", 6) == 0) {
            TakeFrameByte(value, text);
            return;
        }
        FireInputReceived(platform::FromUtf8(text));
        if (std::strcmp(text, "Timeout") == 0) {
            m_channel.SetListenTimeout(INFINITE);
            CriticalSectionLock lock(m_stateLock);
            ClearFrame();
            m_timeoutPending = true;
        } else if (std::strcmp(text, "DSR") == 0) {
            CriticalSectionLock lock(m_stateLock);
            m_dsrChanged = true;
        } else if (std::strcmp(text, "CTS") == 0) {
            CriticalSectionLock lock(m_stateLock);
            m_ctsChanged = true;
        } else if (std::strcmp(text, "RLSD") == 0) {
            if (m_batteryTestActive) EndBatteryMeasurement();
        }
    } catch (const DriverFailure&) {
        // Reported already; the listener goes on with the next notification.
    } catch (const std::bad_alloc&) {
        platform::log::Error(platform::log::Channel::driver, "out of memory for a notification; it is dropped");
    }
}

void CTarvik::ClearFrame() {
    m_frameCount = 0;
    std::memset(m_frame, protocol::kEmptyFrameByte, sizeof m_frame);
    ++m_frameGeneration;
}

void CTarvik::TakeFrameByte(BYTE byte, const char* text) {
    LONG count;
    ULONG generation;
    {
        CriticalSectionLock lock(m_stateLock);
        count = m_frameCount;
        generation = m_frameGeneration;
    }
    // Bytes 1 to 3 are acknowledged at once, before they are reported or
    // stored, so that no sink (however slow, in this process or another)
    // stands between the byte and its acknowledge. Every sink still sees the
    // byte's "Read" before the "Write" of its acknowledge. A failed
    // acknowledge ends here (DriverFailure) and the byte is dropped.
    const bool acknowledge = !protocol::IsDroppedByte(byte) && count < 3;
    const ByteWrite write = acknowledge ? PutDeviceByte(protocol::kAcknowledge) : ByteWrite{};
    FireInputReceived(platform::FromUtf8(text));
    if (protocol::IsDroppedByte(byte)) return;
    if (acknowledge) {
        ReportDeviceByte(write, protocol::kAcknowledge, TEXT("Acknowledge"));
        m_channel.SetListenTimeout(static_cast<DWORD>(m_interCharTimeout.load()));
    }
    CriticalSectionLock lock(m_stateLock);
    // A reset while the acknowledge went out emptied the frame: the byte
    // belongs to the frame before it and is dropped.
    if (generation != m_frameGeneration) return;
    m_frame[m_frameCount++] = byte;
    if (m_frameCount == protocol::kFrameLength) {
        m_startNumber = protocol::DecodeStartNumber(m_frame);
        m_numberReady = true;
        ClearFrame();
        m_channel.SetListenTimeout(INFINITE);
    }
}

void CTarvik::WriteDeviceByte(BYTE byte, LPCWSTR label) { ReportDeviceByte(PutDeviceByte(byte), byte, label); }

CTarvik::ByteWrite CTarvik::PutDeviceByte(BYTE byte) {
    ByteWrite write;
    if (!m_channel.PortHandle()) return write;
    write.done = true;
    write.result = m_channel.Write(&byte, 1, &write.written, nullptr, kDeviceByteWaitMs);
    return write;
}

void CTarvik::ReportDeviceByte(const ByteWrite& write, BYTE byte, LPCWSTR label) {
    if (!write.done) return;
    // Worded from this write's own code (the other thread may store its own
    // in the channel meanwhile); a write that took nothing ended by a write
    // timeout.
    if (write.result != 0) FailWithError(label, static_cast<DWORD>(write.result));
    if (write.written != 1) FailWithError(label, ERROR_TIMEOUT);
    char text[32];
    std::snprintf(text, sizeof text, "Write: '%#x' (", static_cast<unsigned>(byte));
    FireInputReceived(platform::FromUtf8(text) + label + TEXT(")"));
}

void CTarvik::TimerTick(HWND, UINT, UINT_PTR, DWORD) {
    if (CTarvik* driver = g_driver) driver->DispatchPending();
}

void CTarvik::DispatchPending() {
    // A client that runs a message loop inside an event handler (a modal
    // dialog) lets the next timer message in while this tick still runs.
    // That tick returns at once; what it would have reported stays pending
    // for the tick after.
    if (m_inTick) return;
    m_inTick = true;
    struct Leave {
        bool& inTick;
        ~Leave() { inTick = false; }
    } leave{m_inTick};

    bool numberReady, timeoutPending, batteryReady, dsrChanged, ctsChanged;
    LONG number;
    platform::WString batteryDevice;
    FLOAT voltage;
    {
        CriticalSectionLock lock(m_stateLock);
        numberReady = m_numberReady;
        m_numberReady = false;
        number = m_startNumber;
        timeoutPending = m_timeoutPending;  // cleared by a successful Open
        batteryReady = m_batteryResultReady;
        m_batteryResultReady = false;
        batteryDevice = m_batteryDevice;
        voltage = m_batteryVoltage;
        dsrChanged = m_dsrChanged;
        m_dsrChanged = false;
        ctsChanged = m_ctsChanged;
        m_ctsChanged = false;
    }
    // Events are raised with the lock free: a client may call Close from a handler.
    try {
        if (numberReady) {
            if (number == -1) {
                Fire_StartNumberFault(1, EventText(TEXT("Bytes in 1st and 2nd set not equal")).Get());
            } else if (number == -2) {
                Fire_StartNumberFault(2, EventText(TEXT("Illegal startpost number")).Get());
            } else {
                Fire_StartNumberRequest(number);
            }
        }
        if (timeoutPending) ReportTimeout();
        if (batteryReady) {
            Fire_BatteryTestReady(EventText(batteryDevice).Get(), voltage);
        }
        if (dsrChanged) Fire_StartPostStateChanged(m_channel.IsDsrOn() ? VARIANT_TRUE : VARIANT_FALSE);
        if (ctsChanged) Fire_FinishPostStateChanged(m_channel.IsCtsOn() ? VARIANT_TRUE : VARIANT_FALSE);

        // A listener that ended by itself (the device went away) is reported
        // once, with the code it ended with; the port stays as it is until
        // the client closes or reopens it.
        DWORD code = 0;
        if (!m_listenerFailureReported && m_channel.PortHandle() && m_channel.ListenerEnded(&code)) {
            m_listenerFailureReported = true;
            ReportError(platform::FromUtf8("COM" + std::to_string(m_portNumber)), code);
        }
    } catch (const std::bad_alloc&) {
        platform::log::Error(platform::log::Channel::driver,
                             "out of memory while reporting; events of this tick are lost");
    }
}

void CTarvik::ReportTimeout() {
    const platform::Bstr message = EventText(TEXT("Intercharacter timeout"));
    const ULONG portCalls = m_portCalls;
    Fire_StartNumberFault(3, message.Get());
    // A client that closed or opened the port from its handler has dealt
    // with the fault: the port is not reopened behind its back.
    if (m_portCalls != portCalls) return;
    const LONG port = m_portNumber;
    Close();
    LONG status = 0;
    Open(port, &status);  // reports its own failure
}

}  // namespace trelvane
