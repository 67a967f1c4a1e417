// CTarvik: the one driver object. It owns the serial channel to the start
// post, a copy of the port's line settings, the protocol state that the
// listener thread and the client's thread share, and the 250 ms tick.
//
// Its members are spread over the files of their concern: the object, its
// properties and Open/Close here and in tarvik.cpp; the test interface in
// test_interface.cpp; error reporting in error_reporting.cpp; reception,
// device commands and the battery test in protocol/.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "driver/automation_object.h"
#include "platform/windows.h"
#include "protocol/device_bytes.h"
#include "serial/serial_sp.h"

namespace trelvane {

// The internal failure signal: an operation that reported a failure with
// SystemError ends with it. It never leaves a client call. error is the
// platform's code of the failure that was reported.
struct DriverFailure {
    DWORD error = ERROR_SUCCESS;
};

// The server keeps the one driver object as a CComObjectCached<CTarvik>,
// which derives from it.
class CTarvik : public driver::AutomationObject {
public:
    // A new driver object with one reference for the caller (for programs
    // and tests that use the object within their own process).
    static CTarvik* Create();

    // ITarvik
    HRESULT Open(LONG PortNumber, LONG* Status) override;
    HRESULT Close() override;
    HRESULT ResetStartPost() override;
    HRESULT StartNumberOK(LONG StartNumber) override;
    HRESULT get_PortNumber(LONG* pVal) override;
    HRESULT get_StartNumber(LONG* pVal) override;
    HRESULT get_InterCharacterTimeout(LONG* pVal) override;
    HRESULT put_InterCharacterTimeout(LONG newVal) override;
    HRESULT get_StateDTR(VARIANT_BOOL* pVal) override;
    HRESULT put_StateDTR(VARIANT_BOOL newVal) override;
    HRESULT get_StateStartPost(VARIANT_BOOL* pVal) override;
    HRESULT get_StateFinishPost(VARIANT_BOOL* pVal) override;
    HRESULT StartBatteryTest(BSTR DeviceSelector) override;

    // ITarvikTest
    HRESULT put_StartNumberTest(LONG newVal) override;
    HRESULT get_ReadyToSend(VARIANT_BOOL* pVal) override;
    HRESULT put_ReadyToSend(VARIANT_BOOL newVal) override;
    HRESULT get_Parity(BSTR* pVal) override;
    HRESULT put_Parity(BSTR newVal) override;
    HRESULT get_BaudRate(LONG* pVal) override;
    HRESULT put_BaudRate(LONG newVal) override;
    HRESULT get_DataBits(SHORT* pVal) override;
    HRESULT put_DataBits(SHORT newVal) override;
    HRESULT get_StopBits(FLOAT* pVal) override;
    HRESULT put_StopBits(FLOAT newVal) override;
    HRESULT get_ParityCheck(VARIANT_BOOL* pVal) override;
    HRESULT put_ParityCheck(VARIANT_BOOL newVal) override;
    HRESULT WriteToPort(BSTR strToWrite) override;
    HRESULT get_StateDSR(VARIANT_BOOL* pVal) override;
    HRESULT get_StateCTS(VARIANT_BOOL* pVal) override;

    // The tick's work; TimerTick runs it on g_driver every 250 ms.
    void DispatchPending();

protected:
    CTarvik();
    // The final clean-up: closes the port (SP_PortClosed if it was open) and
    // lets the sinks go.
    ~CTarvik() override;

private:
    // Runs a client call: DriverFailure becomes RPC_E_SERVERFAULT (what a
    // remote client sees for a server method that ends with an exception),
    // an allocation failure E_OUTOFMEMORY.
    template <class Body>
    HRESULT Guard(Body body);

    // Open and Close proper; they may end with DriverFailure.
    HRESULT OpenPort(LONG portNumber, LONG* status);
    void ClosePort();
    // 0, or the code of the failed GetCommState.
    DWORD LoadPortSettings() EXCLUDES(m_settingsLock);
    // Close asked for on the listener thread is carried out on the owner's
    // thread, through a message to a timer of that thread (whose own period
    // never comes): the port may be half-open, with no tick to do it.
    void ArmCloseRequests();
    void DisarmCloseRequests();
    static void CloseRequestTimer(HWND, UINT, UINT_PTR id, DWORD);
    // Changes one field of m_dcb and applies it; on failure puts the field
    // back and fails with FailWithError.
    template <class Change>
    void ChangeLineSetting(LPCWSTR failureText, Change change) EXCLUDES(m_settingsLock);

    // A SystemError text holds at most this many characters: a buffer of 200
    // with its terminator.
    static constexpr std::size_t kLongestMessage = 199;
    // WriteToPort's text, its line feed and a terminator fit a buffer of this
    // many bytes.
    static constexpr std::size_t kWriteBufferBytes = 199;
    // The longest text of one-byte characters that WriteToPort takes: its
    // summary, "Write 181 bytes: '...'", is then a message of the longest length.
    static constexpr std::size_t kLongestWriteText = 180;

