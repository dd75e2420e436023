#pragma once
// Small stand-ins for the display services, the capturer and the service
// advertiser, plus a rig with the real encoder and sender around them, for the
// capture and video-service tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "base/settings.h"
#include "platform/capture.h"
#include "platform/displays.h"
#include "support/test_files.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"

namespace vm::testing {

using platform::DisplayID;

class FakeDisplays final : public platform::Displays {
public:
    struct Entry {
        DisplayID id = 0;
        uint32_t vendor = 0;
        platform::Rect bounds;
        std::optional<platform::DisplayMode> mode;
        bool active = true;
    };

    // A display of `w` x `h` points at `scale`, with a current mode unless `withMode` is false.
    void add(DisplayID id, uint32_t vendor, double w, double h, double scale = 1.0, bool withMode = true,
             double refresh = 60) {
        std::lock_guard<std::mutex> g(mu);
        Entry e;
        e.id = id;
        e.vendor = vendor;
        e.bounds = {0, 0, w, h};
        if (withMode) {
            platform::DisplayMode m;
            m.width = static_cast<uint32_t>(w);
            m.height = static_cast<uint32_t>(h);
            m.pixelWidth = static_cast<uint32_t>(w * scale);
            m.pixelHeight = static_cast<uint32_t>(h * scale);
            m.refresh = refresh;
            e.mode = m;
        }
        entries.push_back(e);
    }
    void setMode(DisplayID id, uint32_t pixelW, uint32_t pixelH) {
        std::lock_guard<std::mutex> g(mu);
        for (auto& e : entries)
            if (e.id == id && e.mode) {
                e.mode->pixelWidth = pixelW;
                e.mode->pixelHeight = pixelH;
            }
    }
    void fireReconfigure() {
        std::vector<std::function<void()>> cbs;
        {
            std::lock_guard<std::mutex> g(mu);
            cbs = callbacks;
        }
        for (auto& cb : cbs) cb();
    }

    uint32_t onlineCount() override {
        std::lock_guard<std::mutex> g(mu);
        return static_cast<uint32_t>(entries.size());
    }
    std::vector<DisplayID> activeDisplays(uint32_t max) override {
        std::lock_guard<std::mutex> g(mu);
        ++activeCalls;
        std::vector<DisplayID> out;
        for (auto& e : entries)
            if (e.active && out.size() < max) out.push_back(e.id);
        return out;
    }
    std::vector<DisplayID> onlineDisplays(uint32_t max) override { return activeDisplays(max); }
    DisplayID mainDisplay() override {
        std::lock_guard<std::mutex> g(mu);
        return mainID;
    }
    bool isOnline(DisplayID id) override {
        std::lock_guard<std::mutex> g(mu);
        return find(id) != nullptr;
    }
    bool isAgentVirtual(DisplayID id) override { return vendorNumber(id) == platform::kVirtualVendor; }
    uint32_t vendorNumber(DisplayID id) override {
        std::lock_guard<std::mutex> g(mu);
        auto* e = find(id);
        return e ? e->vendor : 0;
    }
    uint32_t productNumber(DisplayID) override { return 0; }
    uint32_t serialNumber(DisplayID) override { return 0; }
    platform::Rect bounds(DisplayID id) override {
        std::lock_guard<std::mutex> g(mu);
        auto* e = find(id);
        return e ? e->bounds : platform::Rect{};
    }
    std::optional<platform::DisplayMode> currentMode(DisplayID id) override {
        std::lock_guard<std::mutex> g(mu);
        auto* e = find(id);
        return e ? e->mode : std::nullopt;
    }
    std::optional<std::vector<platform::DisplayMode>> modes(DisplayID, bool) override { return std::nullopt; }
    platform::Size physicalSizeMM(DisplayID) override { return {}; }
    std::vector<platform::ScreenInfo> screens() override {
        std::lock_guard<std::mutex> g(mu);
        ++screenLooks;
        if (screensHiddenFor > 0) {
            --screensHiddenFor;
            return {};
        }
        return screenList;
    }
    std::unique_ptr<platform::DisplayConfig> beginConfiguration() override { return nullptr; }
    void onReconfigure(std::function<void()> callback) override {
        std::lock_guard<std::mutex> g(mu);
        callbacks.push_back(std::move(callback));
    }
    std::unique_ptr<platform::VirtualDisplay> createVirtualDisplay(const platform::VirtualDisplayDescriptor&) override {
        return nullptr;
    }
    bool virtualDisplaySupported() override { return false; }
    std::optional<std::string> inspectInChild(DisplayID id,
                                              const std::function<std::string(DisplayID)>& inProcess) override {
        return inProcess(id);
    }

