// The X11 backend's input side against the fixture's Xorg: keys, typed text, pointer
// and wheel seen by a window of the test's own (reading keys with xkbcommon as a
// toolkit does), the clipboard seen by xclip, and XKB groups as input sources.
#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
// xcb/xkb.h names a struct member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_events.h"
#include "platform/x11/x11_input_sources.h"
#include "platform/x11/x11_pasteboard.h"
#include "platform/x11/x11_windows.h"
#include "x11/x_server.h"

namespace vm::platform::x11 {
namespace {

using test::xRun;

bool waitUntil(const std::function<bool()>& done, double seconds = 3) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The effective modifiers of the server's keyboard, as another client reads them.
uint8_t serverMods() {
    Connection probe("");
    xkb_x11_setup_xkb_extension(probe.get(), 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr);
    xcb_xkb_get_state_reply_t* st =
        xcb_xkb_get_state_reply(probe.get(), xcb_xkb_get_state(probe.get(), XCB_XKB_ID_USE_CORE_KBD), nullptr);
    const uint8_t mods = st ? st->mods : 0xff;
    free(st);
    return mods;
}

// An override-redirect window at the top-left, focused, recording what reaches it.
class Target {
public:
    struct Key {
        uint32_t sym;
        uint16_t state;
    };
    struct Button {
        uint8_t button;
        int16_t x, y;
    };

    Target() : conn_("") {
        c_ = conn_.get();
        uint8_t base = 0;
        xkb_x11_setup_xkb_extension(c_, 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &base, nullptr);
        xkbBase_ = base;
        device_ = xkb_x11_get_core_keyboard_device_id(c_);
        const uint16_t which = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        xcb_xkb_select_events_aux(c_, static_cast<xcb_xkb_device_spec_t>(device_), which, 0, which, 0xff, 0xff, nullptr);
        reload();
        win_ = xcb_generate_id(c_);
        const uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, win_, conn_.root(), 0, 0, 400, 300, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c_, win_);
        const uint32_t top[] = {XCB_STACK_MODE_ABOVE};
        xcb_configure_window(c_, win_, XCB_CONFIG_WINDOW_STACK_MODE, top);
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // mapped before focusing
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_PARENT, win_, XCB_CURRENT_TIME);
        xcb_flush(c_);
        thread_ = std::thread([this] { loop(); });
    }
    ~Target() {
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.window = win_;
        m.format = 32;
        stop_ = true;
        xcb_send_event(c_, 0, win_, 0, reinterpret_cast<const char*>(&m));
        xcb_flush(c_);
        thread_.join();
        if (keymap_) xkb_keymap_unref(keymap_);
        xkb_context_unref(ctx_);
    }
    std::string text() {
        std::lock_guard<std::mutex> lk(mu_);
        return text_;
    }
    std::vector<Key> keys() {
        std::lock_guard<std::mutex> lk(mu_);
        return keys_;
    }
    std::vector<Button> buttons() {
        std::lock_guard<std::mutex> lk(mu_);
        return buttons_;
    }
    // Key codes that give any symbol, as the keymap says now.
    int boundKeys() {
        std::lock_guard<std::mutex> lk(mu_);
        reload();
        int n = 0;
        for (xkb_keycode_t k = 8; k < 256; ++k) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap_, k, 0, 0, &syms) > 0) ++n;
        }
        return n;
    }

