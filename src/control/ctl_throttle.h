#pragma once
// Log lines that a stranger on the network can cause: the first one goes out, the
// rest within the period are only counted and reported with the next one that does.
// A flood then costs the log one line per period, never one per datagram.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace vm {

class LogThrottle {
public:
    explicit LogThrottle(double periodSeconds) : period_(periodSeconds) {}

    // Counts `events` (one by default) at `now`. When a line may go out, returns how
    // many events it stands for (these and those held back since the last line); else nothing.
    std::optional<size_t> tick(double now, size_t events = 1) {
        count_ += events;
        if (loggedAt_ && now - *loggedAt_ < period_) return std::nullopt;
        loggedAt_ = now;
        size_t n = count_;
        count_ = 0;
        return n;
    }

private:
    double period_;
    std::optional<double> loggedAt_;
    size_t count_ = 0;
};

// A token bucket: `burst` events at once, then `perSecond` on average.
class RateBucket {
public:
    RateBucket(double burst, double perSecond) : burst_(burst), rate_(perSecond), tokens_(burst) {}

    // Takes one token at `now`; false when none is left.
    bool take(double now) {
        refill(now);
        if (tokens_ < 1.0) return false;
        tokens_ -= 1.0;
        return true;
    }
    // Whether the bucket has filled up again by `now`, i.e. it remembers nothing.
    bool full(double now) const { return tokens_ + std::max(0.0, now - at_) * rate_ >= burst_; }
    double lastAt() const { return at_; }

private:
    void refill(double now) {
        if (now > at_) tokens_ = std::min(burst_, tokens_ + (now - at_) * rate_);
        at_ = now;
    }

    double burst_, rate_, tokens_;
    double at_ = 0;
};

// One RateBucket per source. At most `maxSources` are remembered: a full table first
// forgets the buckets that filled up again, then the one idle longest.
class SourceBudget {
public:
    SourceBudget(double burst, double perSecond, size_t maxSources)
        : burst_(burst), rate_(perSecond), max_(maxSources) {}

    bool take(uint64_t source, double now) {
        auto it = buckets_.find(source);
        if (it == buckets_.end()) {
            if (buckets_.size() >= max_) makeRoom(now);
            it = buckets_.emplace(source, RateBucket(burst_, rate_)).first;
        }
        return it->second.take(now);
    }
    size_t size() const { return buckets_.size(); }

private:
    void makeRoom(double now) {
        std::erase_if(buckets_, [now](const auto& e) { return e.second.full(now); });
        if (buckets_.size() < max_) return;
        auto oldest = std::min_element(buckets_.begin(), buckets_.end(), [](const auto& a, const auto& b) {
            return a.second.lastAt() < b.second.lastAt();
        });
        buckets_.erase(oldest);
    }

    double burst_, rate_;
    size_t max_;
    std::unordered_map<uint64_t, RateBucket> buckets_;
};

}  // namespace vm
