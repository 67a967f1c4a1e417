#include "tools/device_end/device_end.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>

namespace trelvane {
namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::unique_ptr<DeviceEnd> DeviceEnd::Create(const std::string& home, int comNumber, std::string* error,
                                             Observer observer) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(home + "/run", ec);
    fs::create_directories(home + "/dosdevices", ec);
    const std::string socketPath = home + "/run/vline-com" + std::to_string(comNumber) + ".sock";
    const std::string linkPath = home + "/dosdevices/com" + std::to_string(comNumber);
    std::unique_ptr<DeviceEnd> device(new DeviceEnd(socketPath, linkPath));
    device->m_observer = std::move(observer);
    auto fail = [&](const std::string& what) -> std::unique_ptr<DeviceEnd> {
        if (error) *error = what + ": " + std::strerror(errno);
        return nullptr;
    };
    if (::pipe2(device->m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe");
    if (!device->Listen()) return fail("listen on " + socketPath);
    ::unlink(linkPath.c_str());
    if (::symlink(socketPath.c_str(), linkPath.c_str()) != 0) return fail("link " + linkPath);
    device->m_thread = std::thread([d = device.get()] { d->Run(); });
    return device;
}

DeviceEnd::DeviceEnd(std::string socketPath, std::string linkPath)
    : m_socketPath(std::move(socketPath)), m_linkPath(std::move(linkPath)) {}

DeviceEnd::~DeviceEnd() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    CloseFd(m_connFd);
    CloseFd(m_listenFd);
    CloseFd(m_wakePipe[0]);
    CloseFd(m_wakePipe[1]);
    ::unlink(m_socketPath.c_str());
    ::unlink(m_linkPath.c_str());
}

bool DeviceEnd::Listen() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);
    ::unlink(m_socketPath.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    m_listenFd = fd;
    return true;
}

void DeviceEnd::Wake() {
    const char byte = 1;
    if (m_wakePipe[1] >= 0 && ::write(m_wakePipe[1], &byte, 1) < 0 && errno != EAGAIN)
        std::fprintf(stderr, "device end: cannot wake: %s\n", std::strerror(errno));
}

void DeviceEnd::Observe(const Observation& observation) const {
    if (m_observer) m_observer(observation);
}

void DeviceEnd::Run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        // A stalled device takes nothing from the connection, not even its end.
        pollfd fds[3] = {{m_wakePipe[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}, {m_stalled ? -1 : m_connFd, POLLIN, 0}};
        lock.unlock();
        const int ready = ::poll(fds, 3, -1);  // negative descriptors are skipped
        const auto woke = std::chrono::steady_clock::now();
        lock.lock();
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "device end: poll: %s\n", std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(m_wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (m_unplug) {  // descriptors are closed here, never while poll() may hold them
            CloseFd(m_listenFd);
            ::unlink(m_socketPath.c_str());
            SayByeLocked();
            DropLocked();
            m_unplug = false;
            m_changed.notify_all();
            continue;
        }
        // Descriptors may have been replaced while the lock was free.
        if (fds[2].fd >= 0 && fds[2].fd == m_connFd && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            lock.unlock();
            Receive(woke);
            lock.lock();
        }
        if (fds[1].fd >= 0 && fds[1].fd == m_listenFd && (fds[1].revents & POLLIN)) {
            // A PC end that closed and at once opened again: the end of its
            // old connection is queued already, so take it in before deciding
            // whether the line is busy.
            const bool stalled = m_stalled;
            lock.unlock();
            while (m_connFd >= 0 && !stalled && Receive(woke)) {
            }
            lock.lock();
            Accept();
        }
    }
}

void DeviceEnd::Accept() {
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (m_connFd >= 0) {  // one cable, one PC end
        const std::uint8_t busy[2] = {static_cast<std::uint8_t>(vline::DeviceMessage::Busy), 0};
        WriteAll(fd, busy, sizeof busy);
        ::close(fd);
        Observe({Observation::Kind::Refused});
        return;
    }
    m_connFd = fd;
    m_reader.Clear();
    ++m_connections;
    std::vector<std::uint8_t> greeting;
    vline::AppendHello(greeting, {vline::kVersion, m_modem, m_settings});
    if (m_pendingWriteFaults > 0) {  // in the same write, so that it counts from the first write on
        const auto count = static_cast<std::uint8_t>(m_pendingWriteFaults);
        vline::AppendMessage(greeting, vline::DeviceMessage::WriteFault, &count, 1);
        m_pendingWriteFaults = 0;
    }
    WriteAll(fd, greeting.data(), greeting.size());
    Observe({Observation::Kind::Connected});
    m_changed.notify_all();
}