private:
    void reload() {
        if (xkb_keymap* km = xkb_x11_keymap_new_from_device(ctx_, c_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS)) {
            if (keymap_) xkb_keymap_unref(keymap_);
            keymap_ = km;
        }
    }
    void loop() {
        bool stale = false;
        while (xcb_generic_event_t* ev = xcb_wait_for_event(c_)) {
            const uint8_t type = ev->response_type & 0x7f;
            if (type == XCB_MAPPING_NOTIFY || type == xkbBase_) stale = true;
            std::lock_guard<std::mutex> lk(mu_);
            if (type == XCB_KEY_PRESS) {
                // A toolkit reads the map again after a mapping change, then looks the key up.
                if (stale) reload();
                stale = false;
                const auto* kp = reinterpret_cast<xcb_key_press_event_t*>(ev);
                xkb_state* st = xkb_state_new(keymap_);
                xkb_state_update_mask(st, kp->state & 0xff, 0, 0, 0, 0, (kp->state >> 13) & 3);
                keys_.push_back({xkb_state_key_get_one_sym(st, kp->detail), kp->state});
                if (!(kp->state & XCB_MOD_MASK_CONTROL)) {
                    char buf[16] = {};
                    xkb_state_key_get_utf8(st, kp->detail, buf, sizeof buf);
                    text_ += buf;
                }
                xkb_state_unref(st);
            } else if (type == XCB_BUTTON_PRESS) {
                const auto* bp = reinterpret_cast<xcb_button_press_event_t*>(ev);
                buttons_.push_back({bp->detail, bp->root_x, bp->root_y});
            }
            free(ev);
            if (stop_) return;
        }
    }

    Connection conn_;
    xcb_connection_t* c_;
    xcb_window_t win_ = 0;
    uint8_t xkbBase_ = 0;
    int32_t device_ = -1;
    xkb_context* ctx_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap_ = nullptr;
    std::mutex mu_;
    std::string text_;
    std::vector<Key> keys_;
    std::vector<Button> buttons_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        VM_REQUIRE_X();
        log = std::make_unique<Logger>(test::xFolder() + "/logs-input", clock);
        displays = std::make_unique<X11Displays>(*log, "");
        windows = std::make_unique<X11Windows>(*log, "", *displays);
        events = std::make_unique<X11Events>(*log, "", *displays, *windows, false);
    }
    void key(int type, int hid, uint64_t flags = 0, bool down = true) {
        KeyEvent e;
        e.type = type;
        e.hid = hid;
        e.flags = flags;
        e.down = type == ev::kKeyUp ? false : down;
        ASSERT_TRUE(events->postKey(e));
    }
    void mouse(int type, double x, double y, int64_t clickState = 0) {
        MouseEvent e;
        e.type = type;
        e.point = {x, y};
        e.clickState = clickState;
        ASSERT_TRUE(events->postMouse(e));
    }
    SystemClock clock;
    std::unique_ptr<Logger> log;
    std::unique_ptr<X11Displays> displays;
    std::unique_ptr<X11Windows> windows;
    std::unique_ptr<X11Events> events;
};

