// CSerial: one serial port with overlapped I/O, line settings, flow control,
// read-timeout mode, the port-event mask and the modem-status lines. Every
// operation stores its result code, which the owner reads to word messages.
#pragma once

#include <atomic>

#include "platform/windows.h"

namespace trelvane {

class CSerial {
public:
    enum EHandshake { HandshakeOff = 0, HandshakeHardware = 1, HandshakeSoftware = 2 };
    enum EReadTimeout { ReadNonBlocking = 0, ReadBlocking = 1 };
    enum EParity { NoParity = 0, OddParity = 1, EvenParity = 2, MarkParity = 3, SpaceParity = 4 };
    enum EStopBits { OneStopBit = 0, OneAndHalfStopBits = 1, TwoStopBits = 2 };

    static constexpr DWORD DefaultEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;

    CSerial() = default;
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // Virtual operations, in this fixed order. Those that can fail return
    // the result code, which is not to be ignored; Close always succeeds.
    // Open fails with nothing left open.
    [[nodiscard]] virtual LONG Open(LPCWSTR device, DWORD inQueue = 0, DWORD outQueue = 0, bool overlapped = false);
    virtual LONG Close();
    [[nodiscard]] virtual LONG SetLineSettings(DWORD baudRate, int dataBits, int parity, int stopBits);
    [[nodiscard]] virtual LONG SetEventCharacter(BYTE eventChar, bool addRxFlag = true);
    [[nodiscard]] virtual LONG SetEventMask(DWORD mask);
    [[nodiscard]] virtual LONG WaitForPortEvent(LPOVERLAPPED overlapped = nullptr, DWORD timeout = INFINITE);
    [[nodiscard]] virtual LONG SetHandshakeMode(int mode);
    [[nodiscard]] virtual LONG SetReadTimeoutMode(int mode);
    virtual DWORD GetBaudRate();
    virtual int GetDataBits();
    virtual int GetParity();
    virtual int GetStopBits();
    virtual int GetHandshakeMode();
    virtual DWORD GetEventMask();
    virtual BYTE GetEventCharacter();
    [[nodiscard]] virtual LONG WriteText(const char* text, DWORD* written = nullptr, LPOVERLAPPED overlapped = nullptr,
                                         DWORD timeout = INFINITE);
    [[nodiscard]] virtual LONG Write(const void* buffer, DWORD length, DWORD* written = nullptr,
                                     LPOVERLAPPED overlapped = nullptr, DWORD timeout = INFINITE);
    [[nodiscard]] virtual LONG Read(void* buffer, DWORD length, DWORD* read = nullptr,
                                    LPOVERLAPPED overlapped = nullptr, DWORD timeout = INFINITE);

    bool IsCtsOn() { return ModemLineOn(MS_CTS_ON); }
    bool IsDsrOn() { return ModemLineOn(MS_DSR_ON); }
    bool IsRlsdOn() { return ModemLineOn(MS_RLSD_ON); }
    LONG LastErrorCode() const { return m_lastError.load(std::memory_order_relaxed); }
    HANDLE PortHandle() const { return m_port; }

protected:
    // Stores code as the latest result and returns it.
    LONG Fail(DWORD code) {
        m_lastError.store(static_cast<LONG>(code), std::memory_order_relaxed);
        return static_cast<LONG>(code);
    }
    void ClearError() { m_lastError.store(0, std::memory_order_relaxed); }

    // Both threads that use the port store their results here.
    std::atomic<LONG> m_lastError{0};
    // Set and cleared only while no listener runs: starting and joining the
    // listener orders them with its reads.
    HANDLE m_port = nullptr;
    // Written by whichever thread completes the listener's port-event wait;
    // the listener reads it once the port has reported the completion.
    DWORD m_eventFlags = 0;
    // Applied by the owner's thread while the listener reads it.
    std::atomic<DWORD> m_eventMask{0};
    HANDLE m_ioEvent = nullptr;  // as m_port

private:
    // Clears the stored code; stores 6 and returns false when the port is closed.
    [[nodiscard]] bool CheckOpen();
    template <class Change>
    [[nodiscard]] LONG ChangeState(Change change);
    template <class Issue>
    [[nodiscard]] LONG RunIo(LPOVERLAPPED overlapped, DWORD timeout, DWORD* count, Issue issue);
    // Reads the block into dcb; false (code stored) on failure.
    [[nodiscard]] bool ReadState(DCB& dcb);
    // Waits for an operation started on an internal OVERLAPPED, cancelling it
    // when the wait runs out.
    [[nodiscard]] LONG Finish(OVERLAPPED& ov, DWORD* count, DWORD timeout);
    bool ModemLineOn(DWORD bit);
};

}  // namespace trelvane
