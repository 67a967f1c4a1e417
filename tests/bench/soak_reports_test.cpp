#include "bench/soak_reports.h"

#include <gtest/gtest.h>

namespace trelvane::bench {
namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kTick = 250 * kMs;

// Frames every millisecond from t = 1 ms, carrying numbers that cycle
// through cycle values; each complete 0.1 ms after its fourth byte.
std::vector<SentFrame> Frames(int count, int cycle) {
    std::vector<SentFrame> frames;
    for (int k = 0; k < count; ++k) frames.push_back({k % cycle, (k + 1) * kMs, std::nullopt});
    for (int k = 0; k + 1 < count; ++k) frames[k].completeBy = frames[k].sentAt + kMs / 10;
    return frames;
}

// What a tick at time t reports: the latest frame complete by then,
// arriving delay later.
Report Tick(const std::vector<SentFrame>& frames, std::int64_t t, std::int64_t delay = kMs / 2) {
    const SentFrame* latest = nullptr;
    for (const auto& frame : frames)
        if (frame.sentAt + kMs / 10 <= t) latest = &frame;
    return {latest->number, t + delay};
}

TEST(SoakReports, ReportsOfTheLatestFrameAtEachTickHold) {
    const auto frames = Frames(1000, 300);  // numbers repeat within the run
    std::vector<Report> reports;
    for (std::int64_t t = 100 * kMs; t < 1000 * kMs; t += kTick) reports.push_back(Tick(frames, t));
    reports.push_back({frames.back().number, 1001 * kMs + kTick});
    const ReportCheck check = CheckReports(frames, reports, kTick);
    EXPECT_EQ(check.faultCount, 0u) << (check.faults.empty() ? "" : check.faults.front());
    EXPECT_EQ(check.reports, reports.size());
    EXPECT_TRUE(check.lastIsFinal);
    ASSERT_EQ(check.lagUs.size(), reports.size());
    for (std::size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_LT(check.lagUs[i], 1000.0);
}

TEST(SoakReports, WrongReportsAreEachCaught) {
    const auto frames = Frames(1000, 300);
    const Report good = Tick(frames, 100 * kMs);
    struct Case {
        const char* what;
        std::vector<Report> reports;
    };
    const Case cases[] = {
        {"a number no frame carried", {good, {400, 300 * kMs}}},
        {"a number before its frame was sent", {{good.number + 50, good.arrivedAt}}},
        {"the same frame twice", {good, {good.number, good.arrivedAt + kTick}}},
        {"an older frame after a newer one", {Tick(frames, 200 * kMs), {good.number, 210 * kMs}}},
        {"a frame reported long after a newer one was complete", {{good.number, good.arrivedAt + 280 * kMs}}},
    };
    for (const Case& c : cases) {
        const ReportCheck check = CheckReports(frames, c.reports, kTick);
        EXPECT_EQ(check.faultCount, 1u) << c.what;
        EXPECT_EQ(check.faults.size(), 1u) << c.what;
        EXPECT_FALSE(check.lastIsFinal) << c.what;
    }
    // Many wrong reports: all counted, the first few worded.
    std::vector<Report> unknown(20, Report{400, 999 * kMs});
    const ReportCheck many = CheckReports(frames, unknown, kTick);
    EXPECT_EQ(many.faultCount, 20u);
    EXPECT_LT(many.faults.size(), 20u);
}

TEST(SoakReports, AReportNamesTheLatestFrameSentBeforeItArrivedWithItsNumber) {
    const auto frames = Frames(1000, 300);  // number 5: frames 5, 305, 605, 905
    const Report at305{5, 306 * kMs + kMs / 2}, at605{5, 606 * kMs + kMs / 2}, before905{5, 800 * kMs};
    EXPECT_EQ(CheckReports(frames, {at305, at605}, 1000 * kMs).faultCount, 0u);
    // Frame 605 again, and frame 305 after 605: each a frame gone back to.
    EXPECT_EQ(CheckReports(frames, {at605, before905}, 1000 * kMs).faultCount, 1u);
    EXPECT_EQ(CheckReports(frames, {at605, at305}, 1000 * kMs).faultCount, 1u);
    // The last frame, sent twice over in the cycle, is still the final one.
    const ReportCheck final = CheckReports(frames, {{frames.back().number, 2000 * kMs}}, 1000 * kMs);
    EXPECT_TRUE(final.lastIsFinal);
    EXPECT_EQ(final.faultCount, 0u);
    // The last frame has no completion time: a report of it is never stale.
    EXPECT_EQ(final.lagUs, std::vector<double>{0.0});
}

TEST(SoakReports, ClientLinesAndPacedNumbers) {
    std::vector<std::string> unexpected;
    const auto reports =
        ReadReports({"ready", "number 7 100", "open 0x00000000 0", "counts 1 2 3 4 5", "fault 3 200", "number 8 300",
                     "error 'Acknowledge': gone", "number x", "confirm-refused 8 0x00000001"},
                    1, &unexpected);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].number, 7);
    EXPECT_EQ(reports[0].arrivedAt, 100);
    EXPECT_EQ(reports[1].number, 8);
    EXPECT_EQ(unexpected.size(), 4u);  // the fault, the error, the broken line, the refusal
    EXPECT_TRUE(ReadReports({"number 1 1"}, 1, &unexpected).empty());

    std::string difference;
    EXPECT_TRUE(ExactlyThese({7, 8}, reports, &difference));
    EXPECT_FALSE(ExactlyThese({7, 9}, reports, &difference));
    EXPECT_EQ(difference, "report 1 is 8, sent 9");
    EXPECT_FALSE(ExactlyThese({7}, reports, &difference));
    EXPECT_FALSE(ExactlyThese({7, 8, 9}, reports, &difference));
    EXPECT_EQ(difference, "2 reports of 3 frames");

    EXPECT_TRUE(SameNumbers(reports, {{7, 1000}, {8, 2000}}));
    EXPECT_FALSE(SameNumbers(reports, {{7, 1000}}));
    EXPECT_FALSE(SameNumbers(reports, {{8, 1000}, {7, 2000}}));
}

}  // namespace
}  // namespace trelvane::bench
