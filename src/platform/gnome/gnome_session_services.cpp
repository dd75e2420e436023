#include "platform/gnome/gnome_session_services.h"

#include <thread>

#include "platform/gnome/gnome_bus.h"
#include "platform/gnome/gnome_remote_desktop.h"
#include "platform/gnome/gnome_shell_extension.h"
#include "platform/linux_keys.h"

namespace vm::platform::gnome {

// ---- pasteboard -------------------------------------------------------------

std::optional<std::string> GnomePasteboard::string(const std::string& type) {
    if (type == kPlainText) return rd_.readText();
    std::lock_guard<std::mutex> lk(mu_);
    if (markersAt_ != rd_.selectionChanges()) return std::nullopt;  // another owner since
    auto it = markers_.find(type);
    if (it == markers_.end()) return std::nullopt;
    return it->second;
}

void GnomePasteboard::clear() {
    rd_.offerText(std::nullopt);
    std::lock_guard<std::mutex> lk(mu_);
    markers_.clear();
    markersAt_ = rd_.selectionChanges();
}

void GnomePasteboard::setString(const std::string& type, const std::string& value) {
    if (type == kPlainText) {
        rd_.offerText(value);
        std::lock_guard<std::mutex> lk(mu_);
        // Markers set before the text (after a clear) belong to it.
        markersAt_ = rd_.selectionChanges();
        return;
    }
    std::lock_guard<std::mutex> lk(mu_);
    markers_[type] = value;
    markersAt_ = rd_.selectionChanges();
}

int64_t GnomePasteboard::changeCount() { return rd_.selectionChanges(); }

// ---- input sources ------------------------------------------------------------

GnomeInputSources::GnomeInputSources(Bus& bus, ShellExtension& shell) : bus_(bus), shell_(shell) {
    sub_ = bus_.subscribe(kExtensionBusName, kExtensionBusName, "InputSourceChanged", "",
                          [this](const std::string&, const std::string&, const std::string&, GVariant*) {
                              std::vector<std::function<void()>> ws;
                              {
                                  std::lock_guard<std::mutex> lk(mu_);
                                  ws = watchers_;
                              }
                              std::thread([ws] {
                                  for (auto& w : ws) w();
                              }).detach();
                          });
}

GnomeInputSources::~GnomeInputSources() { bus_.unsubscribe(sub_); }

std::vector<InputSourceInfo> GnomeInputSources::enabled() {
    std::vector<InputSourceInfo> out;
    if (auto s = shell_.inputSources())
        for (const auto& id : s->ids) out.push_back(InputSourceInfo{id, true, true});
    return out;
}

std::optional<std::string> GnomeInputSources::current() {
    auto s = shell_.inputSources();
    if (!s || s->current.empty()) return std::nullopt;
    return s->current;
}

int GnomeInputSources::select(const std::string& id) { return shell_.selectInputSource(id) ? 0 : -50; }

void GnomeInputSources::watch(std::function<void()> onChange) {
    std::lock_guard<std::mutex> lk(mu_);
    watchers_.push_back(std::move(onChange));
}

std::string GnomeInputSources::language(const std::string& id) {
    if (id == "ibus:hangul") return "ko";
    if (id == "ibus:anthy" || id == "ibus:mozc-jp" || id == "ibus:kkc") return "ja";
    if (id.rfind("ibus:libpinyin", 0) == 0 || id == "ibus:chewing") return "zh";
    return layoutLanguage(id);
}

// ---- session ------------------------------------------------------------------

namespace {
constexpr const char* kScreenSaver = "org.gnome.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/gnome/ScreenSaver";
}  // namespace

GnomeSession::GnomeSession(Bus& bus) : bus_(bus) {
    sub_ = bus_.subscribe(kScreenSaver, kScreenSaver, "ActiveChanged", kScreenSaverPath,
                          [this](const std::string&, const std::string&, const std::string&, GVariant* p) {
                              gboolean active = FALSE;
                              g_variant_get(p, "(b)", &active);
                              std::vector<std::function<void(bool)>> ws;
                              {
                                  std::lock_guard<std::mutex> lk(mu_);
                                  ws = watchers_;
                              }
                              for (auto& w : ws) w(active);
                          });
}

GnomeSession::~GnomeSession() { bus_.unsubscribe(sub_); }

std::optional<bool> GnomeSession::onConsole() {
    // The compositor we talk to draws this session; it is on the console while it answers.
    if (bus_.nameHasOwner("org.gnome.Mutter.RemoteDesktop")) return true;
    return std::nullopt;
}

std::optional<bool> GnomeSession::locked() {
    Variant r = bus_.call(kScreenSaver, kScreenSaverPath, kScreenSaver, "GetActive", nullptr, nullptr, 2000);
    if (!r || !g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(b)"))) return std::nullopt;
    return g_variant_get_boolean(r.child(0).get()) != FALSE;
}

void GnomeSession::watchLock(std::function<void(bool)> onChange) {
    std::lock_guard<std::mutex> lk(mu_);
    watchers_.push_back(std::move(onChange));
}

}  // namespace vm::platform::gnome