bool DeviceEnd::Receive(std::chrono::steady_clock::time_point arrived) {
    std::uint8_t chunk[4096];
    const ssize_t n = ::recv(m_connFd, chunk, sizeof chunk, MSG_DONTWAIT);  // only this thread closes m_connFd
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    std::vector<std::uint8_t> data;
    ByteHook hook;
    {
        std::lock_guard lock(m_mutex);
        if (n <= 0) {
            DropLocked();
            return false;
        }
        m_reader.Append(chunk, static_cast<std::size_t>(n));
        vline::Message message;
        while (m_reader.Next(&message)) {
            if (message.type == static_cast<std::uint8_t>(vline::PcMessage::Data)) {
                data.insert(data.end(), message.payload, message.payload + message.length);
                Observe({Observation::Kind::Data, {message.payload, message.payload + message.length}});
            } else {
                HandleMessage(message);
            }
        }
        hook = m_hook;
    }
    if (hook)
        for (std::uint8_t byte : data) hook(byte, arrived);
    if (!data.empty()) {
        std::lock_guard lock(m_mutex);
        m_received.insert(m_received.end(), data.begin(), data.end());
        m_changed.notify_all();
    }
    return true;
}

void DeviceEnd::HandleMessage(const vline::Message& message) {
    switch (static_cast<vline::PcMessage>(message.type)) {
    case vline::PcMessage::Lines:
        if (const std::optional<std::uint8_t> lines = vline::ReadByte(message)) {
            m_lines = *lines;
            Observe({Observation::Kind::Lines, {}, m_lines});
        }
        break;
    case vline::PcMessage::Params:
    case vline::PcMessage::Settings:
        if (const std::optional<vline::SettingsRequest> request = vline::ReadSettingsRequest(message))
            HandleSettings(*request);
        break;
    default: std::fprintf(stderr, "device end: unknown message 0x%02x from the driver\n", message.type); break;
    }
    m_changed.notify_all();
}

// Applies a line-settings request as a whole, or refuses it as a whole, and
// answers it; or pulls the cable instead of or right after answering.
void DeviceEnd::HandleSettings(const vline::SettingsRequest& request) {
    const DropPoint drop = std::exchange(m_dropAt, DropPoint::Never);
    if (drop == DropPoint::SettingsRequest) {
        SayByeLocked();
        ::shutdown(m_connFd, SHUT_RDWR);  // Run() sees the end and closes it
        return;
    }
    const LineSettings& wanted = request.settings;
    const std::uint8_t newLines = request.lines.value_or(m_lines);
    const bool paramsChange = wanted.baud != m_settings.baud || wanted.dataBits != m_settings.dataBits ||
                              wanted.parity != m_settings.parity || wanted.stopBits != m_settings.stopBits;
    const std::uint8_t linesChange = newLines ^ m_lines;
    const bool refused = (m_refuse && paramsChange) || (m_refuseDtr && (linesChange & vline::kDtr)) ||
                         (m_refuseRts && (linesChange & vline::kRts));
    if (paramsChange) Observe({Observation::Kind::Settings, {}, 0, wanted, !refused});
    if (!refused) {
        m_settings = wanted;
        m_lines = newLines;
        if (linesChange) Observe({Observation::Kind::Lines, {}, m_lines});
    }
    std::vector<std::uint8_t> out;
    vline::AppendParamsReply(out, {request.id, !refused});
    if (drop == DropPoint::SettingsReply) vline::AppendMessage(out, vline::DeviceMessage::Bye, nullptr, 0);
    WriteAll(m_connFd, out.data(), out.size());  // one write: the driver reads the reply and the end together
    if (drop == DropPoint::SettingsReply) ::shutdown(m_connFd, SHUT_RDWR);
}

// Tells the driver that the cable is about to be pulled, so that it learns
// it in order with what came before.
void DeviceEnd::SayByeLocked() {
    const std::uint8_t bye[2] = {static_cast<std::uint8_t>(vline::DeviceMessage::Bye), 0};
    if (m_connFd >= 0) WriteAll(m_connFd, bye, sizeof bye);
}

bool DeviceEnd::SendMessage(std::uint8_t type, const std::uint8_t* payload, std::size_t length) {
    if (m_connFd < 0) return false;
    std::vector<std::uint8_t> message;
    vline::AppendMessage(message, type, payload, length);
    return WriteAll(m_connFd, message.data(), message.size());
}

void DeviceEnd::DropLocked() {
    if (m_connFd >= 0) Observe({Observation::Kind::Disconnected});
    CloseFd(m_connFd);
    m_lines = 0;  // a pulled cable drops every line the PC drove
    m_reader.Clear();
    m_changed.notify_all();
}

bool DeviceEnd::WaitConnected(Millis timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_connFd >= 0; });
}

bool DeviceEnd::WaitDisconnected(Millis timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_connFd < 0; });
}

bool DeviceEnd::Connected() const {
    std::lock_guard lock(m_mutex);
    return m_connFd >= 0;
}

int DeviceEnd::Connections() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

bool DeviceEnd::Send(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(m_mutex);
    return SendMessage(static_cast<std::uint8_t>(vline::DeviceMessage::Data), bytes.data(), bytes.size());
}

