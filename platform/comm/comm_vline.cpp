// The PC end of the virtual line.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/comm/comm_backends.h"
#include "platform/base/errno_map.h"
#include "platform/base/fd_io.h"
#include "platform/base/error_text.h"
#include "platform/comm/vline_protocol.h"

namespace platform {
namespace {

constexpr int kHelloTimeoutMs = 2000;
constexpr auto kSettingsReplyTimeout = std::chrono::milliseconds(2000);

DWORD ModemBitsToStatus(std::uint8_t bits) {
    DWORD status = 0;
    if (bits & vline::kCts) status |= MS_CTS_ON;
    if (bits & vline::kDsr) status |= MS_DSR_ON;
    if (bits & vline::kRlsd) status |= MS_RLSD_ON;
    if (bits & vline::kRing) status |= MS_RING_ON;
    return status;
}

// Bytes of a complete message at the front of buffer, or 0 if it is still partial.
std::size_t CompleteMessageSize(const std::vector<BYTE>& buffer) {
    if (buffer.size() < vline::kHeaderSize) return 0;
    const std::size_t size = vline::kHeaderSize + buffer[1];
    return buffer.size() >= size ? size : 0;
}

class VirtualLinePort : public CommPort {
public:
    explicit VirtualLinePort(int fd) : m_fd(fd) {}
    ~VirtualLinePort() override {
        if (m_fd >= 0) ::close(m_fd);
    }

    // Waits for the device end's greeting: Hello, or Busy when the line is taken.
    DWORD Handshake() {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kHelloTimeoutMs);
        for (;;) {
            if (std::size_t size = CompleteMessageSize(m_received)) {
                const auto type = static_cast<vline::DeviceMessage>(m_received[0]);
                if (type == vline::DeviceMessage::Busy) return ERROR_ACCESS_DENIED;
                if (type != vline::DeviceMessage::Hello || size != vline::kHeaderSize + vline::kHelloSize ||
                    m_received[2] != vline::kVersion)
                    return ERROR_IO_DEVICE;
                const BYTE* p = m_received.data() + vline::kHeaderSize;
                m_modemStatus = ModemBitsToStatus(p[1]);
                m_dcb.DCBlength = sizeof(DCB);
                m_dcb.BaudRate = vline::GetU32(p + 2);
                m_dcb.ByteSize = p[6];
                m_dcb.Parity = p[7];
                m_dcb.StopBits = p[8];
                m_dcb.fBinary = 1;
                m_dcb.fParity = m_dcb.Parity != NOPARITY;
                m_dcb.fDtrControl = DTR_CONTROL_ENABLE;
                m_dcb.fRtsControl = RTS_CONTROL_ENABLE;
                m_dcb.fTXContinueOnXoff = 1;
                m_dcb.XonLim = 2048;
                m_dcb.XoffLim = 512;
                m_dcb.XonChar = 0x11;
                m_dcb.XoffChar = 0x13;
                m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(size));
                return ERROR_SUCCESS;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return ERROR_SEM_TIMEOUT;
            pollfd pfd{m_fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(left));
            if (ready < 0 && errno != EINTR) return ErrnoToError(errno);
            if (ready <= 0) continue;
            BYTE chunk[64];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n == 0) return ERROR_DEVICE_NOT_CONNECTED;
            if (n < 0) {
                if (errno == EINTR) continue;
                return ErrnoToError(errno);
            }
            m_received.insert(m_received.end(), chunk, chunk + n);
        }
    }

protected:
    int Fd() const override { return m_fd; }

    DWORD StartBackend() override {
        std::lock_guard lock(m_mutex);
        m_lines = vline::kDtr | vline::kRts;  // DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE
        QueueRawLocked({static_cast<BYTE>(vline::PcMessage::Lines), 1, m_lines});
        // Messages that came right behind the greeting are already buffered.
        return ParseLocked();
    }

    DWORD ReceiveLocked(bool* tookIn) override {
        const DWORD error = ReadAvailable(m_fd, FdKind::Socket, [this, tookIn](const BYTE* data, std::size_t length) {
            m_received.insert(m_received.end(), data, data + length);
            *tookIn = true;
        });
        // Messages that came before the end still count.
        const DWORD parsed = ParseLocked();
        return parsed ? parsed : error;
    }

