#include "ui/menu_bar.h"

#include <gtk/gtk.h>
#include <sys/stat.h>

#include <cstdlib>

#include "control/ctl_inbox.h"
#include "control/local_control.h"
#include "control/phone_state.h"
#include "platform/displays.h"
#include "ui/file_reveal.h"
#include "ui/menu_texts.h"
#include "ui/pair_panel.h"
#include "ui/status_icon.h"

namespace vm::ui {

namespace {

std::string escaped(const std::string& text) {
    gchar* e = g_markup_escape_text(text.c_str(), -1);
    std::string out = e;
    g_free(e);
    return out;
}

GtkLabel* labelOf(GtkWidget* item) { return GTK_LABEL(gtk_bin_get_child(GTK_BIN(item))); }

// Sets a plain title; unchanged titles are left alone so a menu exported over
// D-Bus is not re-sent every tick.
void setTitle(GtkWidget* item, const std::string& text) {
    if (text != gtk_label_get_text(labelOf(item))) gtk_label_set_text(labelOf(item), text.c_str());
}

void setMarkup(GtkWidget* item, const std::string& markup, const std::string& plain) {
    if (plain != gtk_label_get_text(labelOf(item))) gtk_label_set_markup(labelOf(item), markup.c_str());
}

// "● " in `colour`, then the text in the label colour.
void setDotted(GtkWidget* item, const char* colour, const std::string& text) {
    setMarkup(item, std::string("<span foreground='") + colour + "'>●</span> " + escaped(text), "● " + text);
}

void setSensitive(GtkWidget* w, bool on) {
    if (bool(gtk_widget_get_sensitive(w)) != on) gtk_widget_set_sensitive(w, on);
}

void setShown(GtkWidget* w, bool on) {
    if (bool(gtk_widget_get_visible(w)) != on) gtk_widget_set_visible(w, on);
}

const char* const kIconPending = "vellomark-phone-pending-symbolic";
const char* const kIconConnected = "vellomark-phone-connected-symbolic";
const char* const kIconIdle = "vellomark-phone-symbolic";
const char* const kIconLast = "video-display-symbolic";

// Our icons before they are installed: VELLOMARK_ICON_DIR, else the source tree's
// folder while it exists. Installed, they are in the hicolor theme.
std::string iconDirBeforeInstall() {
    if (const char* dir = std::getenv("VELLOMARK_ICON_DIR"); dir && dir[0]) return dir;
#ifdef VELLOMARK_ICON_SOURCE_DIR
    if (g_file_test(VELLOMARK_ICON_SOURCE_DIR, G_FILE_TEST_IS_DIR)) return VELLOMARK_ICON_SOURCE_DIR;
#endif
    return {};
}

}  // namespace

MenuBar::MenuBar(CtlInbox& inbox, MenuSources sources, MenuActions actions)
    : inbox_(inbox), src_(std::move(sources)), act_(std::move(actions)) {
    if (src_.iconDir.empty()) src_.iconDir = iconDirBeforeInstall();
    menu_ = gtk_menu_new();
    g_object_ref_sink(menu_);
    pairedMenu_ = gtk_menu_new();
}

MenuBar::~MenuBar() {
    if (tickTimer_) g_source_remove(tickTimer_);
    if (fileTimer_) g_source_remove(fileTimer_);
    pairPanel_.reset();
    item_.reset();
    gtk_widget_destroy(menu_);
    g_object_unref(menu_);
    if (accel_) g_object_unref(accel_);
}

GtkWidget* MenuBar::addItem(const std::string& text, void (MenuBar::*action)(), int indent) {
    GtkWidget* it = gtk_menu_item_new_with_label(text.c_str());
    if (indent > 0) gtk_widget_set_margin_start(gtk_bin_get_child(GTK_BIN(it)), 14 * indent);
    if (action) {
        // The member to call rides on the item; the menu bar outlives its items.
        auto* slot = new (void (MenuBar::*)())(action);
        g_object_set_data_full(G_OBJECT(it), "vm-action", slot,
                               [](gpointer p) { delete static_cast<void (MenuBar::**)()>(p); });
        g_signal_connect(it, "activate", G_CALLBACK(+[](GtkMenuItem* mi, gpointer self) {
                             auto* a = static_cast<void (MenuBar::**)()>(g_object_get_data(G_OBJECT(mi), "vm-action"));
                             (static_cast<MenuBar*>(self)->**a)();
                         }),
                         this);
    } else {
        gtk_widget_set_sensitive(it, FALSE);
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(menu_), it);
    gtk_widget_show(it);
    return it;
}

void MenuBar::addSeparator() {
    GtkWidget* sep = gtk_separator_menu_item_new();
    gtk_menu_shell_append(GTK_MENU_SHELL(menu_), sep);
    gtk_widget_show(sep);
}

void MenuBar::install() {
    addItem("Vellomark", nullptr);
    addSeparator();
    phoneItem_ = addItem(kWaiting, nullptr);
    detailItem_ = addItem(kNoVirtualDisplay, nullptr, 1);
    addSeparator();
    pairingIndex_ = 5;
    // What the backend can do; nothing on Linux to open for them, so they only tell.
    axItem_ = addItem("Input control", nullptr);
    screenItem_ = addItem("Screen capture", nullptr);
    addSeparator();
    pairedItem_ = addItem("Paired iPhones", nullptr);
    gtk_widget_set_sensitive(pairedItem_, TRUE);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(pairedItem_), pairedMenu_);
    disconnectItem_ = addItem("Disconnect", &MenuBar::disconnect);
    sendFileItem_ = addItem(kSendFile, &MenuBar::sendFile);
    cancelFileItem_ = addItem("Cancel Sending", &MenuBar::cancelFile);
    gtk_widget_hide(cancelFileItem_);
    recvFileItem_ = addItem("", &MenuBar::revealDownloads);
    gtk_widget_hide(recvFileItem_);
    addSeparator();
    addItem("Version " + src_.version, nullptr);
    updateItem_ = addItem("Check for Updates…", &MenuBar::checkUpdates);
    addSeparator();
    uninstallItem_ = addItem("Uninstall Vellomark…", &MenuBar::confirmUninstall);
    setSensitive(uninstallItem_, bool(act_.uninstall));
    quitItem_ = addItem("Quit Vellomark", &MenuBar::quit);
    setSensitive(quitItem_, bool(act_.quit));
    // Held until the menu is gone: the item's label still looks at it while being destroyed.
    accel_ = gtk_accel_group_new();
    gtk_menu_set_accel_group(GTK_MENU(menu_), accel_);
    gtk_widget_add_accelerator(quitItem_, "activate", accel_, GDK_KEY_q, GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);