TEST_F(X11InputTest, TypedTextKeysAndPasteReachTheFocusedWindow) {
    Target target;
    const int boundBefore = target.boundKeys();
    ASSERT_TRUE(events->isTrusted(false));

    // More characters without a key than there are spare key codes to bind them to.
    ASSERT_TRUE(events->typeText(u"Hi é 한😀ü! 가나다라마바사아자차"));
    EXPECT_TRUE(waitUntil([&] { return target.text() == "Hi é 한😀ü! 가나다라마바사아자차"; })) << target.text();
    EXPECT_EQ(target.boundKeys(), boundBefore) << "spare key codes keep a binding";

    // Shift held by the phone, then Shift asked for by the flags alone, then nothing.
    key(ev::kFlagsChanged, 225, ev::kFlagShift, true);
    key(ev::kKeyDown, 4, ev::kFlagShift);
    key(ev::kKeyUp, 4, ev::kFlagShift);
    key(ev::kFlagsChanged, 225, 0, false);
    key(ev::kKeyDown, 5, ev::kFlagShift);
    key(ev::kKeyUp, 5);
    key(ev::kKeyDown, 6);
    key(ev::kKeyUp, 6);
    EXPECT_TRUE(waitUntil([&] { return target.text().ends_with("ABc"); })) << target.text();

    // Text carried by a key event, and a release of a key we never pressed changes nothing.
    KeyEvent typed;
    typed.text = u"ok";
    ASSERT_TRUE(events->postKey(typed));
    key(ev::kKeyUp, 7);
    EXPECT_TRUE(waitUntil([&] { return target.text().ends_with("ABcok"); })) << target.text();

    // Control goes down first and may arrive on its own: wait for the "v" itself, and
    // for the releases that follow it.
    const size_t before = target.keys().size();
    ASSERT_TRUE(events->paste());
    std::optional<Target::Key> v;
    ASSERT_TRUE(waitUntil([&] {
        const auto keys = target.keys();
        for (size_t i = before; i < keys.size() && !v; ++i)
            if (keys[i].sym == uint32_t{'v'}) v = keys[i];
        return v.has_value();
    })) << "no v after " << before << " keys";
    EXPECT_TRUE(v->state & XCB_MOD_MASK_CONTROL);
    EXPECT_FALSE(v->state & XCB_MOD_MASK_SHIFT);
    EXPECT_TRUE(waitUntil([] { return (serverMods() & (XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT)) == 0; }))
        << "a modifier stayed down";

    // Command (the shortcut modifier, Control here) held by the phone goes up with the backend.
    key(ev::kFlagsChanged, 227, ev::kFlagCommand, true);
    EXPECT_NE(events->sessionModifierFlags() & ev::kFlagControl, 0u);
    EXPECT_NE(serverMods() & XCB_MOD_MASK_CONTROL, 0);
    events.reset();
    EXPECT_EQ(serverMods() & XCB_MOD_MASK_CONTROL, 0);
}

TEST_F(X11InputTest, PointerDoubleClickAndWheel) {
    Target target;
    mouse(ev::kMouseMoved, 321, 123);
    Connection probe("");
    xcb_query_pointer_reply_t* p = xcb_query_pointer_reply(probe.get(), xcb_query_pointer(probe.get(), probe.root()), nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->root_x, 321);
    EXPECT_EQ(p->root_y, 123);
    free(p);
    EXPECT_EQ(events->mouseLocation().x, 321);

    // The second press of a double click lands where the first did.
    mouse(ev::kLeftMouseDown, 100, 100, 1);
    mouse(ev::kLeftMouseUp, 100, 100, 1);
    mouse(ev::kLeftMouseDown, 104, 102, 2);
    mouse(ev::kLeftMouseUp, 104, 102, 2);
    ASSERT_TRUE(waitUntil([&] { return target.buttons().size() == 2; }));
    for (const auto& b : target.buttons()) {
        EXPECT_EQ(b.button, 1);
        EXPECT_EQ(b.x, 100);
        EXPECT_EQ(b.y, 100);
    }

    // 100 px down is two clicks of button 5; the 20 px left over count towards the next.
    auto wheelClicks = [&](uint8_t button) {
        int n = 0;
        for (const auto& b : target.buttons()) n += b.button == button;
        return n;
    };
    ScrollEvent down;
    down.wheel1 = -100;
    ASSERT_TRUE(events->postScroll(down));
    ASSERT_TRUE(waitUntil([&] { return wheelClicks(5) == 2; }));
    down.wheel1 = -20;
    ASSERT_TRUE(events->postScroll(down));
    EXPECT_TRUE(waitUntil([&] { return wheelClicks(5) == 3; }));
    ScrollEvent right;
    right.wheel2 = -45;
    ASSERT_TRUE(events->postScroll(right));
    EXPECT_TRUE(waitUntil([&] { return wheelClicks(7) == 1; }));
    EXPECT_EQ(wheelClicks(4), 0);
}

