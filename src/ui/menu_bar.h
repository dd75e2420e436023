#pragma once
// The status menu and the pairing approval. The menu only reads shared state to
// draw itself; everything that changes the agent's state is a text line pushed
// into the control inbox through sendToCursor, the same path the phone's lines
// and vellomark-ctl take. Everything here runs on the main thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pairing/pair_store.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkAccelGroup GtkAccelGroup;

namespace vm {
class CtlInbox;
class PhoneState;
namespace platform {
class Displays;
}
}  // namespace vm

namespace vm::ui {

class PairPanel;
class StatusIcon;

// What the menu's actions reach beyond the inbox; the composition root fills them.
// An absent callback disables its item.
struct MenuActions {
    std::function<bool()> updaterPresent;
    std::function<void()> checkForUpdates;
    // Shown in place of "Check for Updates…" (disabled) when not empty, e.g. when the
    // system's package manager brings the updates.
    std::function<std::string()> updateNote;
    std::function<void()> uninstall;  // does not return
    std::function<void()> quit;       // does not return
};

// What the menu reads to draw itself.
struct MenuSources {
    std::function<double()> now;  // seconds since 1970
    const PhoneState* phone = nullptr;
    platform::Displays* displays = nullptr;
    std::function<std::vector<PairedPhone>()> pairedPhones;
    std::function<bool()> hasVideoTarget;
    std::function<int64_t()> frameCount;
    std::function<uint32_t()> capturingDisplay;
    std::function<bool()> vdispAlive;
    std::function<std::pair<bool, std::string>()> fileSendStatus;
    std::function<std::string()> fileInStatus;
    // What the backend can do: post input, capture the screen.
    std::function<bool()> inputControl;
    std::function<bool()> screenCapture;
    std::string receivedDir;
    std::string platformName;
    std::string version;
    std::string iconDir;  // an extra icon theme folder (a build tree); empty for the installed theme
};

class MenuBar {
public:
    static constexpr double kTickSeconds = 2.0;
    static constexpr double kFileRefreshSeconds = 0.5;

    MenuBar(CtlInbox& inbox, MenuSources sources, MenuActions actions);
    ~MenuBar();
    MenuBar(const MenuBar&) = delete;
    MenuBar& operator=(const MenuBar&) = delete;

    // Builds the status item and its menu and starts the timers.
    void install();

    void tick();
    void refreshStatus();
    void refreshFile();
    void refreshPermissions();
    void refreshPaired();
    void menuWillOpen();
    void menuDidClose();

    // Splits `text` at line feeds and pushes each line into the inbox as a local message.
    void sendToCursor(const std::string& text);
    void setIcon(bool connected);
    void showPairing(int id, const std::string& name, const std::string& code);
    void hidePairing(int id);

    // Actions.
    void disconnect();
    void sendFile();
    void sendChosenFile(const std::string& path);
    void cancelFile();
    void revealDownloads();
    void revealFile(const std::string& path);
    void unpairTapped(const std::string& phoneID);
    void checkUpdates();
    void confirmUninstall();
    void quit();
    void pairAllow();
    void pairDeny();

    bool connected() const;
    // Among up to 16 active displays, the first that is the agent's virtual one; 0 if none.
    uint32_t vdispDisplayID() const;
    GtkWidget* menu() const { return menu_; }
    PairPanel* pairPanel() const { return pairPanel_.get(); }
    std::optional<int> pairingID() const { return pairingID_; }
    const std::string& iconName() const { return iconName_; }

private:
    GtkWidget* addItem(const std::string& text, void (MenuBar::*action)(), int indent = 0);
    void addSeparator();
    void alert(const std::string& message, const std::string& detail);
    void confirm(const std::string& message, const std::string& detail, const std::string& button,
                 std::function<void()> onYes);
    bool freshConnection() const;

    CtlInbox& inbox_;
    MenuSources src_;
    MenuActions act_;

    GtkWidget* menu_ = nullptr;
    GtkWidget* phoneItem_ = nullptr;
    GtkWidget* detailItem_ = nullptr;
    GtkWidget* axItem_ = nullptr;
    GtkWidget* screenItem_ = nullptr;
    GtkWidget* pairedItem_ = nullptr;
    GtkWidget* pairedMenu_ = nullptr;
    GtkWidget* disconnectItem_ = nullptr;
    GtkWidget* sendFileItem_ = nullptr;
    GtkWidget* cancelFileItem_ = nullptr;
    GtkWidget* recvFileItem_ = nullptr;
    GtkWidget* updateItem_ = nullptr;
    GtkWidget* uninstallItem_ = nullptr;
    GtkWidget* quitItem_ = nullptr;
    GtkAccelGroup* accel_ = nullptr;
    std::unique_ptr<StatusIcon> item_;

    int pairingIndex_ = 0;
    std::vector<GtkWidget*> pairingItems_;
    std::optional<int> pairingID_;
    std::unique_ptr<PairPanel> pairPanel_;

    int64_t fpsFrames_ = 0;
    double fpsAt_ = 0;
    double fps_ = 0;
    bool menuOpen_ = false;
    std::optional<bool> iconConnected_;  // none: not drawn yet
    bool iconPending_ = false;
    std::string iconName_;
    unsigned tickTimer_ = 0;
    unsigned fileTimer_ = 0;
    // Dialogs hold this weakly; it goes with the menu bar.
    std::shared_ptr<MenuBar*> self_ = std::make_shared<MenuBar*>(this);
};

}  // namespace vm::ui
