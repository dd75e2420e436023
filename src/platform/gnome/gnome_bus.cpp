#include "platform/gnome/gnome_bus.h"

#include <gio/gunixfdlist.h>

#include <condition_variable>
#include <stdexcept>

namespace vm::platform::gnome {

std::string takeError(GError* e) {
    if (!e) return "unknown error";
    std::string s = e->message ? e->message : "unknown error";
    g_error_free(e);
    return s;
}

struct Bus::Subscription {
    unsigned id = 0;
    SignalHandler handler;
};

namespace {

GDBusConnection* connectSession(GError** err) {
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, err);
    if (!address) return nullptr;
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, err);
    g_free(address);
    return c;
}

}  // namespace

Bus::Bus() {
    ctx_ = g_main_context_new();
    loop_ = g_main_loop_new(ctx_, FALSE);
    // Signal subscriptions deliver to the thread-default context of whoever connects.
    g_main_context_push_thread_default(ctx_);
    GError* err = nullptr;
    conn_ = connectSession(&err);
    g_main_context_pop_thread_default(ctx_);
    if (!conn_) {
        g_main_loop_unref(loop_);
        g_main_context_unref(ctx_);
        throw std::runtime_error("cannot reach the session bus: " + takeError(err));
    }
    g_dbus_connection_set_exit_on_close(conn_, FALSE);
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(ctx_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(ctx_);
    });
}

Bus::~Bus() {
    {
        std::lock_guard<std::mutex> lk(subMu_);
        for (auto& s : subs_) g_dbus_connection_signal_unsubscribe(conn_, s->id);
    }
    g_dbus_connection_flush_sync(conn_, nullptr, nullptr);
    g_dbus_connection_close_sync(conn_, nullptr, nullptr);
    g_main_loop_quit(loop_);
    thread_.join();
    g_object_unref(conn_);
    subs_.clear();
    g_main_loop_unref(loop_);
    g_main_context_unref(ctx_);
}

Variant Bus::call(const std::string& dest, const std::string& path, const std::string& iface,
                  const std::string& method, GVariant* args, std::string* error, int timeoutMs) {
    return callWithFds(dest, path, iface, method, args, nullptr, nullptr, error, timeoutMs);
}

Variant Bus::callWithFds(const std::string& dest, const std::string& path, const std::string& iface,
                         const std::string& method, GVariant* args, GUnixFDList* in, GUnixFDList** out,
                         std::string* error, int timeoutMs) {
    if (!g_variant_is_object_path(path.c_str())) {
        if (error) *error = method + ": no such object \"" + path + "\"";
        return Variant();
    }
    GError* err = nullptr;
    GVariant* r = g_dbus_connection_call_with_unix_fd_list_sync(conn_, dest.c_str(), path.c_str(), iface.c_str(),
                                                               method.c_str(), args, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                               timeoutMs, in, out, nullptr, &err);
    if (!r) {
        const std::string msg = method + ": " + takeError(err);
        if (error) *error = msg;
        return Variant();
    }
    return Variant(r);
}

namespace {

void onSignal(GDBusConnection*, const gchar* sender, const gchar* path, const gchar*, const gchar* member,
              GVariant* params, gpointer data) {
    auto* s = static_cast<Bus::SignalHandler*>(data);
    (*s)(sender ? sender : "", path ? path : "", member ? member : "", params);
}

}  // namespace

unsigned Bus::subscribe(const std::string& sender, const std::string& iface, const std::string& member,
                        const std::string& path, SignalHandler handler) {
    auto sub = std::make_unique<Subscription>();
    sub->handler = std::move(handler);
    auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    // A subscription delivers to the context that is thread-default where it is made: make it on the bus thread.
    auto make = [&] {
        sub->id = g_dbus_connection_signal_subscribe(conn_, opt(sender), opt(iface), opt(member), opt(path), nullptr,
                                                     G_DBUS_SIGNAL_FLAGS_NONE, onSignal, &sub->handler, nullptr);
    };
    if (std::this_thread::get_id() == thread_.get_id()) {
        make();
    } else {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        post([&] {
            make();
            std::lock_guard<std::mutex> lk(m);
            done = true;
            cv.notify_one();
        });
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return done; });
    }
    const unsigned id = sub->id;
    std::lock_guard<std::mutex> lk(subMu_);
    subs_.push_back(std::move(sub));
    return id;
}

void Bus::unsubscribe(unsigned id) {
    std::unique_ptr<Subscription> gone;
    {
        std::lock_guard<std::mutex> lk(subMu_);
        for (auto it = subs_.begin(); it != subs_.end(); ++it)
            if ((*it)->id == id) {
                gone = std::move(*it);
                subs_.erase(it);
                break;
            }
    }
    if (!gone) return;
    g_dbus_connection_signal_unsubscribe(conn_, id);
    // A handler already dispatched may still be running: let the bus thread pass it.
    if (std::this_thread::get_id() != thread_.get_id()) {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        post([&] {
            std::lock_guard<std::mutex> lk(m);
            done = true;
            cv.notify_one();
        });
        std::unique_lock<std::mutex> lk(m);
        cv.wait_for(lk, std::chrono::seconds(5), [&] { return done; });
    } else {
        // On the bus thread itself the handler is this very call's caller; keep it alive until it returns.
        auto* keep = gone.release();
        post([keep] { delete keep; });
    }
}

void Bus::post(std::function<void()> task) {
    auto* t = new std::function<void()>(std::move(task));
    g_main_context_invoke_full(
        ctx_, G_PRIORITY_DEFAULT,
        [](gpointer d) -> gboolean {
            (*static_cast<std::function<void()>*>(d))();
            return G_SOURCE_REMOVE;
        },
        t, [](gpointer d) { delete static_cast<std::function<void()>*>(d); });
}

bool Bus::nameHasOwner(const std::string& name) {
    Variant r = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                     g_variant_new("(s)", name.c_str()), nullptr, 2000);
    return r && g_variant_get_boolean(r.child(0).get());
}

bool Bus::sessionNameAnswers(const std::string& name) {
    GError* err = nullptr;
    GDBusConnection* c = connectSession(&err);
    if (!c) {
        g_clear_error(&err);
        return false;
    }
    GVariant* r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                              "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
                                              G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &err);
    bool ok = false;
    if (r) {
        g_variant_get(r, "(b)", &ok);
        g_variant_unref(r);
    }
    g_clear_error(&err);
    g_dbus_connection_close_sync(c, nullptr, nullptr);
    g_object_unref(c);
    return ok;
}

}  // namespace vm::platform::gnome
