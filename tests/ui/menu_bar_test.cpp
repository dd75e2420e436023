// The menu bar's own rules in process, on the fixture's X server: the lines it
// pushes into the inbox, the pairing items and panel, the texts it draws, and
// GLib's loop running the main queue (nested spins included).
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "base/base64.h"
#include "base/dispatch.h"
#include "control/ctl_inbox.h"
#include "control/phone_state.h"
#include "ui/desktop_ui.h"
#include "ui/glib_main_loop.h"
#include "ui/menu_bar.h"
#include "ui/menu_texts.h"
#include "ui/pair_panel.h"
#include "x11/x_server.h"

using namespace vm;
using namespace vm::ui;

namespace {

std::vector<std::string> drain(CtlInbox& inbox) {
    std::vector<std::string> lines;
    while (auto m = inbox.pop(0)) {
        EXPECT_TRUE(m->plain && m->loopback && !m->peer && m->fromLen == 0);
        lines.emplace_back(m->bytes.begin(), m->bytes.end());
    }
    return lines;
}

std::vector<std::string> titles(GtkWidget* menu) {
    std::vector<std::string> out;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* l = kids; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (!gtk_widget_get_visible(w)) continue;
        if (GTK_IS_SEPARATOR_MENU_ITEM(w)) out.push_back("—");
        else out.push_back(gtk_label_get_text(GTK_LABEL(gtk_bin_get_child(GTK_BIN(w)))));
    }
    g_list_free(kids);
    return out;
}

class MenuBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        VM_REQUIRE_X();
        // This process reads other processes' widgets over the accessibility bus; its own
        // GTK stays off that bus, or the two clients of it in one process would collide.
        ::setenv("NO_AT_BRIDGE", "1", 1);
        ASSERT_TRUE(initToolkit(nullptr));
        src.now = [this] { return now; };
        src.phone = &phone;
        src.pairedPhones = [this] { return phones; };
        src.version = "1.2.3";
        src.platformName = "x11";
        bar = std::make_unique<MenuBar>(inbox, src, MenuActions{});
        bar->install();
    }

    double now = 1'700'000'000;
    CtlInbox inbox;
    PhoneState phone{now};
    std::vector<PairedPhone> phones;
    MenuSources src;
    std::unique_ptr<MenuBar> bar;
};

}  // namespace

TEST_F(MenuBarTest, DecisionsAndActionsBecomeLocalLinesInTheInbox) {
    bar->sendToCursor("A\n\nB");
    bar->disconnect();
    bar->cancelFile();
    // Without a request on show, Allow and Deny push nothing.
    bar->pairAllow();
    bar->pairDeny();
    EXPECT_EQ(drain(inbox), (std::vector<std::string>{"A\n", "B\n", "R 0\n", "BYE 0\n", "KICK 0\n", "FILECANCEL\n"}));

    bar->showPairing(7, "Ann's phone", "123456");
    bar->pairAllow();
    bar->pairPanel()->denyClicked();
    EXPECT_EQ(drain(inbox), (std::vector<std::string>{"PAIROK 7\n", "PAIRNO 7\n"}));
    // Return and Escape in the panel deny; nothing in the panel allows but the button.
    for (guint key : {GDK_KEY_Return, GDK_KEY_Escape}) {
        GdkEvent* ev = gdk_event_new(GDK_KEY_PRESS);
        ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(bar->pairPanel()->window())));
        ev->key.keyval = key;
        gboolean handled = FALSE;
        g_signal_emit_by_name(bar->pairPanel()->window(), "key-press-event", ev, &handled);
        gdk_event_free(ev);
        EXPECT_TRUE(handled);
    }
    EXPECT_EQ(drain(inbox), (std::vector<std::string>{"PAIRNO 7\n", "PAIRNO 7\n"}));

    // A file of exactly 2 GiB is sent; one byte more is not.
    EXPECT_EQ(sendFileLine("/tmp/a b", kMaxSendBytes), "SENDFILE " + base64Encode(std::string("/tmp/a b")));
    EXPECT_FALSE(sendFileLine("/tmp/a b", kMaxSendBytes + 1));
    EXPECT_EQ(fileSizeText(kMaxSendBytes), "2.15 GB");
}

