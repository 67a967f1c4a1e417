// The device end of the virtual line: a start post (or any serial device) in
// software. It listens on a Unix socket linked as dosdevices/comN, accepts the
// driver's port, and lets its owner send bytes, drive CTS/DSR/RLSD/RI, raise
// line errors, watch DTR/RTS and the line settings, see every byte the driver
// writes, and unplug and replug the device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/vline_codec.h"

namespace trelvane {

class DeviceEnd {
public:
    using LineSettings = vline::LineSettings;
    using Millis = std::chrono::milliseconds;
    // Where the device end pulls the cable by itself (once), for DropAt.
    enum class DropPoint {
        Never,
        SettingsRequest,  // instead of answering the next line-settings request
        SettingsReply,    // right after answering it: the driver learns both at once
    };

    // What the driver does on the line, in the order it does it, for a
    // program that shows it.
    struct Observation {
        enum class Kind { Connected, Refused, Disconnected, Data, Lines, Settings };
        Kind kind;
        std::vector<std::uint8_t> data{};  // Data: the bytes the driver wrote
        std::uint8_t lines = 0;            // Lines: the new DTR, RTS and break bits
        LineSettings settings{};           // Settings: as the driver asked for them
        bool accepted = true;              // Settings: whether they were taken
    };
    // Runs on the device end's thread with its lock held, so it must not call
    // back into the device end.
    using Observer = std::function<void(const Observation&)>;

    // Listens at <home>/run/vline-com<N>.sock and links <home>/dosdevices/com<N>
    // to it. Returns null with *error set when that fails.
    static std::unique_ptr<DeviceEnd> Create(const std::string& home, int comNumber, std::string* error = nullptr,
                                             Observer observer = {});
    ~DeviceEnd();
    DeviceEnd(const DeviceEnd&) = delete;
    DeviceEnd& operator=(const DeviceEnd&) = delete;

    bool WaitConnected(Millis timeout);
    bool WaitDisconnected(Millis timeout);
    bool Connected() const;
    int Connections() const;  // driver connections accepted so far

    // Device to driver. Each returns false when no driver is connected.
    bool Send(const std::vector<std::uint8_t>& bytes);
    bool SendByte(std::uint8_t byte) { return Send({byte}); }
    bool RaiseLineError(vline::LineErrorKind kind);
    // Modem lines change together in one message; the state is kept while
    // nothing is connected and greets the next connection.
    bool SetModemLines(bool cts, bool dsr, bool rlsd, bool ring = false);
    bool SetCts(bool on);
    bool SetDsr(bool on);
    bool SetRlsd(bool on);

    // Driver to device.
    bool Dtr() const;
    bool Rts() const;
    bool BreakOn() const;
    LineSettings Settings() const;
    // Waits until pred(dtr, rts) holds.
    bool WaitLines(const std::function<bool(bool dtr, bool rts)>& pred, Millis timeout);
    std::optional<std::uint8_t> ReadByte(Millis timeout);
    std::vector<std::uint8_t> ReadBytes(std::size_t count, Millis timeout);
    std::vector<std::uint8_t> TakeReceived();
    // Called on the device end's thread for every byte the driver writes, as
    // it arrives (for latency measurements), with the time the device end's
    // wait for it returned; bytes then also queue as usual.
    using ByteHook = std::function<void(std::uint8_t byte, std::chrono::steady_clock::time_point arrived)>;
    void SetByteHook(ByteHook hook);
    // Answer further line-setting requests with a refusal.
    void RefuseSettings(bool refuse);

    // Fault injection.
    // Refuse line-setting requests that would change DTR or RTS.
    void RefuseControlLines(bool dtr, bool rts);
    // The driver's next count writes fail (the driver's side reports an I/O
    // device error). Sent now, or right after the greeting of the next
    // connection when none is open.
    void FailWrites(int count);
    // Stop taking bytes from the driver: once the connection's buffer is
    // full, the driver's writes wait. Bytes the device sends still go out.
    void StallReading(bool stall);
    void DropAt(DropPoint point);

    // Unplug: drop the connection and stop listening, so opens fail. Replug:
    // listen again.
    void Unplug();
    bool Replug();
    // Drop the current connection only (the device stays reachable).
    void Drop();

private:
    DeviceEnd(std::string socketPath, std::string linkPath);
    bool Listen();
    void Run();
    void Accept();
    // Takes in one read of the connection (which the wait saw ready at
    // `arrived`); false once it is empty or ended.
    bool Receive(std::chrono::steady_clock::time_point arrived);
    void HandleMessage(const vline::Message& message);
    bool SendMessage(std::uint8_t type, const std::uint8_t* payload, std::size_t length);
    void DropLocked();
    void SayByeLocked();
    void HandleSettings(const vline::SettingsRequest& request);
    void Wake();
    void Observe(const Observation& observation) const;

    const std::string m_socketPath;
    const std::string m_linkPath;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_listenFd = -1;
    int m_connFd = -1;
    int m_wakePipe[2] = {-1, -1};
    bool m_stop = false;
    bool m_unplug = false;
    int m_connections = 0;
    std::uint8_t m_modem = 0;
    std::uint8_t m_lines = 0;
    LineSettings m_settings{9600, 8, 0, 0};
    bool m_refuse = false;
    bool m_refuseDtr = false;
    bool m_refuseRts = false;
    int m_pendingWriteFaults = 0;  // for the next connection
    bool m_stalled = false;
    DropPoint m_dropAt = DropPoint::Never;
    std::deque<std::uint8_t> m_received;
    vline::MessageReader m_reader;  // what the driver sent, not yet handled
    ByteHook m_hook;
    Observer m_observer;  // set before the thread starts, never changed
    std::thread m_thread;
};

}  // namespace trelvane
