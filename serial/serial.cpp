#include "serial/serial.h"

#include <cstring>

namespace trelvane {
namespace {

// The completion signal for operations that the caller gave no OVERLAPPED:
// one per thread, so that a Write on one thread and a Read on another never
// see each other's completion as their own.
HANDLE ThreadIoEvent() {
    struct Holder {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Holder() {
            if (event) CloseHandle(event);
        }
    };
    thread_local Holder holder;
    return holder.event;
}

}  // namespace

CSerial::~CSerial() { CSerial::Close(); }

bool CSerial::CheckOpen() {
    ClearError();
    if (m_port) return true;
    Fail(ERROR_INVALID_HANDLE);
    return false;
}

LONG CSerial::Open(LPCWSTR device, DWORD inQueue, DWORD outQueue, bool overlapped) {
    ClearError();
    if (m_port) return Fail(ERROR_ALREADY_INITIALIZED);
    HANDLE port = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return Fail(GetLastError());
    m_port = port;
    if (overlapped) {
        m_ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!m_ioEvent) {
            const DWORD error = GetLastError();
            CloseHandle(m_port);
            m_port = nullptr;
            return Fail(error);
        }
    }
    if ((inQueue || outQueue) && !SetupComm(m_port, inQueue, outQueue)) {
        const DWORD error = GetLastError();
        Close();
        return Fail(error);
    }
    // A port that refuses the default mask still opens: its owner applies
    // the mask it needs next and learns of a refusal there.
    (void)SetEventMask(DefaultEventMask);
    // A port that cannot be made to read without blocking would stall its
    // reader: it is closed again, as for the other failures of Open.
    if (const LONG error = SetReadTimeoutMode(ReadNonBlocking)) {
        Close();
        return Fail(static_cast<DWORD>(error));
    }
    return 0;
}

LONG CSerial::Close() {
    ClearError();
    if (!m_port) return 0;
    if (m_ioEvent) {
        CloseHandle(m_ioEvent);
        m_ioEvent = nullptr;
    }
    CloseHandle(m_port);
    m_port = nullptr;
    return LastErrorCode();
}

bool CSerial::ReadState(DCB& dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (GetCommState(m_port, &dcb)) return true;
    Fail(GetLastError());
    return false;
}

template <class Change>
LONG CSerial::ChangeState(Change change) {
    if (!CheckOpen()) return LastErrorCode();
    DCB dcb;
    if (!ReadState(dcb)) return LastErrorCode();
    change(dcb);
    if (!SetCommState(m_port, &dcb)) return Fail(GetLastError());
    return 0;
}

LONG CSerial::SetLineSettings(DWORD baudRate, int dataBits, int parity, int stopBits) {
    return ChangeState([&](DCB& dcb) {
        dcb.BaudRate = baudRate;
        dcb.ByteSize = static_cast<BYTE>(dataBits);
        dcb.Parity = static_cast<BYTE>(parity);
        dcb.StopBits = static_cast<BYTE>(stopBits);
        dcb.fParity = parity != NoParity;
    });
}

LONG CSerial::SetEventCharacter(BYTE eventChar, bool addRxFlag) {
    if (!CheckOpen()) return LastErrorCode();
    DCB dcb;
    if (!ReadState(dcb)) return LastErrorCode();
    dcb.EvtChar = static_cast<char>(eventChar);
    // A refused mask does not keep the character from being set; it is the
    // result when the block is written.
    const LONG maskResult = addRxFlag ? SetEventMask(GetEventMask() | EV_RXFLAG) : 0;
    if (!SetCommState(m_port, &dcb)) return Fail(GetLastError());
    return maskResult;
}

LONG CSerial::SetEventMask(DWORD mask) {
    if (!CheckOpen()) return LastErrorCode();
    if (!SetCommMask(m_port, mask)) return Fail(GetLastError());
    m_eventMask.store(mask);
    return 0;
}

LONG CSerial::Finish(OVERLAPPED& ov, DWORD* count, DWORD timeout) {
    const DWORD waited = WaitForSingleObject(ov.hEvent, timeout);
    if (waited == WAIT_OBJECT_0) {
        if (count && !GetOverlappedResult(m_port, &ov, count, FALSE)) return Fail(GetLastError());
        return 0;
    }
    const DWORD error = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    // Only this operation is cancelled: other requests of this thread (the
    // listener's port-event wait, when a handler does bounded I/O) go on.
    // The request must be finished with ov and the count before they go.
    DWORD ignored = 0;
    CancelIoEx(m_port, &ov);
    GetOverlappedResult(m_port, &ov, &ignored, TRUE);
    if (count) *count = 0;
    return Fail(error);
}

