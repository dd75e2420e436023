#pragma once
// Time sources. Everything that compares times reads them through a Clock so
// that tests can drive time by hand.
#include <atomic>
#include <cstdint>

namespace vm {

// Seconds between 1970-01-01 and the reference date 2001-01-01 (UTC).
inline constexpr double kReferenceDateOffset = 978307200.0;

class Clock {
public:
    virtual ~Clock() = default;
    // Wall time, seconds since 1970 (fractional).
    virtual double now() const = 0;
    // Monotonic seconds from an arbitrary origin; never goes backwards.
    virtual double monotonic() const = 0;
    // Wall time, seconds since the reference date 2001-01-01.
    double referenceNow() const { return now() - kReferenceDateOffset; }
    // Whole microseconds since 1970.
    uint64_t nowMicros() const;
    // Pauses the calling thread (the fake clock only moves its time on).
    virtual void sleep(double seconds) const = 0;
};

class SystemClock final : public Clock {
public:
    double now() const override;
    double monotonic() const override;
    void sleep(double seconds) const override;
};

// A clock that only moves when told to. Both time lines advance together.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double start = 1'800'000'000.0) : wall_(start), mono_(1000.0) {}
    double now() const override { return wall_.load(); }
    double monotonic() const override { return mono_.load(); }
    // Safe from several threads at once: a sleep on one thread never swallows another's.
    void advance(double seconds) {
        add(wall_, seconds);
        add(mono_, seconds);
    }
    void set(double wallSeconds) { wall_.store(wallSeconds); }
    void sleep(double seconds) const override {
        if (seconds > 0) const_cast<FakeClock*>(this)->advance(seconds);
    }

private:
    static void add(std::atomic<double>& a, double v) {
        double cur = a.load();
        while (!a.compare_exchange_weak(cur, cur + v)) {
        }
    }
    std::atomic<double> wall_;
    std::atomic<double> mono_;
};

}  // namespace vm
