// A serial driver in software, put below the real-port backend through its
// ioctl seam. Line settings and exclusive use go through to the device (a
// pseudo-terminal); the modem lines, their wait, the counters, a rate that
// the adapter quietly changes and failures of any call are played here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace trelvane::testing {

class FakeSerialDriver {
public:
    // Modem lines as TIOCM_ bits.
    static const int kCts, kDsr, kCar, kRng, kDtr, kRts;
    // Requests, for Fail().
    static const unsigned long kGetState, kSetState, kExclusive, kGetLines, kSetLines, kClearLines, kWaitLines,
        kCounters;

    FakeSerialDriver();   // routes the backend's ioctls here; one at a time
    ~FakeSerialDriver();  // and back to the kernel
    FakeSerialDriver(const FakeSerialDriver&) = delete;
    FakeSerialDriver& operator=(const FakeSerialDriver&) = delete;

    // Without modem lines (the default, as a pseudo-terminal) their calls
    // fail with ENOTTY; the same for the counters.
    void HaveModemLines(bool have);
    void HaveCounters(bool have);
    // The device drives CTS, DSR, CAR and RNG to these states; each line
    // that changes counts once.
    void SetLines(int bits);
    // A line that changes and changes back before anyone looks.
    void Bounce(int bit);
    // The lines change right as the next wait begins, before it takes its
    // snapshot of the counters: a change the wait itself cannot see.
    void SetLinesAtNextWait(int bits);
    void CountLineErrors(int frame, int overrun, int parity, int breaks);
    // Every TCGETS2 reads this rate back, as an adapter that cannot run
    // another one (0: what was set).
    void ReadBackRate(std::uint32_t baud);
    // Calls of request fail with error, from the one after the next `after`
    // calls on.
    void Fail(unsigned long request, int error, int after = 0);
    int ControlLines() const;  // DTR and RTS as the port drives them
    int WaitsEntered() const;
    int Calls(unsigned long request) const;  // made so far

private:
    struct Counters {
        int cts = 0, dsr = 0, car = 0, rng = 0, frame = 0, overrun = 0, parity = 0, brk = 0;
    };
    struct Failure {
        int error;
        int after;
    };
    static int Call(int fd, unsigned long request, void* argument);
    int Handle(int fd, unsigned long request, void* argument);
    int WaitForChange(long mask);
    void ChangeLinesLocked(int bits);
    void WakeWaiterLocked();
    bool FailsLocked(unsigned long request, int* error);

    mutable std::mutex m_mutex;
    int m_wake = -1;  // an eventfd: the wait sleeps in poll(), which a signal interrupts
    bool m_modemLines = false;
    bool m_counted = false;
    int m_lines = 0;
    int m_control = 0;
    int m_linesAtNextWait = -1;
    int m_waits = 0;
    std::uint32_t m_rate = 0;
    Counters m_counters;
    std::map<unsigned long, Failure> m_failures;
    std::map<unsigned long, int> m_calls;
};

}  // namespace trelvane::testing
