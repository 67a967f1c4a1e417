// What the soak's clients were told about start numbers, checked against
// what the device end sent: every report names a frame that was sent, each
// frame at most once and in the order sent, none long after a newer frame
// was complete, and the last one names the last frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trelvane::bench {

// One frame as the device end sent it. Times are the monotonic clock in
// nanoseconds, which all processes of the machine share.
struct SentFrame {
    int number = 0;
    std::int64_t sentAt = 0;  // just before its fourth byte went out
    // When the driver had certainly taken the frame in: the acknowledge of a
    // later byte came back (empty for the last frame of a run).
    std::optional<std::int64_t> completeBy;
};

// A "number N T" line of a client.
struct Report {
    int number = 0;
    std::int64_t arrivedAt = 0;
};

struct ReportCheck {
    std::size_t reports = 0;
    std::vector<std::string> faults;  // the first few, worded
    std::size_t faultCount = 0;
    // How long before each report arrived a newer frame had been complete
    // (0 when none was), in microseconds.
    std::vector<double> lagUs;
    bool lastIsFinal = false;  // the last report names the last frame
};

// Reads the client's output lines: its "number" lines, and any "fault",
// "error" or "confirm-refused" line as a fault of the run (words added to
// *unexpected).
std::vector<Report> ReadReports(const std::vector<std::string>& lines, std::size_t from,
                                std::vector<std::string>* unexpected);

// Matches each report to the latest frame sent before it arrived that
// carries its number. A report whose matched frame had a newer one complete
// more than lagBound before it arrived is stale. (A report stale by an exact
// multiple of the numbers' cycle cannot be told apart; frames carry numbers
// that cycle through more values than a tick's worth of frames.)
ReportCheck CheckReports(const std::vector<SentFrame>& frames, const std::vector<Report>& reports,
                         std::int64_t lagBoundNs);

// Both clients were told the same numbers in the same order.
bool SameNumbers(const std::vector<Report>& a, const std::vector<Report>& b);

// The reports name exactly these numbers, each once, in this order; the
// first difference worded into *difference.
bool ExactlyThese(const std::vector<int>& numbers, const std::vector<Report>& reports, std::string* difference);

}  // namespace trelvane::bench
