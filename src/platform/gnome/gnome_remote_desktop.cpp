#include "platform/gnome/gnome_remote_desktop.h"

#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <cmath>
#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "platform/gnome/gnome_screencast.h"

namespace vm::platform::gnome {

namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kSessionIface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kTextMime = "text/plain;charset=utf-8";
constexpr const char* kTextMimes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING", "TEXT"};
constexpr int kKeyLeftShift = 42;

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

RemoteDesktop::RemoteDesktop(Logger& log, Bus& bus, Monitors monitors)
    : log_(log), bus_(bus), monitors_(std::move(monitors)) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!openLocked()) throw std::runtime_error("mutter refused a remote-desktop session (org.gnome.Mutter.RemoteDesktop)");
}

RemoteDesktop::~RemoteDesktop() {
    std::lock_guard<std::mutex> lk(mu_);
    closeLocked();
}

bool RemoteDesktop::openLocked() {
    std::string err;
    Variant r = bus_.call(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, "CreateSession", nullptr, &err);
    if (!r) {
        if (!warnedOpen_) log_.logLine("⚠︎ 원격 데스크톱 세션을 못 만들었다 — " + err + "\n");
        warnedOpen_ = true;
        return false;
    }
    session_ = r.child(0).str();
    dead_ = false;
    subs_.push_back(bus_.subscribe(kRemoteDesktop, kSessionIface, "Closed", session_,
                                   [this](const std::string&, const std::string&, const std::string&, GVariant*) {
                                       dead_ = true;
                                   }));
    subs_.push_back(bus_.subscribe(kRemoteDesktop, kSessionIface, "SelectionOwnerChanged", session_,
                                   [this](const std::string&, const std::string&, const std::string&, GVariant* p) {
                                       Variant opts(g_variant_get_child_value(p, 0));
                                       Variant mine = opts.lookup("session-is-owner");
                                       const bool ours = mine && g_variant_get_boolean(mine.get());
                                       std::lock_guard<std::mutex> lk(clipMu_);
                                       if (!ours) {
                                           othersOffer_ = static_cast<bool>(opts.lookup("mime-types"));
                                           offered_.reset();
                                       }
                                       ++selectionChanges_;
                                   }));
    subs_.push_back(bus_.subscribe(kRemoteDesktop, kSessionIface, "SelectionTransfer", session_,
                                   [this](const std::string&, const std::string&, const std::string&, GVariant* p) {
                                       const gchar* mime = nullptr;
                                       uint32_t serial = 0;
                                       g_variant_get(p, "(&su)", &mime, &serial);
                                       onSelectionTransfer(mime ? mime : "", serial);
                                   }));
    Variant id = bus_.call(kRemoteDesktop, session_, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kSessionIface, "SessionId"), &err);
    try {
        if (!id) throw std::runtime_error(err);
        cast_ = std::make_unique<ScreenCastSession>(bus_, id.child(0).unboxed().str());
        connector_ = monitors_.primary ? monitors_.primary() : "";
        stream_ = cast_->recordMonitor(connector_, CursorMode::hidden, &err);
        if (stream_.empty()) throw std::runtime_error(err);
        if (!bus_.call(kRemoteDesktop, session_, kSessionIface, "Start", nullptr, &err)) throw std::runtime_error(err);
    } catch (const std::exception& e) {
        if (!warnedOpen_) log_.logLine(std::string("⚠︎ 원격 데스크톱 세션을 시작하지 못했다 — ") + e.what() + "\n");
        warnedOpen_ = true;
        closeLocked();
        return false;
    }
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    bus_.call(kRemoteDesktop, session_, kSessionIface, "EnableClipboard", g_variant_new("(@a{sv})", g_variant_builder_end(&b)),
              &err);
    // A fresh virtual device loses its first pointer and key events: spend them here.
    notify("NotifyPointerMotionRelative", g_variant_new("(dd)", 1.0, 0.0));
    notify("NotifyPointerMotionRelative", g_variant_new("(dd)", -1.0, 0.0));
    notify("NotifyKeyboardKeycode", g_variant_new("(ub)", kKeyLeftShift, TRUE));
    notify("NotifyKeyboardKeycode", g_variant_new("(ub)", kKeyLeftShift, FALSE));
    {
        std::lock_guard<std::mutex> lk(clipMu_);
        if (offered_) setSelectionLocked();
    }
    log_.logLine("원격 데스크톱 세션 — " + session_ + " (기준 모니터 " + (connector_.empty() ? "주 모니터" : connector_) + ")\n");
    return true;
}

void RemoteDesktop::closeLocked() {
    for (unsigned id : subs_) bus_.unsubscribe(id);
    subs_.clear();
    if (!session_.empty() && !dead_) bus_.call(kRemoteDesktop, session_, kSessionIface, "Stop", nullptr, nullptr, 2000);
    cast_.reset();
    session_.clear();
    stream_.clear();
}

bool RemoteDesktop::ensure() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!session_.empty() && !dead_) return true;
    closeLocked();
    return openLocked();
}

bool RemoteDesktop::notify(const char* method, GVariant* args) {
    std::string err;
    if (bus_.call(kRemoteDesktop, session_, kSessionIface, method, args, &err, 2000)) return true;
    if (!warnedNotify_.exchange(true)) log_.logLine("⚠︎ 입력을 보내지 못했다 — " + err + "\n");
    return false;
}

