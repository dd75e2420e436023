// The encrypted control channel end to end on loopback: the phone's DTLS client
// against the agent's DTLS server and input loop, in one process.
//  1. Round trips: "P <i>" lines one at a time, each waiting for its echo.
//  2. Sustained pointer moves: "M 1 0 <seq>" as fast as the client can send.
//  3. Paced pointer moves at fixed rates, to find where losses begin.
// mLost counts sequence gaps when the next move arrives, so moves lost at the very
// end of one phase show up in the next phase's mLost; "not handled" is exact.
// A plain program rather than a Google Benchmark fixture: each phase has its own
// figures (percentiles, drops) that do not fit the per-iteration model.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cursor_main.h"
#include "base/crypto.h"
#include "control/dtls_server.h"
#include "pairing/pairing.h"
#include "phone/dtls_client.h"
#include "platform/headless/headless_desktop.h"

namespace fs = std::filesystem;
using namespace vm;
using Steady = std::chrono::steady_clock;

namespace {

double secondsSince(Steady::time_point t0) {
    return std::chrono::duration<double>(Steady::now() - t0).count();
}

// The input side as the agent runs it, minus the rooms: the loop thread calls pass()
// until told to stop and counts every line the dispatcher would have been given.
struct Agent {
    fs::path dir = fs::temp_directory_path() / ("vm-bench-dtls-" + std::to_string(::getpid()));
    SystemClock clock;
    Logger log{(dir / "logs").string(), clock};
    platform::headless::HeadlessDesktop desktop{platform::Locations{}, platform::headless::Scene{}};
    HookTables hooks;
    CtlInbox inbox;
    PhoneState phone{clock.now()};
    CtlSender sender{phone, nullptr};
    PairStore store{PairStore::pathIn((dir / "support").string()), log};
    Pairing pairing{PairingDeps{clock, log, store, sender, hooks, [] {}}};
    SerialQueue ctlQueue{"local.umo.inputd.ctl"};
    DtlsServer server{clock, log, inbox, phone, ctlQueue, 0};
    std::unique_ptr<CursorMain> loop;

    std::atomic<long long> handled{0};
    std::atomic<long long> lostTotal{0};  // mLost summed over the loop's statistics windows
    std::atomic<bool> stop{false};
    std::thread thread;

    const Bytes key = randomBytes(32);
    const std::string identity = "bench." + pskTag(key);

