// The simulated start post: the device end of a virtual line, what it shows of
// the driver, and the commands that play the device (simulator_commands.cpp).
//
// Three threads meet here. The device end's thread reports what the driver
// does (the observer only queues it); the simulator's own thread names it,
// shows it, and answers battery tests on time; the session's thread carries
// out commands and waits for what the driver sends. m_mutex guards the shared
// state and is never held while calling into the device end, whose lock is
// held while the observer runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tools/device_end/device_end.h"
#include "tools/sim/battery.h"
#include "tools/sim/commands.h"
#include "tools/sim/driver_traffic.h"
#include "tools/sim/output.h"

namespace trelvane::sim {

class Simulator {
public:
    // Serves COM<port> under home. Null with *error set when that fails.
    static std::unique_ptr<Simulator> Create(const std::string& home, int port, Output& output, std::string* error);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    Outcome Execute(const Command& command);
    // Ends the waits of Execute at once and every later one; from any thread.
    void RequestStop();
    bool StopRequested();

private:
    using SteadyTime = std::chrono::steady_clock::time_point;
    struct Inbound {
        std::uint64_t sequence;  // in the order the device end saw it
        trelvane::DeviceEnd::Observation observation;
        std::chrono::system_clock::time_point time;
        SteadyTime steady;
    };
    struct Answer {
        PostId post;
        double volts;
        std::chrono::microseconds delay;
        SteadyTime due;
    };

    Simulator(Output& output, std::string link);
    void Observe(const trelvane::DeviceEnd::Observation& observation);
    void Run();
    std::vector<tools::Record> NameLocked(const Inbound& inbound);
    void AnswerBatteryTestLocked(std::uint8_t previousLines, std::uint8_t lines, SteadyTime when);
    void GiveAnswer(const Answer& answer);
    void Publish(std::uint64_t sequence, std::vector<tools::Record> records);
    void RememberLocked(std::uint64_t sequence, std::vector<tools::Record> records);
    std::optional<tools::Record> WaitForEvent(const std::function<bool(const tools::Record&)>& match,
                                              std::chrono::milliseconds timeout, std::uint64_t after = 0);
    std::uint64_t LastEvent();
    int NoteSent(std::uint8_t byte, const std::optional<FrameName>& name);

    Outcome SendFrame(const Command& command);
    Outcome SendRaw(const Command& command);
    Outcome ChangeLine(std::uint8_t bit, LineChange change);
    Outcome SetBattery(const Command& command);
    Outcome Unplug();
    Outcome Replug();
    Outcome Wait(std::chrono::milliseconds duration);
    Outcome Expect(const Command& command);
    Outcome Status();
    // Changes one modem line and shows it (without a driver, the state greets
    // the next one).
    void SetModemLine(std::uint8_t bit, LineChange change, const std::function<tools::Record(bool on)>& describe);
    void SendModemLines(std::uint8_t bits);  // as one change; kept for the next driver when none is connected
    void Show(const tools::Record& record);

    Output& m_output;
    const std::string m_link;
    std::unique_ptr<trelvane::DeviceEnd> m_device;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Inbound> m_inbox;  // from the observer, not yet named
    DriverTraffic m_traffic;
    struct Event {
        std::uint64_t sequence;
        tools::Record record;
    };
    std::deque<Event> m_events;        // what the driver did, not yet matched by a wait
    std::uint64_t m_lastSequence = 0;  // of what the device end reported, and of battery answers
    std::optional<Answer> m_answer;    // the battery answer due
    std::optional<double> m_volts[2] = {kDefaultBatteryVolts, kDefaultBatteryVolts};  // per PostId; empty: no answer
    bool m_stopping = false;
    bool m_ending = false;  // the simulator's thread is to end
    bool m_naming = false;  // the thread is showing what it took from the inbox

    std::mutex m_linesMutex;               // serialises modem-line changes
    std::atomic<std::uint8_t> m_modem{0};  // CTS, DSR, RLSD as last set (vline bits)

    std::thread m_thread;
};

}  // namespace trelvane::sim