    // Error reporting (error_reporting.cpp): SystemError, its text cut to
    // kLongestMessage characters. code is the result code of the failed call
    // itself (never the channel's last code, which another thread may have
    // replaced meanwhile).
    // SystemError with the text alone.
    void ReportText(platform::WString text);
    // SystemError "'text': the platform's message for code".
    void ReportError(const platform::WString& text, DWORD code);
    // ReportError, then DriverFailure with code: the operation ends.
    [[noreturn]] void FailWithError(const platform::WString& text, DWORD code);

    // Reception (protocol/reception.cpp).
    static void ChannelCallback(void* userData, BYTE value, const char* text);
    static void TimerTick(HWND, UINT, UINT_PTR, DWORD);
    void OnChannelEvent(BYTE value, const char* text) EXCLUDES(m_stateLock);
    // A byte from the device, with the text it is reported with.
    void TakeFrameByte(BYTE byte, const char* text) EXCLUDES(m_stateLock);
    void ClearFrame() REQUIRES(m_stateLock);
    // Events are raised with the state lock free: a client's handler may
    // close the port, which waits for the listener, which may wait for it.
    // Writes one byte and reports it: PutDeviceByte, then ReportDeviceByte.
    void WriteDeviceByte(BYTE byte, LPCWSTR label) EXCLUDES(m_stateLock);
    // One byte's write; not done when no port is open.
    struct ByteWrite {
        bool done = false;
        LONG result = 0;
        DWORD written = 0;
    };
    ByteWrite PutDeviceByte(BYTE byte) EXCLUDES(m_stateLock);
    // "Write: ..." for a byte written, FailWithError for a failed write.
    void ReportDeviceByte(const ByteWrite& write, BYTE byte, LPCWSTR label) EXCLUDES(m_stateLock);
    void FireInputReceived(const platform::WString& text) EXCLUDES(m_stateLock);
    // The expired inter-character timeout: StartNumberFault 3, then the
    // port closed and opened again.
    void ReportTimeout();

    // Battery test (protocol/battery_test.cpp).
    void EndBatteryMeasurement() EXCLUDES(m_stateLock);

    // Shared with the listener thread.
    CRITICAL_SECTION m_stateLock;
    LONG m_portNumber = -1;  // the client's thread only
    bool m_numberReady GUARDED_BY(m_stateLock) = false;
    std::atomic<LONG> m_startNumber{-1};  // written under the lock, read without it
    bool m_dsrChanged GUARDED_BY(m_stateLock) = false;
    bool m_ctsChanged GUARDED_BY(m_stateLock) = false;
    FLOAT m_batteryVoltage GUARDED_BY(m_stateLock) = -1.0f;
    __timeb64 m_batteryStartTime GUARDED_BY(m_stateLock){};
    std::atomic<bool> m_batteryTestActive{false};  // set under the lock, tested without it
    bool m_batteryResultReady GUARDED_BY(m_stateLock) = false;
    platform::WString m_batteryDevice GUARDED_BY(m_stateLock);
    bool m_timeoutPending GUARDED_BY(m_stateLock) = false;
    BYTE m_frame[protocol::kFrameLength] GUARDED_BY(m_stateLock) = {
        protocol::kEmptyFrameByte, protocol::kEmptyFrameByte, protocol::kEmptyFrameByte, protocol::kEmptyFrameByte};
    LONG m_frameCount GUARDED_BY(m_stateLock) = 0;
    ULONG m_frameGeneration GUARDED_BY(m_stateLock) = 0;  // counts emptyings of the frame

    // The line settings: used by the client's thread and, for RTS after a
    // battery measurement, by the listener thread.
    platform::Mutex m_settingsLock;
    HANDLE m_portHandle GUARDED_BY(m_settingsLock) = nullptr;
    std::unique_ptr<DCB> m_dcb GUARDED_BY(m_settingsLock);

    CSerialSP m_channel;
    std::atomic<LONG> m_interCharTimeout{1500};
    UINT_PTR m_timerId = 0;
    bool m_listenerFailureReported = false;
    bool m_inTick = false;                      // the owner's thread only
    ULONG m_portCalls = 0;                      // Open and Close calls so far; the owner's thread only
    std::atomic<bool> m_closeRequested{false};  // Close asked for on the listener thread
    std::atomic<DWORD> m_ownerThread{0};
    std::atomic<UINT_PTR> m_closeTimer{0};

    // The driver whose channel callback runs on this thread, if any: Close
    // and Open must not wait for the listener from inside it.
    static thread_local const CTarvik* t_inCallback;
};

template <class Body>
inline HRESULT CTarvik::Guard(Body body) {
    try {
        return body();
    } catch (const DriverFailure&) {
        return RPC_E_SERVERFAULT;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

template <class Change>
inline void CTarvik::ChangeLineSetting(LPCWSTR failureText, Change change) {
    DWORD code = ERROR_SUCCESS;
    {
        platform::MutexLock lock(m_settingsLock);
        if (!m_portHandle || !m_dcb) return;
        const DCB before = *m_dcb;
        change(*m_dcb);
        if (SetCommState(m_portHandle, m_dcb.get())) return;
        code = GetLastError();
        *m_dcb = before;  // the port keeps its previous settings
    }
    FailWithError(failureText, code);
}

}  // namespace trelvane

// The driver whose tick runs: the one that last completed an Open.
extern std::atomic<trelvane::CTarvik*> g_driver;
