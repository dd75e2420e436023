#pragma once
// The counters the 2-second statistics lines read and reset. Capture, encoder
// and sender count from their own threads; relaxed atomics keep that free of
// data races (a count landing between a read and its reset is simply lost).
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

namespace vm::video {

struct VideoStats {
    // capture
    std::atomic<int64_t> capCB{0};
    std::atomic<double> capHandlerMS{0};
    std::atomic<int64_t> capPix{0};
    std::atomic<int64_t> skippedFrames{0};
    std::atomic<double> capGapMS{0};
    std::atomic<int64_t> capGapCount{0};
    std::mutex capStatusLock;
    std::map<int, int64_t> capStatus;  // under capStatusLock
    // encoder
    std::atomic<double> encMS{0};
    std::atomic<int64_t> encCount{0};
    std::atomic<double> encKeyMS{0};  // the key frames among them
    std::atomic<int64_t> encKeyCount{0};
    std::atomic<int> levelNow{0};
    std::atomic<int64_t> dropRate{0};
    // Pictures dropped because the encoder was still busy with the previous one; apart
    // from the pacing drops in dropRate, never reset (benchmarks and tests read it).
    std::atomic<int64_t> encBusy{0};
    std::atomic<int64_t> encSubmit{0};
    std::atomic<int64_t> encDone{0};
    std::atomic<int64_t> encCallErrN{0};
    std::atomic<int32_t> encCallErrLast{0};
    std::atomic<int64_t> encCbErrN{0};
    std::atomic<int32_t> encCbErrLast{0};
    std::atomic<int64_t> emitNoData{0};
    // sender
    std::atomic<double> sendMS{0};
    std::atomic<int64_t> sendCount{0};
    std::atomic<int64_t> fragSum{0};

    static void add(std::atomic<double>& a, double v) {
        double cur = a.load(std::memory_order_relaxed);
        while (!a.compare_exchange_weak(cur, cur + v, std::memory_order_relaxed)) {
        }
    }
    void countStatus(int status) {
        std::lock_guard<std::mutex> g(capStatusLock);
        ++capStatus[status];
    }
};

}  // namespace vm::video
