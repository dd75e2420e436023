#include "platform/gnome/gnome_capture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "base/dispatch.h"
#include "base/log.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/nv12_scaler.h"
#include "platform/sample_delivery.h"

namespace vm::platform::gnome {

// ---- frame sources ----------------------------------------------------------

std::shared_ptr<FrameSource> FrameSource::monitor(Bus& bus, const std::string& connector, CursorMode cursor) {
    std::shared_ptr<FrameSource> s(new FrameSource());
    s->start(bus, false, connector, 0, 0, cursor);
    return s;
}

std::shared_ptr<FrameSource> FrameSource::virtualMonitor(Bus& bus, int width, int height, CursorMode cursor) {
    std::shared_ptr<FrameSource> s(new FrameSource());
    s->start(bus, true, "", width, height, cursor);
    return s;
}

void FrameSource::start(Bus& bus, bool isVirtual, const std::string& connector, int width, int height, CursorMode cursor) {
    session_ = std::make_unique<ScreenCastSession>(bus, "", [this] { end("mutter ended the screen cast"); });
    std::string err;
    const std::string stream = isVirtual ? session_->recordVirtual(cursor, &err) : session_->recordMonitor(connector, cursor, &err);
    if (stream.empty()) throw std::runtime_error(err);
    if (!session_->start(&err)) throw std::runtime_error(err);
    const auto node = session_->waitNode(stream, 5.0);
    if (!node) throw std::runtime_error("mutter announced no PipeWire node for " + stream);
    stream_ = std::make_unique<PipeWireStream>(
        *node, width, height, [this](const Frame& f) { frame(f); }, [this](const std::string& why) { end(why); });
}

FrameSource::~FrameSource() {
    stream_.reset();   // no frame after this
    session_.reset();  // stops the session: a virtual monitor goes with it
}

int FrameSource::add(Listener l) {
    std::lock_guard<std::mutex> lk(mu_);
    const int id = next_++;
    if (ended_) {
        if (l.onEnd) std::thread([f = l.onEnd, why = endWhy_] { f(why); }).detach();
        return id;
    }
    if (lastFrame_.pixels && l.onFrame) l.onFrame(lastFrame_);
    listeners_.emplace_back(id, std::move(l));
    return id;
}

void FrameSource::close() {
    end("the display was removed");
    stream_.reset();
    session_.reset();
}

void FrameSource::remove(int id) {
    std::lock_guard<std::mutex> lk(mu_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(), [&](const auto& p) { return p.first == id; }),
                     listeners_.end());
}

bool FrameSource::ended() const {
    std::lock_guard<std::mutex> lk(mu_);
    return ended_;
}

void FrameSource::frame(const Frame& f) {
    std::lock_guard<std::mutex> lk(mu_);
    last_.resize(size_t(f.width) * 4 * f.height);
    for (int y = 0; y < f.height; ++y)
        std::memcpy(last_.data() + size_t(y) * f.width * 4, f.pixels + size_t(y) * f.stride, size_t(f.width) * 4);
    lastFrame_ = Frame{last_.data(), f.width, f.height, f.width * 4};
    for (auto& [id, l] : listeners_)
        if (l.onFrame) l.onFrame(f);
}

void FrameSource::end(const std::string& why) {
    std::vector<std::function<void(const std::string&)>> ends;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (ended_) return;
        ended_ = true;
        endWhy_ = why;
        for (auto& [id, l] : listeners_)
            if (l.onEnd) ends.push_back(l.onEnd);
        listeners_.clear();
    }
    // Off PipeWire's and the bus's threads: an end handler may tear this source down.
    std::thread([ends, why] {
        for (auto& e : ends) e(why);
    }).detach();
}

// ---- capture streams ----------------------------------------------------------

struct GnomeCapture::Stream final : CaptureStream {
    CaptureConfig config;
    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<FrameSource> source;
    int listener = 0;
    double interval = 1.0 / 60;

    // Shared with queued deliveries, which may outlive the stream object.
    std::shared_ptr<SampleDelivery> out = std::make_shared<SampleDelivery>();

    Nv12Scaler scaler;  // on PipeWire's thread
    std::chrono::steady_clock::time_point lastFrame{};

    // Idle samples while mutter sends nothing (it sends only what changed).
    std::mutex tickMu;
    std::condition_variable tickCv;
    bool quit = false;
    std::atomic<int64_t> lastSampleUs{0};
    std::thread ticker;

