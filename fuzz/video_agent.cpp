// What the agent's video side receives: video control lines ("H port", "I", "F n",
// "N seq i …", "Q level", passed on without their "V") from two phones, and datagrams
// on the video socket (punches "VP key secs auth" and anything else) from one phone at
// two ports. The input is cut into pieces at 0xFF; the first byte of each says which
// (its value modulo 4). "@KEY@", "@NOW@" and "@AUTH@" stand for the key number, the
// current seconds and the punch's real authenticator, so punches can be accepted.
//
// The process moves into a network namespace of its own where it can, so whatever the
// sender answers (parameter sets, resends) goes nowhere; without one nothing is sent.
#include <sched.h>

#include <atomic>

#include "base/crypto.h"
#include "base/settings.h"
#include "fuzz/rig.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"
#include "video/video_wire.h"

using namespace vm;

namespace {

constexpr uint32_t kPhoneA = 0x7F4D0001, kPhoneB = 0x7F4D0002;  // 127.77.0.1, 127.77.0.2

sockaddr_in from(uint32_t host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(host);
    return a;
}

// The third field of a punch after "VP" and the key number, as text.
std::string punchSeconds(const std::string& text) {
    std::vector<std::string> f;
    size_t i = 0;
    while (i < text.size() && f.size() < 3) {
        while (i < text.size() && text[i] == ' ') ++i;
        size_t j = i;
        while (j < text.size() && text[j] != ' ') ++j;
        if (j > i) f.push_back(text.substr(i, j - i));
        i = j;
    }
    return f.size() == 3 ? f[2] : std::string();
}

void expand(std::string& s, video::VideoKey& key, double now) {
    if (s.find('@') == std::string::npos) return;
    auto pair = key.current();
    fuzz::replaceAll(s, "@KEY@", std::to_string(pair->id));
    fuzz::replaceAll(s, "@NOW@", std::to_string(static_cast<long long>(now)));
    if (s.find("@AUTH@") != std::string::npos)
        fuzz::replaceAll(s, "@AUTH@", base64Encode(hmacSha256(pair->key, toBytes("VP " + punchSeconds(s)))));
}

struct Video {
    fuzz::World& world = fuzz::World::get();
    video::VideoKey key{world.log};
    video::VideoStats stats;
    std::atomic<bool> allowed{true};
    const std::string settingsPath = fuzz::scratch("support/video-settings.json");
    bool isolated = ::unshare(CLONE_NEWNET) == 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Video v;
    auto& clock = v.world.clock;
    v.world.resetClock();
    // No stored frame sequence: every input's sink starts from the same one (a kept
    // settings file would move it on by the start gap on every input).
    std::error_code ec;
    std::filesystem::remove(v.settingsPath, ec);
    Settings settings(v.settingsPath);
    video::Sink sink(video::SinkDeps{clock, v.world.log, settings, v.key, v.stats, v.allowed, nullptr}, 0);
    sink.setPacing(false);
    if (v.isolated) {
        // A frame of two chunks to resend from, and parameter sets to hand newcomers.
        sink.sendFrame(Bytes(video::kChunkSize + 200, 0x33), clock.nowMicros());
        sink.setParamPayload(Bytes(40, 0x44));
    }
    for (auto& piece : fuzz::pieces(data, size)) {
        if (piece.empty()) continue;
        const int kind = static_cast<uint8_t>(piece[0]) % 4;
        std::string body = piece.substr(1);
        expand(body, v.key, clock.now());
        switch (kind) {
            case 0: sink.control(body, htonl(kPhoneA)); break;
            case 1: sink.control(body, htonl(kPhoneB)); break;
            default: {
                // The socket reads at most 256 bytes of a datagram.
                if (body.size() > 256) body.resize(256);
                auto src = from(kPhoneA, kind == 2 ? 40001 : 40002);
                sink.onDatagram(reinterpret_cast<const uint8_t*>(body.data()), body.size(), src);
            }
        }
        clock.advance(0.5);
    }
    sink.targets();
    return 0;
}
