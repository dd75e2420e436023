#pragma once
// Reading another process's GTK widgets through the accessibility bus (AT-SPI):
// what a screen reader sees, so the tests check the texts a user meets.
#include <optional>
#include <string>
#include <vector>

namespace vm::test {

struct Widget {
    std::string role;  // AT-SPI role name: "menu item", "separator", "push button", "label" …
    std::string name;
    bool enabled = false;
    bool showing = false;
    int x = 0, y = 0, width = 0, height = 0;  // on the screen
    int centreX() const { return x + width / 2; }
    int centreY() const { return y + height / 2; }
};

// Connects to the accessibility bus of this session (DBUS_SESSION_BUS_ADDRESS).
void atspiStart();

// The visible items of the open popup menu of application `app`, in order;
// separators are named "—". Empty when no menu is showing.
std::vector<Widget> openMenuItems(const std::string& app);

// The first showing widget of `app` with this role whose name is `name` (or
// contains it, with `partial`), inside a top-level window titled `window`.
std::optional<Widget> findWidget(const std::string& app, const std::string& window, const std::string& role,
                                 const std::string& name, bool partial = false);
// Every showing label text inside `window` of `app`, in tree order.
std::vector<std::string> labelsIn(const std::string& app, const std::string& window);
// Whether `app` has a showing top-level window titled `window`.
bool windowShowing(const std::string& app, const std::string& window);

}  // namespace vm::test
