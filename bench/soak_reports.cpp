#include "bench/soak_reports.h"

#include <algorithm>
#include <sstream>

namespace trelvane::bench {
namespace {

constexpr std::size_t kFaultsWorded = 5;

void AddFault(ReportCheck& check, const std::string& text) {
    if (check.faults.size() < kFaultsWorded) check.faults.push_back(text);
    ++check.faultCount;
}

// The latest frame carrying number that was sent before the time, or -1.
long LatestSent(const std::vector<SentFrame>& frames, int number, std::int64_t before) {
    auto end = std::partition_point(frames.begin(), frames.end(),
                                    [before](const SentFrame& frame) { return frame.sentAt < before; });
    for (auto it = end; it != frames.begin();) {
        --it;
        if (it->number == number) return static_cast<long>(it - frames.begin());
    }
    return -1;
}

}  // namespace

std::vector<Report> ReadReports(const std::vector<std::string>& lines, std::size_t from,
                                std::vector<std::string>* unexpected) {
    std::vector<Report> reports;
    for (std::size_t i = from; i < lines.size(); ++i) {
        std::istringstream in(lines[i]);
        std::string word;
        in >> word;
        if (word == "number") {
            Report report;
            long long at = 0;
            if (in >> report.number >> at) {
                report.arrivedAt = at;
                reports.push_back(report);
            } else {
                unexpected->push_back(lines[i]);
            }
        } else if (word == "fault" || word == "error" || word == "confirm-refused") {
            unexpected->push_back(lines[i]);
        }
    }
    return reports;
}

ReportCheck CheckReports(const std::vector<SentFrame>& frames, const std::vector<Report>& reports,
                         std::int64_t lagBoundNs) {
    ReportCheck check;
    check.reports = reports.size();
    long previous = -1;
    for (const Report& report : reports) {
        const long k = LatestSent(frames, report.number, report.arrivedAt);
        if (k < 0) {
            AddFault(check, "number " + std::to_string(report.number) + " reported, but no frame sent carried it");
            continue;
        }
        if (k <= previous) {
            AddFault(check, "frame " + std::to_string(k) + " (number " + std::to_string(report.number) +
                                ") reported after frame " + std::to_string(previous));
            continue;
        }
        previous = k;
        double lag = 0;
        const std::size_t newer = static_cast<std::size_t>(k) + 1;
        if (newer < frames.size() && frames[newer].completeBy && *frames[newer].completeBy < report.arrivedAt)
            lag = static_cast<double>(report.arrivedAt - *frames[newer].completeBy);
        check.lagUs.push_back(lag / 1e3);
        if (lag > static_cast<double>(lagBoundNs))
            AddFault(check, "frame " + std::to_string(k) + " (number " + std::to_string(report.number) + ") reported " +
                                std::to_string(static_cast<long long>(lag / 1e6)) +
                                " ms after a newer frame was complete");
    }
    check.lastIsFinal = !frames.empty() && previous == static_cast<long>(frames.size()) - 1;
    return check;
}

bool SameNumbers(const std::vector<Report>& a, const std::vector<Report>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Report& x, const Report& y) { return x.number == y.number; });
}

bool ExactlyThese(const std::vector<int>& numbers, const std::vector<Report>& reports, std::string* difference) {
    const std::size_t common = std::min(numbers.size(), reports.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (numbers[i] != reports[i].number) {
            *difference = "report " + std::to_string(i) + " is " + std::to_string(reports[i].number) + ", sent " +
                          std::to_string(numbers[i]);
            return false;
        }
    }
    if (numbers.size() == reports.size()) return true;
    *difference = std::to_string(reports.size()) + " reports of " + std::to_string(numbers.size()) + " frames";
    return false;
}

}  // namespace trelvane::bench