    g_signal_connect(menu_, "hide", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                         static_cast<MenuBar*>(self)->menuDidClose();
                     }),
                     this);

    if (!src_.iconDir.empty()) gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), src_.iconDir.c_str());
    item_ = std::make_unique<StatusIcon>(menu_, [this] { menuWillOpen(); }, src_.iconDir);
    // A StatusNotifierItem host draws the menu itself and never says when it opens:
    // keep it current as if always open.
    if (item_->notifierItem()) menuWillOpen();

    tickTimer_ = g_timeout_add(static_cast<guint>(kTickSeconds * 1000), +[](gpointer self) -> gboolean {
        static_cast<MenuBar*>(self)->tick();
        return G_SOURCE_CONTINUE;
    }, this);
    fileTimer_ = g_timeout_add(static_cast<guint>(kFileRefreshSeconds * 1000), +[](gpointer self) -> gboolean {
        auto* me = static_cast<MenuBar*>(self);
        if (me->menuOpen_) me->refreshFile();
        return G_SOURCE_CONTINUE;
    }, this);
    tick();
}

bool MenuBar::connected() const { return src_.phone && src_.phone->connected(src_.now()); }

bool MenuBar::freshConnection() const {
    return src_.phone && src_.phone->phoneConn() && src_.now() - src_.phone->phoneLastSeen.load() < kSendableFor;
}

uint32_t MenuBar::vdispDisplayID() const {
    if (!src_.displays) return 0;
    for (uint32_t id : src_.displays->activeDisplays(16))
        if (src_.displays->vendorNumber(id) == platform::kVirtualVendor || src_.displays->isAgentVirtual(id)) return id;
    return 0;
}

