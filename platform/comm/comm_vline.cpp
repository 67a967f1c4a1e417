// The PC end of the virtual line.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/base/errno_map.h"
#include "platform/base/error_text.h"
#include "platform/base/fd_io.h"
#include "platform/base/log.h"
#include "platform/comm/comm_backends.h"
#include "platform/comm/vline_codec.h"

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

// The line-error bit of a LineError kind, or 0 for a kind there is not.
DWORD LineErrorBit(BYTE kind) {
    switch (static_cast<vline::LineErrorKind>(kind)) {
    case vline::LineErrorKind::Break: return CE_BREAK;
    case vline::LineErrorKind::Framing: return CE_FRAME;
    case vline::LineErrorKind::Parity: return CE_RXPARITY;
    case vline::LineErrorKind::Overrun: return CE_OVERRUN;
    }
    return 0;
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
            if (vline::Message message; m_reader.Next(&message)) {
                if (message.type == static_cast<BYTE>(vline::DeviceMessage::Busy)) return ERROR_ACCESS_DENIED;
                const std::optional<vline::Hello> hello = vline::ReadHello(message);
                if (!hello || hello->version != vline::kVersion) return ERROR_IO_DEVICE;
                m_modemStatus = ModemBitsToStatus(hello->modem);
                m_dcb.DCBlength = sizeof(DCB);
                m_dcb.BaudRate = hello->settings.baud;
                m_dcb.ByteSize = hello->settings.dataBits;
                m_dcb.Parity = hello->settings.parity;
                m_dcb.StopBits = hello->settings.stopBits;
                m_dcb.fBinary = 1;
                m_dcb.fParity = m_dcb.Parity != NOPARITY;
                m_dcb.fDtrControl = DTR_CONTROL_ENABLE;
                m_dcb.fRtsControl = RTS_CONTROL_ENABLE;
                m_dcb.fTXContinueOnXoff = 1;
                m_dcb.XonLim = 2048;
                m_dcb.XoffLim = 512;
                m_dcb.XonChar = 0x11;
                m_dcb.XoffChar = 0x13;
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
            m_reader.Append(chunk, static_cast<std::size_t>(n));
        }
    }

protected:
    int Fd() const override { return m_fd; }

    DWORD StartBackend() override {
        std::lock_guard lock(m_mutex);
        m_lines = vline::kDtr | vline::kRts;  // DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE
        std::vector<BYTE> message;
        vline::AppendMessage(message, vline::PcMessage::Lines, &m_lines, 1);
        QueueRawLocked(message);
        // Messages that came right behind the greeting are already buffered.
        return ParseLocked();
    }

    DWORD ReceiveLocked(bool* tookIn) override {
        const DWORD error = ReadAvailable(m_fd, FdKind::Socket, [this, tookIn](const BYTE* data, std::size_t length) {
            m_reader.Append(data, length);
            *tookIn = true;
        });
        // Messages that came before the end still count.
        const DWORD parsed = ParseLocked();
        return parsed ? parsed : error;
    }

    DWORD ParseLocked() {
        vline::Message message;
        while (m_reader.Next(&message))
            if (DWORD error = HandleMessageLocked(message)) return error;
        return ERROR_SUCCESS;
    }

    DWORD SendLocked(const BYTE* data, std::size_t length, std::size_t* sent) override {
        return WriteAvailable(m_fd, FdKind::Socket, data, length, sent);
    }

    void FrameDataLocked(const BYTE* data, std::size_t length, std::vector<BYTE>& out) override {
        if (length > 0) vline::AppendMessage(out, vline::PcMessage::Data, data, length);
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
        std::vector<BYTE> message;
        vline::AppendSettingsRequest(
            message, {id, {requested.BaudRate, requested.ByteSize, requested.Parity, requested.StopBits}, lines});
        QueueRawLocked(message);
        // Whether and how the wait ended is read from the reply below: a reply
        // that came just before the line ended still tells what the device did.
        (void)DriveLocked(
            lock, [&] { return m_lastReply == id || CheckOpenLocked() != ERROR_SUCCESS; },
            Clock::now() + kSettingsReplyTimeout);
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
    DWORD HandleMessageLocked(const vline::Message& message) {
        const std::optional<BYTE> byte = vline::ReadByte(message);
        switch (static_cast<vline::DeviceMessage>(message.type)) {
        case vline::DeviceMessage::Data: AddInputLocked(message.payload, message.length); return ERROR_SUCCESS;
        case vline::DeviceMessage::Modem:
            if (!byte) break;
            ModemChangedLocked(ModemBitsToStatus(*byte));
            return ERROR_SUCCESS;
        case vline::DeviceMessage::LineError:
            if (DWORD error = byte ? LineErrorBit(*byte) : 0) {
                LineErrorLocked(error);
                return ERROR_SUCCESS;
            }
            break;
        case vline::DeviceMessage::ParamsReply:
            if (const std::optional<vline::ParamsReply> reply = vline::ReadParamsReply(message)) {
                m_lastReply = reply->id;
                m_replyAccepted = reply->accepted;
                m_changed.notify_all();
                return ERROR_SUCCESS;
            }
            break;
        case vline::DeviceMessage::WriteFault:
            if (!byte) break;
            m_writeFaults = *byte;
            return ERROR_SUCCESS;
        case vline::DeviceMessage::Bye:
            if (message.length != 0) break;
            return ERROR_DEVICE_NOT_CONNECTED;  // the cable is pulled, right after what came before
        default: break;
        }
        log::Error(log::Channel::comm, "virtual line: malformed message 0x%02x from the device end; dropping it",
                   message.type);
        return ERROR_IO_DEVICE;
    }

    int m_fd;
    vline::MessageReader m_reader;  // what the device end sent, not yet handled
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
    // What the driver may have written that the device end has not read is
    // bounded as a serial driver's output queue is, whatever the machine's
    // default: a device that stops reading stops the writes soon.
    constexpr int kOutputQueueBytes = 64 * 1024;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kOutputQueueBytes, sizeof kOutputQueueBytes) != 0)
        return ErrnoToError(errno);
    // A device end whose queue of connections is full would hold the
    // opening thread in connect for as long as it likes: the connect waits
    // no longer than the greeting may (a Unix socket's connect waits for
    // room as long as its send timeout says), and writes wait as before.
    timeval wait{kHelloTimeoutMs / 1000, static_cast<suseconds_t>(kHelloTimeoutMs % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) return ErrnoToError(errno);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EAGAIN) return ErrnoToError(errno);
        log::Error(log::Channel::comm, "the virtual line at %s took no connection within %d ms", socketPath.c_str(),
                   kHelloTimeoutMs);
        return ERROR_SEM_TIMEOUT;
    }
    wait = timeval{};
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) return ErrnoToError(errno);
    // The device end must be this user's (or root's): another user's would
    // feed the driver start numbers of its choosing.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return ErrnoToError(errno);
    if (peer.uid != ::geteuid() && peer.uid != 0) {
        log::Error(log::Channel::comm, "the virtual line at %s is served by user %ld, not by this one; not using it",
                   socketPath.c_str(), static_cast<long>(peer.uid));
        return ERROR_ACCESS_DENIED;
    }
    if (DWORD error = line->Handshake()) return error;
    *port = std::move(line);
    return ERROR_SUCCESS;
}

}  // namespace platform