    Agent() {
        store.insert(identity, PairRecord{"bench", key, clock.now()});
        CursorRooms rooms;
        rooms.handle = [this](const std::string&) { handled.fetch_add(1, std::memory_order_relaxed); };
        CursorDeps deps{clock, log, desktop, hooks, inbox, phone, sender, store, pairing};
        deps.dtls = &server;
        loop = std::make_unique<CursorMain>(deps, std::move(rooms));
        loop->ctlStartListener();
        thread = std::thread([this] {
            // The loop resets mLost with each one-second statistics line, before routing
            // the pass's message; adding the differences keeps a running total.
            int seen = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                loop->pass(0.05);
                const int now = loop->mLost();
                lostTotal.fetch_add(now >= seen ? now - seen : now, std::memory_order_relaxed);
                seen = now;
            }
        });
    }
    ~Agent() {
        stop = true;
        thread.join();
        loop.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // Waits until the loop has taken everything that is still arriving (no new line for 300 ms).
    void drain() {
        long long last = -1;
        auto quietSince = Steady::now();
        while (secondsSince(quietSince) < 0.3) {
            long long h = handled.load();
            if (h != last) {
                last = h;
                quietSince = Steady::now();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

void roundTrips(phone::DtlsClient& client, int count) {
    std::vector<double> us;
    us.reserve(static_cast<size_t>(count));
    int failed = 0;
    auto t0 = Steady::now();
    for (int i = 0; i < count; ++i) {
        const std::string line = "P " + std::to_string(i);
        auto s = Steady::now();
        if (!client.send(line)) {
            ++failed;
            continue;
        }
        auto r = client.receive(2.0);
        const double took = std::chrono::duration<double, std::micro>(Steady::now() - s).count();
        if (!r || toString(*r).rfind(line + " ", 0) != 0) {
            ++failed;
            continue;
        }
        us.push_back(took);
    }
    const double wall = secondsSince(t0);
    std::sort(us.begin(), us.end());
    std::printf("round trip \"P <i>\" -> echo: count %zu, failed %d, wall %.2f s\n", us.size(), failed, wall);
    std::printf("  median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n", percentile(us, 0.5),
                percentile(us, 0.9), percentile(us, 0.99), us.empty() ? 0.0 : us.back());
}

// Sends pointer moves with increasing sequence numbers. rate 0 = as fast as possible.
// Stops after `seconds` or `maxLines`, whichever comes first.
long long sendMoves(phone::DtlsClient& client, long long& seq, double rate, double seconds, long long maxLines,
                    double* sendSeconds) {
    long long sent = 0;
    auto t0 = Steady::now();
    for (;;) {
        const double el = secondsSince(t0);
        if (el >= seconds || sent >= maxLines) break;
        if (rate > 0) {
            // Send whatever is due by now, then nap: sleep granularity is far coarser than
            // the interval at the higher rates, so pacing holds on average, in small bursts.
            const long long due = static_cast<long long>(el * rate) + 1;
            if (sent >= due) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
        }
        if (client.send("M 1 0 " + std::to_string(++seq))) ++sent;
    }
    *sendSeconds = secondsSince(t0);
    return sent;
}

// Datagrams the kernel dropped for full UDP receive buffers, system-wide (Linux);
// -1 where the counter cannot be read. Tells losses at the socket apart from
// losses inside the server between its socket and the inbox.
long long udpRcvbufErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string header, values;
    while (std::getline(in, header) && std::getline(in, values)) {
        if (header.rfind("Udp:", 0) != 0) continue;
        std::istringstream h(header), v(values);
        std::string name, value;
        while (h >> name && v >> value)
            if (name == "RcvbufErrors") return std::stoll(value);
    }
    return -1;
}

struct Marks {
    long long handled, lost;
    size_t dropped;
    long long rcvbuf;
};
Marks marks(Agent& a) { return {a.handled.load(), a.lostTotal.load(), a.inbox.dropped(), udpRcvbufErrors()}; }
long long rcvbufDelta(const Marks& a, const Marks& b) { return a.rcvbuf < 0 || b.rcvbuf < 0 ? -1 : b.rcvbuf - a.rcvbuf; }
// Lines lost inside the server, between its socket and the inbox (its queue of
// datagrams waiting for the control queue): what neither counter explains.
long long serverDrops(long long missing, size_t inboxDropped, long long kernel) {
    return kernel < 0 ? -1 : missing - static_cast<long long>(inboxDropped) - kernel;
}

}  // namespace

int main() {
    const auto started = Steady::now();
    Agent agent;
    std::string err;
    auto client = phone::DtlsClient::connect("127.0.0.1", agent.server.boundPort(), agent.identity, agent.key, 5.0,
                                             &err);
    if (!client) {
        std::fprintf(stderr, "connect failed: %s\n", err.c_str());
        return 1;
    }
    client->send("ID bench");

    roundTrips(*client, 10'000);

    // Sustained, free-running.
    long long seq = 0;
    agent.drain();
    Marks m0 = marks(agent);
    double sendSeconds = 0;
    auto t0 = Steady::now();
    long long sent = sendMoves(*client, seq, 0, 3.0, 200'000, &sendSeconds);
    agent.drain();
    Marks m1 = marks(agent);
    // Handling time ends when the last line was taken, 0.3 s before drain() returned.
    const double handleSeconds = std::max(secondsSince(t0) - 0.3, sendSeconds);
    const long long got = m1.handled - m0.handled;
    std::printf("sustained one-way \"M 1 0 <seq>\", free-running:\n");
    std::printf("  sent %lld in %.2f s = %.0f lines/s; handled %lld in %.2f s = %.0f lines/s\n", sent, sendSeconds,
                static_cast<double>(sent) / sendSeconds, got, handleSeconds,
                static_cast<double>(got) / handleSeconds);
    std::printf("  inbox dropped %zu, mLost %lld, not handled %lld, kernel UDP receive-buffer drops %lld, "
                "server pending-queue drops %lld\n",
                m1.dropped - m0.dropped, m1.lost - m0.lost, sent - got, rcvbufDelta(m0, m1),
                serverDrops(sent - got, m1.dropped - m0.dropped, rcvbufDelta(m0, m1)));

    // Paced: the highest rate without loss.
    std::printf("paced one-way \"M 1 0 <seq>\", 2 s per rate:\n");
    double best = 0;
    for (double rate : {1'000.0, 5'000.0, 10'000.0, 20'000.0, 50'000.0, 100'000.0}) {
        Marks a = marks(agent);
        long long s = sendMoves(*client, seq, rate, 2.0, 1LL << 40, &sendSeconds);
        agent.drain();
        Marks b = marks(agent);
        const size_t dropped = b.dropped - a.dropped;
        const long long lost = b.lost - a.lost;
        const long long missing = s - (b.handled - a.handled);
        std::printf("  target %6.0f/s: sent %lld (%.0f/s), handled %lld, inbox dropped %zu, mLost %lld, not handled %lld, "
                    "kernel drops %lld, server drops %lld\n",
                    rate, s, static_cast<double>(s) / sendSeconds, b.handled - a.handled, dropped, lost, missing,
                    rcvbufDelta(a, b), serverDrops(missing, dropped, rcvbufDelta(a, b)));
        if (dropped == 0 && missing == 0) best = std::max(best, rate);
    }
    std::printf("  highest paced rate with no loss: %.0f lines/s\n", best);

    client->close();
    std::printf("total run time %.1f s\n", secondsSince(started));
    return 0;
}