void MenuBar::tick() {
    const int64_t frames = src_.frameCount ? src_.frameCount() : 0;
    const double now = src_.now();
    if (now - fpsAt_ > 0) fps_ = static_cast<double>(frames - fpsFrames_) / (now - fpsAt_);
    fpsFrames_ = frames;
    fpsAt_ = now;
    setIcon(connected());
    if (menuOpen_) refreshStatus();
}

void MenuBar::refreshStatus() {
    const bool on = connected();
    if (on) setDotted(phoneItem_, kGreen, phoneLine(true, src_.phone->phoneName()));
    else setDotted(phoneItem_, kTertiary, phoneLine(false, ""));

    DetailFacts f;
    f.connected = on;
    f.hasVideoTarget = src_.hasVideoTarget && src_.hasVideoTarget();
    f.fps = fps_;
    f.vdispAlive = src_.vdispAlive && src_.vdispAlive();
    if (src_.displays) {
        if (f.connected && f.hasVideoTarget) {
            const uint32_t cap = src_.capturingDisplay ? src_.capturingDisplay() : 0;
            f.capturedSize = logicalSize(cap, cap ? src_.displays->bounds(cap) : platform::Rect{});
        } else if (f.vdispAlive) {
            const uint32_t vd = vdispDisplayID();
            f.vdispSize = logicalSize(vd, vd ? src_.displays->bounds(vd) : platform::Rect{});
        }
    }
    setTitle(detailItem_, detailLine(f));
    setSensitive(disconnectItem_, on || f.vdispAlive);
    refreshFile();
}

void MenuBar::refreshFile() {
    auto [busy, text] = src_.fileSendStatus ? src_.fileSendStatus() : std::pair<bool, std::string>{false, ""};
    setTitle(sendFileItem_, text.empty() ? std::string(kSendFile) : text);
    setSensitive(sendFileItem_, !busy && freshConnection());
    setShown(cancelFileItem_, busy);
    const std::string in = src_.fileInStatus ? src_.fileInStatus() : "";
    if (!in.empty()) setTitle(recvFileItem_, in);
    setShown(recvFileItem_, !in.empty());
}

void MenuBar::refreshPermissions() {
    const CapabilityLine input = inputControlLine(src_.inputControl && src_.inputControl(), src_.platformName);
    const CapabilityLine screen = screenCaptureLine(src_.screenCapture && src_.screenCapture(), src_.platformName);
    setTitle(axItem_, input.title);
    setTitle(screenItem_, screen.title);
    gtk_widget_set_tooltip_text(axItem_, input.hint.empty() ? nullptr : input.hint.c_str());
    gtk_widget_set_tooltip_text(screenItem_, screen.hint.empty() ? nullptr : screen.hint.c_str());
}

void MenuBar::refreshPaired() {
    GList* old = gtk_container_get_children(GTK_CONTAINER(pairedMenu_));
    for (GList* l = old; l; l = l->next) gtk_widget_destroy(GTK_WIDGET(l->data));
    g_list_free(old);
    const auto phones = src_.pairedPhones ? src_.pairedPhones() : std::vector<PairedPhone>{};
    if (phones.empty()) {
        GtkWidget* none = gtk_menu_item_new_with_label("None");
        gtk_widget_set_sensitive(none, FALSE);
        gtk_menu_shell_append(GTK_MENU_SHELL(pairedMenu_), none);
        gtk_widget_show(none);
        return;
    }
    for (const auto& p : phones) {
        GtkWidget* it = gtk_menu_item_new_with_label(pairedTitle(p.name, p.pairedAt).c_str());
        g_object_set_data_full(G_OBJECT(it), "vm-phone-id", g_strdup(p.id.c_str()), g_free);
        g_signal_connect(it, "activate", G_CALLBACK(+[](GtkMenuItem* mi, gpointer self) {
                             const char* id = static_cast<const char*>(g_object_get_data(G_OBJECT(mi), "vm-phone-id"));
                             static_cast<MenuBar*>(self)->unpairTapped(id ? id : "");
                         }),
                         this);
        gtk_menu_shell_append(GTK_MENU_SHELL(pairedMenu_), it);
        gtk_widget_show(it);
    }
}

void MenuBar::menuWillOpen() {
    refreshPaired();
    const std::string note = act_.updateNote ? act_.updateNote() : "";
    setTitle(updateItem_, note.empty() ? "Check for Updates…" : note);
    setSensitive(updateItem_, note.empty() && act_.checkForUpdates && act_.updaterPresent && act_.updaterPresent());
    menuOpen_ = true;
    refreshStatus();
    refreshPermissions();
}