bool RemoteDesktop::moveTo(Point p) {
    if (!ensure()) return false;
    std::lock_guard<std::mutex> lk(mu_);
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
    std::optional<Point> origin = monitors_.originOf ? monitors_.originOf(connector_) : std::optional<Point>(Point{});
    if (!origin) origin = Point{};
    // The stream's coordinates start at its monitor's corner and run on past it.
    return notify("NotifyPointerMotionAbsolute",
                  g_variant_new("(sdd)", stream_.c_str(), p.x - origin->x, p.y - origin->y));
}

bool RemoteDesktop::button(int evdevButton, bool down) {
    if (!ensure()) return false;
    std::lock_guard<std::mutex> lk(mu_);
    return notify("NotifyPointerButton", g_variant_new("(ib)", evdevButton, down));
}

bool RemoteDesktop::axis(double dx, double dy) {
    if (!ensure()) return false;
    std::lock_guard<std::mutex> lk(mu_);
    return notify("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, 0u)) &&
           notify("NotifyPointerAxis", g_variant_new("(ddu)", 0.0, 0.0, 1u));  // the scroll ends here
}

bool RemoteDesktop::keycode(int evdev, bool down) {
    if (!ensure()) return false;
    std::lock_guard<std::mutex> lk(mu_);
    return notify("NotifyKeyboardKeycode", g_variant_new("(ub)", uint32_t(evdev), down));
}

bool RemoteDesktop::keysym(uint32_t sym, bool down) {
    if (!ensure()) return false;
    std::lock_guard<std::mutex> lk(mu_);
    return notify("NotifyKeyboardKeysym", g_variant_new("(ub)", sym, down));
}

// ---- clipboard ------------------------------------------------------------

void RemoteDesktop::setSelectionLocked() {
    GVariantBuilder mimes;
    g_variant_builder_init(&mimes, G_VARIANT_TYPE("as"));
    if (offered_)
        for (const char* m : kTextMimes) g_variant_builder_add(&mimes, "s", m);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "mime-types", g_variant_builder_end(&mimes));
    std::string err;
    if (!bus_.call(kRemoteDesktop, session_, kSessionIface, "SetSelection", g_variant_new("(@a{sv})", g_variant_builder_end(&b)),
                   &err))
        log_.logLine("⚠︎ 클립보드 설정 실패 — " + err + "\n");
}

void RemoteDesktop::offerText(std::optional<std::string> text) {
    if (!ensure()) return;
    std::lock_guard<std::mutex> lk(mu_);
    std::lock_guard<std::mutex> clk(clipMu_);
    offered_ = std::move(text);
    othersOffer_ = false;
    ++selectionChanges_;
    setSelectionLocked();
}

void RemoteDesktop::onSelectionTransfer(const std::string& mime, uint32_t serial) {
    std::optional<std::string> text;
    {
        std::lock_guard<std::mutex> lk(clipMu_);
        text = offered_;
    }
    const std::string session = session_;
    // Off the bus thread: the reader may take its time, and the write call waits on mutter.
    std::thread([this, session, serial, text, mime] {
        std::string err;
        GUnixFDList* fds = nullptr;
        Variant r = bus_.callWithFds(kRemoteDesktop, session, kSessionIface, "SelectionWrite", g_variant_new("(u)", serial),
                                     nullptr, &fds, &err);
        bool ok = false;
        if (r && fds) {
            gint32 handle = 0;
            g_variant_get(r.get(), "(h)", &handle);
            const int fd = g_unix_fd_list_get(fds, handle, nullptr);
            if (fd >= 0) {
                ok = text.has_value() && writeAll(fd, *text);
                ::close(fd);
            }
        }
        if (fds) g_object_unref(fds);
        bus_.call(kRemoteDesktop, session, kSessionIface, "SelectionWriteDone", g_variant_new("(ub)", serial, ok), nullptr);
    }).detach();
}

std::optional<std::string> RemoteDesktop::readText() {
    {
        std::lock_guard<std::mutex> lk(clipMu_);
        if (offered_) return offered_;
        if (!othersOffer_) return std::nullopt;
    }
    if (!ensure()) return std::nullopt;
    std::string session;
    {
        std::lock_guard<std::mutex> lk(mu_);
        session = session_;
    }
    std::string err;
    GUnixFDList* fds = nullptr;
    Variant r = bus_.callWithFds(kRemoteDesktop, session, kSessionIface, "SelectionRead", g_variant_new("(s)", kTextMime),
                                 nullptr, &fds, &err);
    if (!r || !fds) {
        if (fds) g_object_unref(fds);
        return std::nullopt;
    }
    gint32 handle = 0;
    g_variant_get(r.get(), "(h)", &handle);
    const int fd = g_unix_fd_list_get(fds, handle, nullptr);
    g_object_unref(fds);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
        // An owner that never finishes writing must not hang the caller.
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, 2000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
        if (out.size() > (64u << 20)) break;  // a runaway owner does not fill memory
    }
    ::close(fd);
    return out;
}

}  // namespace vm::platform::gnome
