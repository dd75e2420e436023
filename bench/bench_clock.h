#pragma once
// Clock readings and percentiles, as the benchmark programs take and print them.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace vm::bench {

using Steady = std::chrono::steady_clock;

// CLOCK_MONOTONIC in µs: the clock capture samples carry their pts in.
inline int64_t monotonicMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}
inline int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}
inline double secondsSince(Steady::time_point t0) { return std::chrono::duration<double>(Steady::now() - t0).count(); }

inline double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * double(v.size() - 1) + 0.5))];
}

}  // namespace vm::bench