void MenuBar::menuDidClose() {
    // With a StatusNotifierItem the menu stays "open": its host never says.
    if (item_ && item_->notifierItem()) return;
    menuOpen_ = false;
}

void MenuBar::sendToCursor(const std::string& text) { vm::sendToCursor(inbox_, text); }

void MenuBar::setIcon(bool connected) {
    const bool pending = pairingID_.has_value();
    if (iconConnected_ && *iconConnected_ == connected && iconPending_ == pending) return;
    iconConnected_ = connected;
    iconPending_ = pending;
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    for (const char* name : {pending ? kIconPending : connected ? kIconConnected : kIconIdle, kIconIdle, kIconLast}) {
        if (!gtk_icon_theme_has_icon(theme, name)) continue;
        iconName_ = name;
        if (item_) item_->setIcon(name);
        return;
    }
}

void MenuBar::showPairing(int id, const std::string& name, const std::string& code) {
    if (pairingID_) hidePairing(*pairingID_);
    pairingID_ = id;

    GtkWidget* title = gtk_menu_item_new_with_label((name + " wants to connect").c_str());
    gtk_widget_set_sensitive(title, FALSE);
    GtkWidget* codeItem = gtk_menu_item_new_with_label("");
    gtk_label_set_markup(labelOf(codeItem),
                         ("Code  <span size='15pt' weight='bold' font_features='tnum'>" + escaped(code) + "</span>").c_str());
    // Drawn in the label colour (not greyed) so the code reads clearly; it does nothing.
    gtk_widget_set_margin_start(gtk_bin_get_child(GTK_BIN(codeItem)), 14);
    GtkWidget* allow = gtk_menu_item_new_with_label("Allow");
    gtk_widget_set_margin_start(gtk_bin_get_child(GTK_BIN(allow)), 14);
    g_signal_connect(allow, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer self) {
                         static_cast<MenuBar*>(self)->pairAllow();
                     }),
                     this);
    GtkWidget* deny = gtk_menu_item_new_with_label("Deny");
    gtk_widget_set_margin_start(gtk_bin_get_child(GTK_BIN(deny)), 14);
    g_signal_connect(deny, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer self) {
                         static_cast<MenuBar*>(self)->pairDeny();
                     }),
                     this);
    GtkWidget* sep = gtk_separator_menu_item_new();
    pairingItems_ = {title, codeItem, allow, deny, sep};
    int at = pairingIndex_;
    for (GtkWidget* w : pairingItems_) {
        gtk_menu_shell_insert(GTK_MENU_SHELL(menu_), w, at++);
        gtk_widget_show(w);
    }

    // The panel's buttons reach the menu bar only while it exists.
    std::weak_ptr<MenuBar*> weak = self_;
    pairPanel_ = std::make_unique<PairPanel>(
        name, code,
        [weak] {
            if (auto me = weak.lock()) (*me)->pairAllow();
        },
        [weak] {
            if (auto me = weak.lock()) (*me)->pairDeny();
        });
    pairPanel_->show();
    setIcon(connected());
}

void MenuBar::hidePairing(int id) {
    if (!pairingID_ || *pairingID_ != id) return;
    for (GtkWidget* w : pairingItems_) gtk_widget_destroy(w);
    pairingItems_.clear();
    pairingID_.reset();
    pairPanel_.reset();
    setIcon(connected());
}

void MenuBar::pairAllow() {
    if (pairingID_) sendToCursor("PAIROK " + std::to_string(*pairingID_) + "\n");
}

void MenuBar::pairDeny() {
    if (pairingID_) sendToCursor("PAIRNO " + std::to_string(*pairingID_) + "\n");
}

void MenuBar::disconnect() {
    sendToCursor("R 0\nBYE 0\nKICK 0\n");
    iconConnected_.reset();
}