    DWORD ParseLocked() {
        std::size_t offset = 0;
        while (offset + vline::kHeaderSize <= m_received.size()) {
            const std::size_t size = vline::kHeaderSize + m_received[offset + 1];
            if (offset + size > m_received.size()) break;
            if (DWORD error = HandleMessageLocked(m_received.data() + offset, size)) return error;
            offset += size;
        }
        m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(offset));
        return ERROR_SUCCESS;
    }

    DWORD SendLocked(const BYTE* data, std::size_t length, std::size_t* sent) override {
        return WriteAvailable(m_fd, FdKind::Socket, data, length, sent);
    }

    void FrameDataLocked(const BYTE* data, std::size_t length, std::vector<BYTE>& out) override {
        while (length > 0) {
            const std::size_t chunk = std::min(length, vline::kMaxPayload);
            out.push_back(static_cast<BYTE>(vline::PcMessage::Data));
            out.push_back(static_cast<BYTE>(chunk));
            out.insert(out.end(), data, data + chunk);
            data += chunk;
            length -= chunk;
        }
    }

    // Asks the device end to take the whole line state and waits for its
    // answer; nothing changes when it refuses.
    DWORD ApplyStateLocked(std::unique_lock<std::mutex>& lock, const DCB& requested) override {
        BYTE lines = m_lines & vline::kBreak;
        if (requested.fDtrControl != DTR_CONTROL_DISABLE) lines |= vline::kDtr;
        if (requested.fRtsControl != RTS_CONTROL_DISABLE) lines |= vline::kRts;
        if (requested.BaudRate == m_dcb.BaudRate && requested.ByteSize == m_dcb.ByteSize &&
            requested.Parity == m_dcb.Parity && requested.StopBits == m_dcb.StopBits && lines == m_lines)
            return ERROR_SUCCESS;
        const std::uint32_t id = ++m_lastRequest;
        std::vector<BYTE> message(vline::kHeaderSize + vline::kSettingsSize);
        message[0] = static_cast<BYTE>(vline::PcMessage::Settings);
        message[1] = vline::kSettingsSize;
        vline::PutU32(&message[2], id);
        vline::PutU32(&message[6], requested.BaudRate);
        message[10] = requested.ByteSize;
        message[11] = requested.Parity;
        message[12] = requested.StopBits;
        message[13] = lines;
        QueueRawLocked(message);
        DriveLocked(lock, [&] { return m_lastReply == id || CheckOpenLocked() != ERROR_SUCCESS; },
                    Clock::now() + kSettingsReplyTimeout);
        // A reply that came just before the line ended still tells what the device did.
        if (m_lastReply != id) {
            if (DWORD error = CheckOpenLocked()) return error;
            return ERROR_SEM_TIMEOUT;
        }
        if (!m_replyAccepted) return ERROR_INVALID_PARAMETER;  // as for a rate the hardware cannot run
        m_lines = lines;
        return ERROR_SUCCESS;
    }

    DWORD WriteFaultLocked() override {
        if (m_writeFaults == 0) return ERROR_SUCCESS;
        --m_writeFaults;
        return ERROR_IO_DEVICE;
    }

    DWORD ModemStatusLocked(DWORD* status) override {
        *status = m_modemStatus;
        return ERROR_SUCCESS;
    }

    void Shutdown() override {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    DWORD HandleMessageLocked(const BYTE* message, std::size_t size) {
        const BYTE* payload = message + vline::kHeaderSize;
        const std::size_t length = size - vline::kHeaderSize;
        switch (static_cast<vline::DeviceMessage>(message[0])) {
        case vline::DeviceMessage::Data:
            AddInputLocked(payload, length);
            return ERROR_SUCCESS;
        case vline::DeviceMessage::Modem:
            if (length != 1) break;
            ModemChangedLocked(ModemBitsToStatus(payload[0]));
            return ERROR_SUCCESS;
        case vline::DeviceMessage::LineError:
            if (length != 1) break;
            switch (static_cast<vline::LineErrorKind>(payload[0])) {
            case vline::LineErrorKind::Break: LineErrorLocked(CE_BREAK); return ERROR_SUCCESS;
            case vline::LineErrorKind::Framing: LineErrorLocked(CE_FRAME); return ERROR_SUCCESS;
            case vline::LineErrorKind::Parity: LineErrorLocked(CE_RXPARITY); return ERROR_SUCCESS;
            case vline::LineErrorKind::Overrun: LineErrorLocked(CE_OVERRUN); return ERROR_SUCCESS;
            }
            break;
        case vline::DeviceMessage::ParamsReply:
            if (length != vline::kParamsReplySize) break;
            m_lastReply = vline::GetU32(payload);
            m_replyAccepted = payload[4] != 0;
            m_changed.notify_all();
            return ERROR_SUCCESS;
        case vline::DeviceMessage::WriteFault:
            if (length != 1) break;
            m_writeFaults = payload[0];
            return ERROR_SUCCESS;
        case vline::DeviceMessage::Bye:
            if (length != 0) break;
            return ERROR_DEVICE_NOT_CONNECTED;  // the cable is pulled, right after what came before
        default:
            break;
        }
        std::fprintf(stderr, "trelvane: virtual line: malformed message 0x%02x from the device end; dropping it\n",
                     message[0]);
        return ERROR_IO_DEVICE;
    }

    int m_fd;
    std::vector<BYTE> m_received;  // bytes of messages not yet complete
    BYTE m_lines = 0;
    std::uint32_t m_lastRequest = 0;
    std::uint32_t m_lastReply = 0;
    bool m_replyAccepted = false;
    unsigned m_writeFaults = 0;  // writes the device end asked to fail
};

}  // namespace

DWORD OpenVirtualLinePort(const std::string& socketPath, std::shared_ptr<CommPort>* port) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return ERROR_INVALID_PARAMETER;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ErrnoToError(errno);
    auto line = std::make_shared<VirtualLinePort>(fd);  // owns fd from here on
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return ErrnoToError(errno);
    if (DWORD error = line->Handshake()) return error;
    *port = std::move(line);
    return ERROR_SUCCESS;
}

}  // namespace platform
