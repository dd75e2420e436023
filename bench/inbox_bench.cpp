// The control inbox under load: three producers (the encrypted channel, the plain
// port, local control) pushing pointer-move sized messages to the one input thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "control/ctl_inbox.h"

namespace {

constexpr int kProducers = 3;

// Each iteration: every producer pushes `perProducer` messages as fast as it can;
// the consumer pops until all of them have arrived or were dropped for a full inbox.
void runRound(int perProducer, bool pace, int64_t& delivered, int64_t& dropped) {
    vm::CtlInbox inbox;
    std::atomic<int> producing{kProducers};
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    producers.reserve(kProducers);
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            while (!go.load(std::memory_order_acquire)) {
            }
            for (int i = 0; i < perProducer; ++i) {
                // Paced producers wait for room, as a sender that backs off would; the
                // free-running ones show how much a burst loses to the cap.
                if (pace)
                    while (inbox.size() >= vm::CtlInbox::kCap) std::this_thread::yield();
                vm::CtlMsg m;
                m.bytes = {'M', ' ', '1', '2', ' ', '-', '3', '\n'};
                inbox.push(std::move(m));
            }
            producing.fetch_sub(1, std::memory_order_release);
        });
    }
    go.store(true, std::memory_order_release);
    int64_t got = 0;
    for (;;) {
        auto m = inbox.pop(0.05);
        if (m) {
            benchmark::DoNotOptimize(m->bytes.data());
            ++got;
            continue;
        }
        if (producing.load(std::memory_order_acquire) == 0 && inbox.size() == 0) break;
    }
    for (auto& t : producers) t.join();
    delivered += got;
    dropped += static_cast<int64_t>(inbox.dropped());
}

void BM_InboxThreeProducersOneConsumer(benchmark::State& state) {
    const int perProducer = static_cast<int>(state.range(0));
    const bool pace = state.range(1) != 0;
    int64_t delivered = 0, dropped = 0;
    for (auto _ : state) runRound(perProducer, pace, delivered, dropped);
    const double d = static_cast<double>(delivered);
    state.counters["msgs_per_s"] = benchmark::Counter(d, benchmark::Counter::kIsRate);
    // Inverted rate of a billionth of the count: nanoseconds of wall time per delivered message.
    state.counters["ns_per_msg"] =
        benchmark::Counter(d * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["dropped_pct"] =
        benchmark::Counter(100.0 * static_cast<double>(dropped) / static_cast<double>(delivered + dropped));
}

BENCHMARK(BM_InboxThreeProducersOneConsumer)
    ->ArgNames({"per_producer", "paced"})
    ->Args({20000, 1})
    ->Args({20000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The uncontended cost of one message through the inbox, for comparison.
void BM_InboxPushPopOneThread(benchmark::State& state) {
    vm::CtlInbox inbox;
    int64_t n = 0;
    for (auto _ : state) {
        vm::CtlMsg m;
        m.bytes = {'M', ' ', '1', '2', ' ', '-', '3', '\n'};
        inbox.push(std::move(m));
        auto out = inbox.pop(1.0);
        benchmark::DoNotOptimize(out);
        ++n;
    }
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_InboxPushPopOneThread);

}  // namespace

BENCHMARK_MAIN();
