#include "platform/gnome/gnome_screencast.h"

#include <chrono>
#include <stdexcept>

namespace vm::platform::gnome {

namespace {

constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kSessionIface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamIface = "org.gnome.Mutter.ScreenCast.Stream";

GVariant* cursorProps(CursorMode cursor) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "cursor-mode", g_variant_new_uint32(static_cast<uint32_t>(cursor)));
    return g_variant_builder_end(&b);
}

}  // namespace

ScreenCastSession::ScreenCastSession(Bus& bus, const std::string& remoteDesktopId, std::function<void()> onClosed)
    : bus_(bus), linked_(!remoteDesktopId.empty()), onClosed_(std::move(onClosed)) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    if (linked_) g_variant_builder_add(&b, "{sv}", "remote-desktop-session-id", g_variant_new_string(remoteDesktopId.c_str()));
    std::string err;
    Variant r = bus_.call(kMutterScreenCast, kScreenCastPath, kMutterScreenCast, "CreateSession",
                          g_variant_new("(@a{sv})", g_variant_builder_end(&b)), &err);
    if (!r) throw std::runtime_error("mutter refused a screen-cast session: " + err);
    path_ = r.child(0).str();
    // Streams announce their node once the session runs.
    subs_.push_back(bus_.subscribe(kMutterScreenCast, kStreamIface, "PipeWireStreamAdded", "",
                                   [this](const std::string&, const std::string& stream, const std::string&, GVariant* p) {
                                       // Every stream of this connection; the path tells them apart.
                                       uint32_t node = 0;
                                       g_variant_get(p, "(u)", &node);
                                       std::lock_guard<std::mutex> lk(mu_);
                                       nodes_[stream] = node;
                                       cv_.notify_all();
                                   }));
    if (!linked_)
        subs_.push_back(bus_.subscribe(kMutterScreenCast, kSessionIface, "Closed", path_,
                                       [this](const std::string&, const std::string&, const std::string&, GVariant*) {
                                           {
                                               std::lock_guard<std::mutex> lk(mu_);
                                               closed_ = true;
                                               cv_.notify_all();
                                           }
                                           if (onClosed_) onClosed_();
                                       }));
}

ScreenCastSession::~ScreenCastSession() {
    for (unsigned id : subs_) bus_.unsubscribe(id);
    if (!linked_ && !closed()) bus_.call(kMutterScreenCast, path_, kSessionIface, "Stop", nullptr, nullptr, 2000);
}

bool ScreenCastSession::closed() const {
    std::lock_guard<std::mutex> lk(mu_);
    return closed_;
}

std::string ScreenCastSession::recordMonitor(const std::string& connector, CursorMode cursor, std::string* error) {
    Variant r = bus_.call(kMutterScreenCast, path_, kSessionIface, "RecordMonitor",
                          g_variant_new("(s@a{sv})", connector.c_str(), cursorProps(cursor)), error);
    return r ? r.child(0).str() : "";
}

std::string ScreenCastSession::recordVirtual(CursorMode cursor, std::string* error) {
    Variant r = bus_.call(kMutterScreenCast, path_, kSessionIface, "RecordVirtual",
                          g_variant_new("(@a{sv})", cursorProps(cursor)), error);
    return r ? r.child(0).str() : "";
}

bool ScreenCastSession::start(std::string* error) {
    return static_cast<bool>(bus_.call(kMutterScreenCast, path_, kSessionIface, "Start", nullptr, error));
}

std::optional<uint32_t> ScreenCastSession::waitNode(const std::string& stream, double seconds) {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return closed_ || nodes_.count(stream) > 0; });
    auto it = nodes_.find(stream);
    if (it == nodes_.end()) return std::nullopt;
    return it->second;
}

}  // namespace vm::platform::gnome
