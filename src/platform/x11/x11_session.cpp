#include "platform/x11/x11_session.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "base/log.h"

namespace vm::platform::x11 {

namespace {

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginSessionIface = "org.freedesktop.login1.Session";
constexpr const char* kProps = "org.freedesktop.DBus.Properties";

struct Saver {
    const char* name;
    const char* path;
    const char* iface;
};
constexpr Saver kSavers[] = {
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver"},
};

// How long the constructor waits for the worker to find the source.
constexpr auto kDetectWait = std::chrono::milliseconds(1500);

bool isSocket(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

struct X11Session::State {
    Logger& log;
    GMainContext* ctx = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(ctx, FALSE);
    GCancellable* cancel = g_cancellable_new();
    std::thread worker;

    mutable std::mutex mu;
    std::condition_variable cv;
    bool ready = false;
    Source source = Source::none;
    GDBusConnection* bus = nullptr;
    std::string sessionPath;       // logind
    const Saver* saver = nullptr;  // screensaver
    std::optional<bool> reported;  // the lock state watchers last heard (or started from)
    std::vector<std::function<void(bool)>> watchers;
    std::vector<guint> subscriptions;

    explicit State(Logger& l) : log(l) {}

    ~State() {
        if (bus) {
            for (guint id : subscriptions) g_dbus_connection_signal_unsubscribe(bus, id);
            g_object_unref(bus);
        }
        g_object_unref(cancel);
        g_main_loop_unref(loop);
        g_main_context_unref(ctx);
    }

    // A message-bus connection of our own; never the shared one (or autolaunching a bus).
    GDBusConnection* connect(const char* envVar, const std::vector<std::string>& sockets) {
        std::string address;
        if (const char* env = std::getenv(envVar); env && *env) {
            address = env;
        } else {
            for (const std::string& s : sockets)
                if (!s.empty() && isSocket(s)) {
                    address = "unix:path=" + s;
                    break;
                }
        }
        if (address.empty() || address.rfind("autolaunch:", 0) == 0) return nullptr;
        GError* err = nullptr;
        GDBusConnection* c = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancel, &err);
        g_clear_error(&err);
        if (c) g_dbus_connection_set_exit_on_close(c, FALSE);
        return c;
    }

    // One method call with the short timeout; the reply (owned by the caller) or null.
    GVariant* call(GDBusConnection* c, const char* name, const char* path, const char* iface, const char* method,
                   GVariant* args, const char* replyType) {
        GError* err = nullptr;
        GVariant* r = g_dbus_connection_call_sync(c, name, path, iface, method, args,
                                                  replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMillis, cancel, &err);
        g_clear_error(&err);
        return r;
    }

    std::optional<bool> loginFlag(GDBusConnection* c, const std::string& path, const char* prop) {
        GVariant* r =
            call(c, kLogin, path.c_str(), kProps, "Get", g_variant_new("(ss)", kLoginSessionIface, prop), "(v)");
        if (!r) return std::nullopt;
        GVariant* v = nullptr;
        g_variant_get(r, "(v)", &v);
        std::optional<bool> out;
        if (v && g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN)) out = g_variant_get_boolean(v) != FALSE;
        if (v) g_variant_unref(v);
        g_variant_unref(r);
        return out;
    }

    std::optional<bool> saverActive(GDBusConnection* c, const Saver& s) {
        GVariant* r = call(c, s.name, s.path, s.iface, "GetActive", nullptr, "(b)");
        if (!r) return std::nullopt;
        gboolean b = FALSE;
        g_variant_get(r, "(b)", &b);
        g_variant_unref(r);
        return b != FALSE;
    }

    std::optional<std::string> objectPath(GVariant* r) {
        if (!r) return std::nullopt;
        const gchar* p = nullptr;
        g_variant_get(r, "(&o)", &p);
        std::optional<std::string> out;
        if (p && std::string(p) != "/") out = p;
        g_variant_unref(r);
        return out;
    }