// The common scheme of WaitForPortEvent, Write and Read: choose the OVERLAPPED,
// issue the call, and wait for it when it is ours.
template <class Issue>
LONG CSerial::RunIo(LPOVERLAPPED overlapped, DWORD timeout, DWORD* count, Issue issue) {
    if (!CheckOpen()) return LastErrorCode();
    OVERLAPPED internal{};
    LPOVERLAPPED used = nullptr;
    if (!m_ioEvent) {
        if (overlapped || timeout != INFINITE) return Fail(ERROR_INVALID_FUNCTION);
    } else if (overlapped) {
        used = overlapped;
    } else {
        internal.hEvent = ThreadIoEvent();
        used = &internal;
    }
    if (issue(used)) {
        if (used && used->hEvent) SetEvent(used->hEvent);  // a waiter on the event must not block
        return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return Fail(error);
    if (used == overlapped) return 0;  // completing it is the caller's business
    return Finish(internal, count, timeout);
}

LONG CSerial::WaitForPortEvent(LPOVERLAPPED overlapped, DWORD timeout) {
    return RunIo(overlapped, timeout, nullptr,
                 [this](LPOVERLAPPED used) { return WaitCommEvent(m_port, &m_eventFlags, used); });
}

LONG CSerial::Write(const void* buffer, DWORD length, DWORD* written, LPOVERLAPPED overlapped, DWORD timeout) {
    DWORD own = 0;
    if (!written) written = &own;
    *written = 0;
    return RunIo(overlapped, timeout, written,
                 [&](LPOVERLAPPED used) { return WriteFile(m_port, buffer, length, written, used); });
}

LONG CSerial::Read(void* buffer, DWORD length, DWORD* read, LPOVERLAPPED overlapped, DWORD timeout) {
    DWORD own = 0;
    if (!read) read = &own;
    *read = 0;
    return RunIo(overlapped, timeout, read,
                 [&](LPOVERLAPPED used) { return ReadFile(m_port, buffer, length, read, used); });
}

LONG CSerial::WriteText(const char* text, DWORD* written, LPOVERLAPPED overlapped, DWORD timeout) {
    return Write(text, static_cast<DWORD>(std::strlen(text)), written, overlapped, timeout);
}

LONG CSerial::SetHandshakeMode(int mode) {
    if (mode < HandshakeOff || mode > HandshakeSoftware) {
        if (!CheckOpen()) return LastErrorCode();
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    return ChangeState([mode](DCB& dcb) {
        const bool hardware = mode == HandshakeHardware, software = mode == HandshakeSoftware;
        dcb.fOutxCtsFlow = hardware;
        dcb.fOutxDsrFlow = hardware;
        dcb.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        dcb.fOutX = software;
        dcb.fInX = software;
    });
}

LONG CSerial::SetReadTimeoutMode(int mode) {
    if (!CheckOpen()) return LastErrorCode();
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(m_port, &timeouts)) return Fail(GetLastError());
    if (mode != ReadNonBlocking && mode != ReadBlocking) return Fail(static_cast<DWORD>(E_INVALIDARG));
    timeouts.ReadIntervalTimeout = mode == ReadNonBlocking ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(m_port, &timeouts)) return Fail(GetLastError());
    return 0;
}

DWORD CSerial::GetBaudRate() {
    if (!CheckOpen()) return 0xFFFFFFFF;
    DCB dcb;
    return ReadState(dcb) ? dcb.BaudRate : 0xFFFFFFFF;
}

int CSerial::GetDataBits() {
    if (!CheckOpen()) return -1;
    DCB dcb;
    return ReadState(dcb) ? dcb.ByteSize : -1;
}

int CSerial::GetParity() {
    if (!CheckOpen()) return -1;
    DCB dcb;
    if (!ReadState(dcb)) return -1;
    return dcb.fParity ? dcb.Parity : 0;
}

int CSerial::GetStopBits() {
    if (!CheckOpen()) return -1;
    DCB dcb;
    return ReadState(dcb) ? dcb.StopBits : -1;
}

int CSerial::GetHandshakeMode() {
    if (!CheckOpen()) return -1;
    DCB dcb;
    if (!ReadState(dcb)) return -1;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return HandshakeHardware;
    if (dcb.fOutX && dcb.fInX) return HandshakeSoftware;
    return HandshakeOff;
}

DWORD CSerial::GetEventMask() {
    if (!CheckOpen()) return 0;
    return m_eventMask.load();
}

BYTE CSerial::GetEventCharacter() {
    if (!CheckOpen()) return 0;
    DCB dcb;
    return ReadState(dcb) ? static_cast<BYTE>(dcb.EvtChar) : 0;
}

bool CSerial::ModemLineOn(DWORD bit) {
    ClearError();
    DWORD status = 0;
    // Asked even when the port is closed: the platform refuses the null handle.
    if (!GetCommModemStatus(m_port, &status)) {
        Fail(GetLastError());
        return false;
    }
    return (status & bit) != 0;
}

}  // namespace trelvane