bool DeviceEnd::RaiseLineError(vline::LineErrorKind kind) {
    std::lock_guard lock(m_mutex);
    const std::uint8_t payload = static_cast<std::uint8_t>(kind);
    return SendMessage(static_cast<std::uint8_t>(vline::DeviceMessage::LineError), &payload, 1);
}

bool DeviceEnd::SetModemLines(bool cts, bool dsr, bool rlsd, bool ring) {
    std::lock_guard lock(m_mutex);
    m_modem = static_cast<std::uint8_t>((cts ? vline::kCts : 0) | (dsr ? vline::kDsr : 0) | (rlsd ? vline::kRlsd : 0) |
                                        (ring ? vline::kRing : 0));
    return SendMessage(static_cast<std::uint8_t>(vline::DeviceMessage::Modem), &m_modem, 1);
}

namespace {
bool Has(std::uint8_t bits, std::uint8_t bit) { return (bits & bit) != 0; }
}  // namespace

bool DeviceEnd::SetCts(bool on) {
    std::uint8_t m;
    {
        std::lock_guard lock(m_mutex);
        m = m_modem;
    }
    return SetModemLines(on, Has(m, vline::kDsr), Has(m, vline::kRlsd), Has(m, vline::kRing));
}

bool DeviceEnd::SetDsr(bool on) {
    std::uint8_t m;
    {
        std::lock_guard lock(m_mutex);
        m = m_modem;
    }
    return SetModemLines(Has(m, vline::kCts), on, Has(m, vline::kRlsd), Has(m, vline::kRing));
}

bool DeviceEnd::SetRlsd(bool on) {
    std::uint8_t m;
    {
        std::lock_guard lock(m_mutex);
        m = m_modem;
    }
    return SetModemLines(Has(m, vline::kCts), Has(m, vline::kDsr), on, Has(m, vline::kRing));
}

bool DeviceEnd::Dtr() const {
    std::lock_guard lock(m_mutex);
    return Has(m_lines, vline::kDtr);
}

bool DeviceEnd::Rts() const {
    std::lock_guard lock(m_mutex);
    return Has(m_lines, vline::kRts);
}

bool DeviceEnd::BreakOn() const {
    std::lock_guard lock(m_mutex);
    return Has(m_lines, vline::kBreak);
}

DeviceEnd::LineSettings DeviceEnd::Settings() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

bool DeviceEnd::WaitLines(const std::function<bool(bool, bool)>& pred, Millis timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [&] { return pred(Has(m_lines, vline::kDtr), Has(m_lines, vline::kRts)); });
}

std::optional<std::uint8_t> DeviceEnd::ReadByte(Millis timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [this] { return !m_received.empty(); })) return std::nullopt;
    const std::uint8_t byte = m_received.front();
    m_received.pop_front();
    return byte;
}

std::vector<std::uint8_t> DeviceEnd::ReadBytes(std::size_t count, Millis timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
    const std::size_t take = std::min(count, m_received.size());
    std::vector<std::uint8_t> bytes(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(take));
    m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(take));
    return bytes;
}

std::vector<std::uint8_t> DeviceEnd::TakeReceived() {
    std::lock_guard lock(m_mutex);
    std::vector<std::uint8_t> bytes(m_received.begin(), m_received.end());
    m_received.clear();
    return bytes;
}

void DeviceEnd::SetByteHook(ByteHook hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

void DeviceEnd::RefuseSettings(bool refuse) {
    std::lock_guard lock(m_mutex);
    m_refuse = refuse;
}

void DeviceEnd::RefuseControlLines(bool dtr, bool rts) {
    std::lock_guard lock(m_mutex);
    m_refuseDtr = dtr;
    m_refuseRts = rts;
}

void DeviceEnd::FailWrites(int count) {
    std::lock_guard lock(m_mutex);
    const std::uint8_t n = static_cast<std::uint8_t>(std::clamp(count, 0, 255));
    if (!SendMessage(static_cast<std::uint8_t>(vline::DeviceMessage::WriteFault), &n, 1)) m_pendingWriteFaults = n;
}

void DeviceEnd::StallReading(bool stall) {
    std::lock_guard lock(m_mutex);
    m_stalled = stall;
    Wake();
}

void DeviceEnd::DropAt(DropPoint point) {
    std::lock_guard lock(m_mutex);
    m_dropAt = point;
}

// Only Run() closes the descriptors it polls; other threads shut them down
// or ask it to close them, so a descriptor number is never reused under poll().
void DeviceEnd::Drop() {
    std::lock_guard lock(m_mutex);
    if (m_connFd < 0) return;
    SayByeLocked();
    ::shutdown(m_connFd, SHUT_RDWR);  // Run() sees the end and closes it
}

void DeviceEnd::Unplug() {
    std::unique_lock lock(m_mutex);
    m_unplug = true;
    Wake();
    m_changed.wait(lock, [this] { return !m_unplug; });
}

bool DeviceEnd::Replug() {
    std::lock_guard lock(m_mutex);
    if (m_listenFd >= 0) return true;
    if (!Listen()) return false;
    Wake();
    return true;
}

}  // namespace trelvane