    // This process's session; a user service outside any session takes the user's graphical one.
    std::optional<std::string> findLoginSession(GDBusConnection* c) {
        const char* mgrPath = "/org/freedesktop/login1";
        const char* mgr = "org.freedesktop.login1.Manager";
        if (auto p = objectPath(call(c, kLogin, mgrPath, mgr, "GetSessionByPID",
                                     g_variant_new("(u)", static_cast<guint32>(::getpid())), "(o)")))
            return p;
        if (const char* id = std::getenv("XDG_SESSION_ID"); id && *id)
            if (auto p = objectPath(call(c, kLogin, mgrPath, mgr, "GetSession", g_variant_new("(s)", id), "(o)")))
                return p;
        GVariant* r = call(c, kLogin, "/org/freedesktop/login1/user/self", kProps, "Get",
                           g_variant_new("(ss)", "org.freedesktop.login1.User", "Display"), "(v)");
        if (!r) return std::nullopt;
        GVariant* v = nullptr;
        g_variant_get(r, "(v)", &v);
        std::optional<std::string> out;
        if (v && g_variant_is_of_type(v, G_VARIANT_TYPE("(so)"))) {
            const gchar* id = nullptr;
            const gchar* p = nullptr;
            g_variant_get(v, "(&s&o)", &id, &p);
            if (p && std::string(p) != "/") out = p;
        }
        if (v) g_variant_unref(v);
        g_variant_unref(r);
        return out;
    }

    void detect() {
        std::vector<std::string> systemSockets = {"/run/dbus/system_bus_socket", "/var/run/dbus/system_bus_socket"};
        if (GDBusConnection* sys = connect("DBUS_SYSTEM_BUS_ADDRESS", systemSockets)) {
            if (auto path = findLoginSession(sys)) {
                if (auto hint = loginFlag(sys, *path, "LockedHint")) {
                    std::lock_guard<std::mutex> lk(mu);
                    bus = sys;
                    sessionPath = *path;
                    source = Source::logind;
                    reported = *hint;
                    log.logLine("세션 — logind 세션 " + *path + " 의 잠금·콘솔 상태를 본다\n");
                    return;
                }
            }
            g_object_unref(sys);
        }
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (GDBusConnection* ses =
                connect("DBUS_SESSION_BUS_ADDRESS", {runtime ? std::string(runtime) + "/bus" : ""})) {
            for (const Saver& s : kSavers) {
                if (auto active = saverActive(ses, s)) {
                    std::lock_guard<std::mutex> lk(mu);
                    bus = ses;
                    saver = &s;
                    source = Source::screensaver;
                    reported = *active;
                    log.logLine(std::string("세션 — logind 가 없어 화면보호기 ") + s.name + " 로 잠금을 본다\n");
                    return;
                }
            }
            g_object_unref(ses);
        }
        log.logLine("세션 정보 없음 (logind·화면보호기 둘 다 없다) — 잠기지 않은, 콘솔의 세션으로 본다\n");
    }

    void report(bool isLocked) {
        std::vector<std::function<void(bool)>> toCall;
        {
            std::lock_guard<std::mutex> lk(mu);
            // logind says it twice (the Lock request, then LockedHint): watchers hear it once.
            if (reported == isLocked) return;
            reported = isLocked;
            toCall = watchers;
        }
        for (auto& f : toCall) f(isLocked);
    }

    static void onLoginProperties(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                  GVariant* params, gpointer data) {
        auto* self = static_cast<State*>(data);
        if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(sa{sv}as)"))) return;
        const gchar* iface = nullptr;
        GVariant* changed = nullptr;
        const gchar** invalidated = nullptr;
        g_variant_get(params, "(&s@a{sv}^a&s)", &iface, &changed, &invalidated);
        std::optional<bool> now;
        if (iface && std::string(iface) == kLoginSessionIface) {
            gboolean b = FALSE;
            if (g_variant_lookup(changed, "LockedHint", "b", &b)) now = b != FALSE;
            for (const gchar** p = invalidated; !now && p && *p; ++p)
                if (std::string(*p) == "LockedHint") now = self->loginFlag(self->bus, self->sessionPath, "LockedHint");
        }
        g_variant_unref(changed);
        g_free(invalidated);
        if (now) self->report(*now);
    }

    static void onLoginLock(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member, GVariant*,
                            gpointer data) {
        static_cast<State*>(data)->report(std::string(member) == "Lock");
    }

    static void onSaverActive(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                              GVariant* params, gpointer data) {
        if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(b)"))) return;
        gboolean b = FALSE;
        g_variant_get(params, "(b)", &b);
        static_cast<State*>(data)->report(b != FALSE);
    }