TEST_F(MenuBarTest, OneRequestOnShowAtATimeAndOnlyItsOwnHideRemovesIt) {
    const auto before = titles(bar->menu());
    bar->showPairing(1, "First", "111111");
    bar->showPairing(2, "Second", "222222");
    auto t = titles(bar->menu());
    ASSERT_EQ(t.size(), before.size() + 5);
    EXPECT_EQ(std::vector<std::string>(t.begin() + 5, t.begin() + 10),
              (std::vector<std::string>{"Second wants to connect", "Code  222222", "Allow", "Deny", "—"}));
    EXPECT_EQ(bar->iconName(), "vellomark-phone-pending-symbolic");

    // The replaced request's end, or any other id, changes nothing.
    bar->hidePairing(1);
    bar->hidePairing(3);
    EXPECT_EQ(titles(bar->menu()).size(), before.size() + 5);
    ASSERT_NE(bar->pairPanel(), nullptr);

    bar->hidePairing(2);
    EXPECT_EQ(titles(bar->menu()), before);
    EXPECT_EQ(bar->pairPanel(), nullptr);
    EXPECT_EQ(bar->iconName(), "vellomark-phone-symbolic");
    bar->pairAllow();
    EXPECT_TRUE(drain(inbox).empty());
}

TEST_F(MenuBarTest, StatusLinesFollowThePhone) {
    bar->menuWillOpen();
    auto t = titles(bar->menu());
    EXPECT_EQ(t[2], "● Waiting for iPhone");
    EXPECT_EQ(t[3], "No virtual display");
    EXPECT_EQ(t[5], "✗ Input control — the X server lacks XTest");

    // Connected with no name: "iPhone connected"; silent for 30 s: waiting again.
    phone.hasPhone = true;
    phone.phoneWantsScreen = true;
    phone.phoneLastSeen = now - 29.9;
    bar->refreshStatus();
    EXPECT_EQ(titles(bar->menu())[2], "● iPhone connected");
    EXPECT_EQ(titles(bar->menu())[3], "No video client");
    bar->tick();
    EXPECT_EQ(bar->iconName(), "vellomark-phone-connected-symbolic");
    phone.phoneLastSeen = now - 30;
    bar->refreshStatus();
    EXPECT_EQ(titles(bar->menu())[2], "● Waiting for iPhone");

    // The paired submenu: "None" when empty, else one line per phone.
    GList* kids = gtk_container_get_children(GTK_CONTAINER(bar->menu()));
    GtkWidget* paired = gtk_menu_item_get_submenu(GTK_MENU_ITEM(g_list_nth_data(kids, 8)));
    g_list_free(kids);
    EXPECT_EQ(titles(paired), std::vector<std::string>{"None"});
    phones = {{"p1", "Ann", now}};
    bar->menuWillOpen();
    EXPECT_EQ(titles(paired), std::vector<std::string>{pairedTitle("Ann", now)});
    EXPECT_TRUE(std::regex_match(pairedTitle("Ann", now), std::regex("Ann — paired [A-Z][a-z]{2} \\d{1,2}, 2023 · Unpair…")))
        << pairedTitle("Ann", now);

    DetailFacts f{true, true, logicalSize(5, {0, 0, 1170, 2532}), 59.6, false, ""};
    EXPECT_EQ(detailLine(f), "1170×2532 · 60 fps");
    f = {false, false, "", 0, true, logicalSize(0, {})};
    EXPECT_EQ(detailLine(f), "Virtual display ? ready");
}

TEST(GlibMainLoopTest, MainQueueTasksRunInGlibsLoopAlsoWhileATaskSpins) {
    VM_REQUIRE_X();
    MainQueue queue;
    GlibMainLoop loop(queue);
    std::vector<int> order;
    bool glibRan = false;
    queue.async([&] {
        order.push_back(1);
        // A spin inside a task (the virtual display waiting) still runs other work.
        g_idle_add(+[](gpointer p) -> gboolean { *static_cast<bool*>(p) = true; return G_SOURCE_REMOVE; }, &glibRan);
        queue.async([&] { order.push_back(2); });
        queue.spinRunLoop(0.2);
        order.push_back(3);
    });
    std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        queue.asyncAfter(0.3, [&] {
            order.push_back(4);
            queue.stop();
        });
    }).join();
    queue.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(glibRan);
}
