// Median and 99th percentile of a sample, printed side by side.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace trelvane::bench {

// Measurements are taken in this many interleaved rounds.
constexpr int kRounds = 10;

// The time of each of count runs of f, in microseconds.
template <class F>
std::vector<double> TimeEach(int count, F f) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return times;
}

inline void Append(std::vector<double>& to, const std::vector<double>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

inline double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
    return values[index];
}

inline void PrintRow(const char* name, const std::vector<double>& us, const std::vector<double>* baseline = nullptr,
                     const char* baselineName = "raw echo") {
    const double median = Percentile(us, 0.5), p99 = Percentile(us, 0.99);
    std::printf("%-44s n=%-6zu median %8.1f us   p99 %8.1f us", name, us.size(), median, p99);
    if (baseline && !baseline->empty())
        std::printf("   (%.2fx / %.2fx of %s)", median / Percentile(*baseline, 0.5), p99 / Percentile(*baseline, 0.99),
                    baselineName);
    std::printf("\n");
}

}  // namespace trelvane::bench