    std::mutex mu;
    std::vector<Entry> entries;
    DisplayID mainID = 0;
    std::vector<platform::ScreenInfo> screenList;
    int screensHiddenFor = 0;  // the next N screen lists come back empty
    int screenLooks = 0;
    int activeCalls = 0;
    std::vector<std::function<void()>> callbacks;

private:
    Entry* find(DisplayID id) {
        for (auto& e : entries)
            if (e.id == id) return &e;
        return nullptr;
    }
};

// A capturer whose streams deliver only what the test hands them, on the queue the
// capture gave, and that counts how many of its streams are running at once.
class FakeScreenCapture final : public platform::ScreenCapture {
public:
    struct Stream;
    struct Shared {
        std::mutex mu;
        int live = 0;
        int maxLive = 0;
    };
    struct Stream final : platform::CaptureStream {
        std::shared_ptr<Shared> shared;
        bool stopped = false;
        bool stop(std::string*) override {
            std::lock_guard<std::mutex> g(shared->mu);
            if (!stopped) {
                stopped = true;
                --shared->live;
            }
            return true;
        }
        ~Stream() override { stop(nullptr); }
    };
    struct Started {
        DisplayID id = 0;
        platform::CaptureConfig config;
        std::shared_ptr<SerialQueue> queue;
        std::function<void(const platform::CaptureSample&)> onSample;
        std::function<void(const std::string&)> onStop;
    };

    // The display lists to answer, one per call; when used up, `displays` is answered.
    std::deque<std::optional<std::vector<DisplayID>>> script;
    std::vector<DisplayID> displays;
    int startFailures = 0;  // the next N starts throw
    std::atomic<int> listCalls{0};
    std::atomic<int> startCalls{0};
    // Called with the look's number before each listing is answered (things that happen meanwhile).
    std::function<void(int look)> onList;

    std::optional<std::vector<DisplayID>> shareableDisplays(std::string* error) override {
        const int look = ++listCalls;
        if (onList) onList(look);
        std::lock_guard<std::mutex> g(mu_);
        if (!script.empty()) {
            auto r = script.front();
            script.pop_front();
            if (!r && error) *error = "no permission";
            return r;
        }
        return displays;
    }

    std::unique_ptr<platform::CaptureStream> startStream(DisplayID id, const platform::CaptureConfig& config,
                                                         std::shared_ptr<SerialQueue> queue,
                                                         std::function<void(const platform::CaptureSample&)> onSample,
                                                         std::function<void(const std::string&)> onStop) override {
        ++startCalls;
        {
            std::lock_guard<std::mutex> g(mu_);
            if (startFailures > 0) {
                --startFailures;
                throw std::runtime_error("stream refused");
            }
            started.push_back({id, config, queue, std::move(onSample), std::move(onStop)});
        }
        auto s = std::make_unique<Stream>();
        s->shared = shared;
        std::lock_guard<std::mutex> g(shared->mu);
        ++shared->live;
        shared->maxLive = std::max(shared->maxLive, shared->live);
        return s;
    }