    ~Stream() override {
        std::string ignored;
        stop(&ignored);
    }

    static int64_t nowUs() {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    bool stop(std::string*) override {
        {
            std::lock_guard<std::recursive_mutex> lk(out->cbMu);
            out->stopped = true;
        }
        if (source) source->remove(listener);
        {
            std::lock_guard<std::mutex> lk(tickMu);
            quit = true;
        }
        tickCv.notify_all();
        if (ticker.joinable() && ticker.get_id() != std::this_thread::get_id()) ticker.join();
        else if (ticker.joinable()) ticker.detach();
        source.reset();
        return true;
    }

    void deliver(CaptureSample sample) {
        if (deliverSample(out, *queue, config.queueDepth, std::move(sample))) lastSampleUs = nowUs();
    }

    void onFrame(const Frame& f) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastFrame < std::chrono::duration<double>(interval * 0.9)) return;
        lastFrame = now;
        auto img = scaler.convert(f.pixels, f.width, f.height, f.stride, config.width, config.height, config.scalesToFit);
        if (!img) return;
        CaptureSample s;
        s.status = static_cast<int>(FrameStatus::complete);
        s.image = img;
        s.ptsMicros = nowUs();
        deliver(std::move(s));
    }

    void onEnd(const std::string& why) {
        std::function<void(const std::string&)> cb;
        {
            std::lock_guard<std::recursive_mutex> lk(out->cbMu);
            if (out->stopped) return;
            out->stopped = true;
            cb = out->onStop;
        }
        if (cb) cb(why);
    }

    void tick() {
        std::unique_lock<std::mutex> lk(tickMu);
        while (!quit) {
            tickCv.wait_for(lk, std::chrono::milliseconds(500));
            if (quit) break;
            if (nowUs() - lastSampleUs.load() < 450000) continue;
            CaptureSample s;
            s.status = static_cast<int>(FrameStatus::idle);
            s.ptsMicros = nowUs();
            deliver(std::move(s));
        }
    }
};

GnomeCapture::GnomeCapture(Logger& log, Bus& bus, GnomeDisplays& displays) : log_(log), bus_(bus), displays_(displays) {}

GnomeCapture::~GnomeCapture() = default;

std::optional<std::vector<DisplayID>> GnomeCapture::shareableDisplays(std::string*) {
    return displays_.activeDisplays();
}

std::unique_ptr<CaptureStream> GnomeCapture::startStream(DisplayID id, const CaptureConfig& config,
                                                         std::shared_ptr<SerialQueue> queue,
                                                         std::function<void(const CaptureSample&)> onSample,
                                                         std::function<void(const std::string& error)> onStop) {
    if (config.width < 2 || config.height < 2) throw std::runtime_error("capture size too small");
    auto s = std::make_unique<Stream>();
    s->config = config;
    s->config.width &= ~1;
    s->config.height &= ~1;
    s->queue = std::move(queue);
    s->out->onSample = std::move(onSample);
    s->out->onStop = std::move(onStop);
    const double asked = config.minFrameIntervalTimescale > 0 && config.minFrameIntervalValue > 0
                             ? double(config.minFrameIntervalValue) / config.minFrameIntervalTimescale
                             : 0;
    s->interval = std::clamp(asked, 1.0 / kMaxRate, 10.0);
    // The agent's virtual monitor already streams to us; any other monitor gets a stream of its own.
    s->source = displays_.virtualFrames(id);
    if (!s->source) {
        const std::string connector = displays_.connectorOf(id);
        if (connector.empty() || !displays_.isOnline(id))
            throw std::runtime_error("display " + std::to_string(id) + " is not online");
        s->source = FrameSource::monitor(bus_, connector, config.showsCursor ? CursorMode::embedded : CursorMode::hidden);
    }
    Stream* raw = s.get();
    s->lastSampleUs = Stream::nowUs();
    s->listener = s->source->add({[raw](const Frame& f) { raw->onFrame(f); }, [raw](const std::string& why) { raw->onEnd(why); }});
    s->ticker = std::thread([raw] { raw->tick(); });
    CaptureSample started;
    started.status = static_cast<int>(FrameStatus::started);
    s->deliver(std::move(started));
    return s;
}

}  // namespace vm::platform::gnome