TEST_F(X11InputTest, ClipboardRoundTripAndChangeCount) {
    if (xRun("command -v xclip").empty()) GTEST_SKIP() << "xclip is not installed";
    X11Pasteboard pb(*log, "");
    const int64_t c0 = pb.changeCount();
    pb.clear();
    pb.setString(Pasteboard::kPlainText, "héllo 클립보드");
    pb.setString(Pasteboard::kConcealed, "");
    EXPECT_EQ(pb.changeCount(), c0 + 3);
    EXPECT_EQ(xRun("xclip -selection clipboard -o"), "héllo 클립보드");
    const std::string targets = xRun("xclip -selection clipboard -o -t TARGETS");
    EXPECT_NE(targets.find("UTF8_STRING"), std::string::npos) << targets;
    EXPECT_NE(targets.find("x-kde-passwordManagerHint"), std::string::npos) << targets;
    EXPECT_EQ(xRun("xclip -selection clipboard -o -t x-kde-passwordManagerHint"), "secret");
    EXPECT_EQ(pb.changeCount(), c0 + 3) << "our own ownership changes counted twice";

    // Another client copies: one change, and its text reads back.
    xRun("printf 'from xclip' | xclip -selection clipboard -i >/dev/null 2>&1");
    EXPECT_TRUE(waitUntil([&] { return pb.changeCount() == c0 + 4; }));
    EXPECT_EQ(pb.string(Pasteboard::kPlainText).value_or("-"), "from xclip");
    EXPECT_FALSE(pb.string(Pasteboard::kConcealed).has_value());
    EXPECT_EQ(pb.changeCount(), c0 + 4);

    // A long text goes out in INCR steps.
    std::string big;
    for (int i = 0; big.size() < 300 * 1024; ++i) big += "줄 " + std::to_string(i) + " abc\n";
    big += "end";
    pb.setString(Pasteboard::kPlainText, big);
    EXPECT_EQ(pb.changeCount(), c0 + 5);
    const std::string back = xRun("xclip -selection clipboard -o");
    EXPECT_EQ(back.size(), big.size());
    EXPECT_TRUE(back == big);

    pb.clear();
    EXPECT_EQ(xRun("xclip -selection clipboard -o 2>/dev/null"), "");
    EXPECT_FALSE(pb.string(Pasteboard::kPlainText).has_value());
}

TEST_F(X11InputTest, XkbGroupsAreInputSources) {
    xRun("setxkbmap -layout us,kr");
    struct Restore {
        ~Restore() { xRun("setxkbmap -layout us"); }
    } restore;
    X11InputSources sources(*log, "");
    std::vector<std::string> ids;
    for (const auto& s : sources.enabled()) ids.push_back(s.id);
    ASSERT_EQ(ids, (std::vector<std::string>{"xkb:us", "xkb:kr"}));
    EXPECT_EQ(sources.language("xkb:kr"), "ko");
    EXPECT_EQ(sources.language("xkb:us"), "en");

    std::atomic<int> changes{0};
    sources.watch([&] { ++changes; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the watcher take its first look
    const int seen = changes;
    ASSERT_EQ(sources.select("xkb:kr"), 0);
    Connection probe("");
    xkb_x11_setup_xkb_extension(probe.get(), 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr);
    xcb_xkb_get_state_reply_t* st =
        xcb_xkb_get_state_reply(probe.get(), xcb_xkb_get_state(probe.get(), XCB_XKB_ID_USE_CORE_KBD), nullptr);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->lockedGroup, 1);
    free(st);
    EXPECT_EQ(sources.current().value_or(""), "xkb:kr");
    EXPECT_TRUE(waitUntil([&] { return changes > seen; }));
    EXPECT_EQ(sources.select("xkb:xx"), -50);

    // Typed text still arrives as itself with the second group locked.
    {
        Target target;
        ASSERT_TRUE(events->typeText(u"a!é"));
        EXPECT_TRUE(waitUntil([&] { return target.text() == "a!é"; })) << target.text();
    }
    EXPECT_EQ(sources.select("xkb:us"), 0);
}

}  // namespace
}  // namespace vm::platform::x11