    Started last() {
        std::lock_guard<std::mutex> g(mu_);
        return started.back();
    }
    size_t startedCount() {
        std::lock_guard<std::mutex> g(mu_);
        return started.size();
    }
    // Hands a sample to the newest stream on its queue and waits until it was handled.
    void deliver(const platform::CaptureSample& s) {
        Started st = last();
        st.queue->async([cb = st.onSample, s] { cb(s); });
        st.queue->sync([] {});
    }
    int live() {
        std::lock_guard<std::mutex> g(shared->mu);
        return shared->live;
    }
    int maxLive() {
        std::lock_guard<std::mutex> g(shared->mu);
        return shared->maxLive;
    }

    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::vector<Started> started;

private:
    std::mutex mu_;
};

class FakeAdvertiser final : public platform::ServiceAdvertiser {
public:
    bool publish(const std::string& type, uint16_t port, std::string* error) override {
        published.emplace_back(type, port);
        if (!failWith.empty()) {
            if (error) *error = failWith;
            return false;
        }
        return true;
    }
    std::vector<std::pair<std::string, uint16_t>> published;
    std::string failWith;
};

// Keeps delayed work for the test to run by hand, with the delays it was given.
class HeldQueue final : public DispatchQueue {
public:
    void async(Task task) override { held.push_back({0, std::move(task)}); }
    void asyncAfter(double seconds, Task task) override { held.push_back({seconds, std::move(task)}); }
    const std::string& label() const override { return label_; }
    void runAll() {
        auto items = std::move(held);
        held.clear();
        for (auto& it : items) it.second();
    }
    std::vector<std::pair<double, Task>> held;

private:
    std::string label_ = "held";
};

// Runs every task at once on the caller's thread.
class InlineQueue final : public DispatchQueue {
public:
    void async(Task task) override { task(); }
    void asyncAfter(double, Task task) override { task(); }
    const std::string& label() const override { return label_; }

private:
    std::string label_ = "inline";
};

// A UDP socket on a free loopback port standing in for a phone's video port.
struct PhoneSocket {
    int fd = -1;
    uint16_t port = 0;
    PhoneSocket() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~PhoneSocket() {
        if (fd >= 0) ::close(fd);
    }
};

// The capture with its real neighbours: encoder, sender on a free port, counters, log.
struct CaptureRig {
    TempDir dir{"vm-capture"};
    FakeClock clock;
    Logger log{dir.path, clock};
    Settings settings{dir.path + "/settings.json"};
    video::VideoKey key{log};
    video::VideoStats stats;
    std::atomic<bool> videoAllowed{false};  // nothing needs to leave the machine
    FakeDisplays displays;
    FakeScreenCapture screenCapture;
    std::unique_ptr<video::Sink> sink;
    std::unique_ptr<video::Encoder> encoder;
    std::unique_ptr<video::Capture> capture;
    int exitStatus = -1;

    explicit CaptureRig(DispatchQueue* mainQueue = nullptr, DispatchQueue* taskQueue = nullptr) {
        sink = std::make_unique<video::Sink>(
            video::SinkDeps{clock, log, settings, key, stats, videoAllowed,
                            [](double) -> std::optional<Bytes> { return std::nullopt; }},
            0);
        encoder = std::make_unique<video::Encoder>(
            video::EncoderDeps{clock, log, *sink, stats, [this](int status) { exitStatus = status; }});
        capture = std::make_unique<video::Capture>(video::CaptureDeps{
            clock, log, displays, screenCapture, *encoder, *sink, stats, mainQueue, taskQueue});
    }
    ~CaptureRig() {
        capture.reset();
        encoder.reset();
        sink.reset();
    }

    // One display of `w` x `h` points; the virtual one when `virt`.
    void oneDisplay(DisplayID id, bool virt, double w, double h, double scale = 1.0) {
        displays.add(id, virt ? platform::kVirtualVendor : 1, w, h, scale);
        displays.mainID = id;
        screenCapture.displays = {id};
    }
    std::string logText() { return readAll(log.streamLogPath()); }
    void registerPhone(const PhoneSocket& phone) {
        sink->control("H " + std::to_string(phone.port), htonl(INADDR_LOOPBACK));
    }
    static platform::CaptureSample picture(int w, int h, int64_t pts, std::optional<int> status = 0) {
        platform::CaptureSample s;
        s.status = status;
        auto img = std::make_shared<platform::Nv12Image>();
        img->width = w;
        img->height = h;
        img->lumaStride = w;
        img->chromaStride = w;
        img->luma.assign(static_cast<size_t>(w) * h, 16);
        img->chroma.assign(static_cast<size_t>(w) * h / 2, 128);
        s.image = img;
        s.ptsMicros = pts;
        return s;
    }
};

}  // namespace vm::testing