void MenuBar::sendFile() {
    if (!freshConnection()) {
        alert("iPhone not connected", "Open Vellomark on your iPhone and connect to this Mac first.");
        return;
    }
    const std::string name = src_.phone->phoneName();
    GtkWidget* dlg = gtk_file_chooser_dialog_new(("Choose a file to send to " + (name.empty() ? "your iPhone" : name)).c_str(),
                                                 nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                                 GTK_RESPONSE_CANCEL, "Send", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dlg), FALSE);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dlg), TRUE);
    gtk_window_set_keep_above(GTK_WINDOW(dlg), TRUE);
    auto* weak = new std::weak_ptr<MenuBar*>(self_);
    g_signal_connect_data(
        dlg, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
            auto* w = static_cast<std::weak_ptr<MenuBar*>*>(data);
            if (response == GTK_RESPONSE_ACCEPT) {
                // Symbolic links resolve to the file they name, as an alias would.
                gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
                if (auto me = w->lock(); me && path) {
                    gchar* real = realpath(path, nullptr);
                    (*me)->sendChosenFile(real ? real : path);
                    free(real);
                }
                g_free(path);
            }
            gtk_widget_destroy(GTK_WIDGET(d));
        }),
        weak, [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<MenuBar*>*>(data); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dlg));
}

void MenuBar::sendChosenFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (auto line = sendFileLine(path, static_cast<uint64_t>(st.st_size))) {
        sendToCursor(*line);
        return;
    }
    alert("File too large", "Files up to " + fileSizeText(kMaxSendBytes) + " can be sent.");
}

void MenuBar::cancelFile() { sendToCursor("FILECANCEL"); }

void MenuBar::revealDownloads() { revealInFileManager(src_.receivedDir); }

void MenuBar::revealFile(const std::string& path) { revealInFileManager(path); }

void MenuBar::unpairTapped(const std::string& phoneID) {
    std::string name = "iPhone";
    if (src_.pairedPhones)
        for (const auto& p : src_.pairedPhones())
            if (p.id == phoneID) name = p.name;
    std::weak_ptr<MenuBar*> weak = self_;
    confirm("Unpair " + name + "?", "This iPhone will be disconnected and must be paired again to use this Mac.",
            "Unpair", [weak, phoneID] {
                if (auto me = weak.lock()) (*me)->sendToCursor("UNPAIR " + phoneID);
            });
}

void MenuBar::checkUpdates() {
    if (act_.checkForUpdates) act_.checkForUpdates();
}

void MenuBar::confirmUninstall() {
    if (!act_.uninstall) return;
    auto run = act_.uninstall;
    confirm("Uninstall Vellomark?",
            "This removes the Vellomark Helper, its login item, paired iPhones, logs and privacy permissions from "
            "this Mac. Delete the iPhone app separately.",
            "Uninstall", run);
}

void MenuBar::quit() {
    if (act_.quit) act_.quit();
}

void MenuBar::alert(const std::string& message, const std::string& detail) {
    GtkWidget* dlg = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_WARNING,
                                            GTK_BUTTONS_OK, "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dlg), "%s", detail.c_str());
    gtk_window_set_title(GTK_WINDOW(dlg), "Vellomark");
    gtk_window_set_keep_above(GTK_WINDOW(dlg), TRUE);
    g_signal_connect(dlg, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_window_present(GTK_WINDOW(dlg));
}

void MenuBar::confirm(const std::string& message, const std::string& detail, const std::string& button,
                      std::function<void()> onYes) {
    GtkWidget* dlg = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_QUESTION,
                                            GTK_BUTTONS_NONE, "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dlg), "%s", detail.c_str());
    gtk_window_set_title(GTK_WINDOW(dlg), "Vellomark");
    gtk_window_set_keep_above(GTK_WINDOW(dlg), TRUE);
    gtk_dialog_add_button(GTK_DIALOG(dlg), "Cancel", GTK_RESPONSE_CANCEL);
    GtkWidget* yes = gtk_dialog_add_button(GTK_DIALOG(dlg), button.c_str(), GTK_RESPONSE_ACCEPT);
    gtk_style_context_add_class(gtk_widget_get_style_context(yes), "destructive-action");
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_CANCEL);
    auto* fn = new std::function<void()>(std::move(onYes));
    g_signal_connect_data(
        dlg, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
            auto yesFn = *static_cast<std::function<void()>*>(data);
            gtk_widget_destroy(GTK_WIDGET(d));
            if (response == GTK_RESPONSE_ACCEPT && yesFn) yesFn();
        }),
        fn, [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dlg));
}

}  // namespace vm::ui
