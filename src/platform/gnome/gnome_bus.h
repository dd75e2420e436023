#pragma once
// One long-lived connection to the session bus for the whole backend: mutter's
// remote-desktop and screen-cast sessions belong to the connection that made them,
// so every service shares this one. Signals are delivered on the connection's own
// thread; method calls block the caller until the answer (or the timeout).
#include <gio/gio.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vm::platform::gnome {

// A GVariant reference that lets go of itself.
class Variant {
public:
    Variant() = default;
    // Takes over the caller's reference (a floating one is made full).
    explicit Variant(GVariant* v) : v_(v ? g_variant_take_ref(v) : nullptr) {}
    ~Variant() { reset(); }
    Variant(const Variant& o) : v_(o.v_ ? g_variant_ref(o.v_) : nullptr) {}
    Variant(Variant&& o) noexcept : v_(o.v_) { o.v_ = nullptr; }
    Variant& operator=(Variant o) noexcept {
        std::swap(v_, o.v_);
        return *this;
    }
    void reset() {
        if (v_) g_variant_unref(v_);
        v_ = nullptr;
    }
    GVariant* get() const { return v_; }
    explicit operator bool() const { return v_ != nullptr; }
    // Child `i` of a tuple or array.
    Variant child(size_t i) const { return Variant(g_variant_get_child_value(v_, i), true); }
    size_t size() const { return v_ ? g_variant_n_children(v_) : 0; }
    // A string, object path or signature; "" for anything else.
    std::string str() const {
        const bool text = v_ && (g_variant_is_of_type(v_, G_VARIANT_TYPE_STRING) ||
                                 g_variant_is_of_type(v_, G_VARIANT_TYPE_OBJECT_PATH) ||
                                 g_variant_is_of_type(v_, G_VARIANT_TYPE_SIGNATURE));
        return text ? g_variant_get_string(v_, nullptr) : "";
    }
    // The value behind a "v" boxing (or itself).
    Variant unboxed() const {
        return v_ && g_variant_is_of_type(v_, G_VARIANT_TYPE_VARIANT) ? Variant(g_variant_get_variant(v_), true) : *this;
    }
    // Entry `key` of an a{sv} dictionary.
    Variant lookup(const char* key) const {
        return v_ ? Variant(g_variant_lookup_value(v_, key, nullptr), true) : Variant();
    }

private:
    Variant(GVariant* owned, bool) : v_(owned) {}
    GVariant* v_ = nullptr;
};

class Bus {
public:
    // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS) on a private connection.
    // Throws std::runtime_error with one readable line when it cannot.
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Calls `method` and waits at most `timeoutMs`; the reply tuple, or empty with
    // `error` (may be null) set.
    Variant call(const std::string& dest, const std::string& path, const std::string& iface,
                 const std::string& method, GVariant* args, std::string* error = nullptr, int timeoutMs = 5000);
    // As call(), passing one file descriptor list both ways.
    Variant callWithFds(const std::string& dest, const std::string& path, const std::string& iface,
                        const std::string& method, GVariant* args, GUnixFDList* in, GUnixFDList** out,
                        std::string* error = nullptr, int timeoutMs = 5000);

    using SignalHandler = std::function<void(const std::string& sender, const std::string& path,
                                             const std::string& member, GVariant* params)>;
    // Calls `handler` on the bus thread for each matching signal (empty strings match
    // anything). The id unsubscribes; handlers may run until unsubscribe() returns.
    unsigned subscribe(const std::string& sender, const std::string& iface, const std::string& member,
                       const std::string& path, SignalHandler handler);
    void unsubscribe(unsigned id);

    bool nameHasOwner(const std::string& name);
    // Runs `task` on the bus thread (for work that must not race with signal handlers).
    void post(std::function<void()> task);

    GDBusConnection* connection() const { return conn_; }

    // Whether `name` has an owner on the session bus, asked on a short-lived connection.
    static bool sessionNameAnswers(const std::string& name);

private:
    struct Subscription;
    GMainContext* ctx_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* conn_ = nullptr;
    std::thread thread_;
    std::mutex subMu_;
    std::vector<std::unique_ptr<Subscription>> subs_;
};

// Converts a GError into text and frees it.
std::string takeError(GError* e);

}  // namespace vm::platform::gnome