    // On the worker, whose context the signal callbacks then run in.
    void subscribe() {
        auto add = [this](const char* sender, const char* iface, const char* member, const char* path,
                          GDBusSignalCallback cb) {
            subscriptions.push_back(g_dbus_connection_signal_subscribe(bus, sender, iface, member, path, nullptr,
                                                                       G_DBUS_SIGNAL_FLAGS_NONE, cb, this, nullptr));
        };
        if (source == Source::logind) {
            add(kLogin, kProps, "PropertiesChanged", sessionPath.c_str(), &State::onLoginProperties);
            add(kLogin, kLoginSessionIface, "Lock", sessionPath.c_str(), &State::onLoginLock);
            add(kLogin, kLoginSessionIface, "Unlock", sessionPath.c_str(), &State::onLoginLock);
        } else if (source == Source::screensaver) {
            add(saver->name, saver->iface, "ActiveChanged", nullptr, &State::onSaverActive);
        }
    }

    void run() {
        g_main_context_push_thread_default(ctx);
        detect();
        // Only this thread writes the source; the lock orders it for the readers.
        Source found;
        {
            std::lock_guard<std::mutex> lk(mu);
            found = source;
        }
        if (found != Source::none) subscribe();
        {
            std::lock_guard<std::mutex> lk(mu);
            ready = true;
        }
        cv.notify_all();
        if (found != Source::none) g_main_loop_run(loop);
        g_main_context_pop_thread_default(ctx);
    }
};

X11Session::X11Session(Logger& log) : s_(std::make_unique<State>(log)) {
    s_->worker = std::thread([s = s_.get()] { s->run(); });
    std::unique_lock<std::mutex> lk(s_->mu);
    // A bus that hangs must not hold up the start; until it answers the session counts as unlocked.
    s_->cv.wait_for(lk, kDetectWait, [this] { return s_->ready; });
}

X11Session::~X11Session() {
    g_cancellable_cancel(s_->cancel);
    // Quits the loop once it runs, even when it has not started yet.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        s_->loop, nullptr);
    g_source_attach(quit, s_->ctx);
    g_source_unref(quit);
    if (s_->worker.joinable()) s_->worker.join();
}

X11Session::Source X11Session::source() const {
    std::lock_guard<std::mutex> lk(s_->mu);
    return s_->source;
}

namespace {

// The input side asks with every phone message; the bus is asked at most this often.
constexpr auto kFactLifetime = std::chrono::milliseconds(500);

}  // namespace

std::optional<bool> X11Session::cachedFact(Fact& fact, const std::function<std::optional<bool>()>& ask) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lk(factMu_);
        if (fact.known && now - fact.at < kFactLifetime) return fact.value;
    }
    const std::optional<bool> value = ask();
    std::lock_guard<std::mutex> lk(factMu_);
    fact.known = true;
    fact.value = value;
    fact.at = now;
    return value;
}

std::optional<bool> X11Session::onConsole() {
    return cachedFact(onConsole_, [this]() -> std::optional<bool> {
        GDBusConnection* bus = nullptr;
        std::string path;
        {
            std::lock_guard<std::mutex> lk(s_->mu);
            if (!s_->ready || s_->source != Source::logind) return true;
            bus = s_->bus;
            path = s_->sessionPath;
        }
        return s_->loginFlag(bus, path, "Active");
    });
}

std::optional<bool> X11Session::locked() {
    return cachedFact(locked_, [this]() -> std::optional<bool> {
        Source source;
        GDBusConnection* bus = nullptr;
        std::string path;
        const Saver* saver = nullptr;
        {
            std::lock_guard<std::mutex> lk(s_->mu);
            if (!s_->ready || s_->source == Source::none) return false;
            source = s_->source;
            bus = s_->bus;
            path = s_->sessionPath;
            saver = s_->saver;
        }
        if (source == Source::logind) return s_->loginFlag(bus, path, "LockedHint");
        return s_->saverActive(bus, *saver);
    });
}

void X11Session::watchLock(std::function<void(bool locked)> onChange) {
    if (!onChange) return;
    // A lock or unlock the bus announces is the answer from now on, not a kept older one.
    auto told = [this, onChange = std::move(onChange)](bool isLocked) {
        {
            std::lock_guard<std::mutex> lk(factMu_);
            locked_ = Fact{true, isLocked, std::chrono::steady_clock::now()};
        }
        onChange(isLocked);
    };
    std::lock_guard<std::mutex> lk(s_->mu);
    s_->watchers.push_back(std::move(told));
}

}  // namespace vm::platform::x11
