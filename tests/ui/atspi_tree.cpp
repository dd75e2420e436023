#include "ui/atspi_tree.h"

#include <atspi/atspi.h>

#include <functional>

namespace vm::test {

namespace {

std::string str(gchar* s) {
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

Widget describe(AtspiAccessible* a) {
    Widget w;
    w.role = str(atspi_accessible_get_role_name(a, nullptr));
    w.name = str(atspi_accessible_get_name(a, nullptr));
    if (AtspiStateSet* st = atspi_accessible_get_state_set(a)) {
        w.enabled = atspi_state_set_contains(st, ATSPI_STATE_SENSITIVE);
        w.showing = atspi_state_set_contains(st, ATSPI_STATE_SHOWING) && atspi_state_set_contains(st, ATSPI_STATE_VISIBLE);
        g_object_unref(st);
    }
    if (AtspiComponent* c = atspi_accessible_get_component_iface(a)) {
        if (AtspiRect* r = atspi_component_get_extents(c, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
            w.x = r->x, w.y = r->y, w.width = r->width, w.height = r->height;
            g_free(r);
        }
        g_object_unref(c);
    }
    return w;
}

// Calls `fn` on each child; stops when it returns false.
void eachChild(AtspiAccessible* a, const std::function<bool(AtspiAccessible*)>& fn) {
    const int n = atspi_accessible_get_child_count(a, nullptr);
    for (int i = 0; i < n; ++i) {
        AtspiAccessible* c = atspi_accessible_get_child_at_index(a, i, nullptr);
        if (!c) continue;
        const bool more = fn(c);
        g_object_unref(c);
        if (!more) return;
    }
}

AtspiAccessible* findApp(const std::string& app) {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    AtspiAccessible* found = nullptr;
    atspi_accessible_clear_cache(desktop);
    eachChild(desktop, [&](AtspiAccessible* c) {
        if (str(atspi_accessible_get_name(c, nullptr)) != app) return true;
        found = static_cast<AtspiAccessible*>(g_object_ref(c));
        return false;
    });
    g_object_unref(desktop);
    return found;
}

void walk(AtspiAccessible* a, const std::function<void(AtspiAccessible*)>& fn, int depth = 0) {
    if (depth > 30) return;
    fn(a);
    eachChild(a, [&](AtspiAccessible* c) {
        walk(c, fn, depth + 1);
        return true;
    });
}

// Runs `fn` on the showing top-level windows of `app` titled `window` ("" for any).
void eachWindow(const std::string& app, const std::string& window, const std::function<void(AtspiAccessible*)>& fn) {
    AtspiAccessible* a = findApp(app);
    if (!a) return;
    atspi_accessible_clear_cache(a);
    eachChild(a, [&](AtspiAccessible* w) {
        const Widget d = describe(w);
        if (d.showing && (window.empty() || d.name == window)) fn(w);
        return true;
    });
    g_object_unref(a);
}

}  // namespace

void atspiStart() {
    static bool started = false;
    if (!started) atspi_init();
    started = true;
}

std::vector<Widget> openMenuItems(const std::string& app) {
    std::vector<Widget> items;
    eachWindow(app, "", [&](AtspiAccessible* win) {
        if (!items.empty()) return;
        eachChild(win, [&](AtspiAccessible* c) {
            const Widget m = describe(c);
            if (m.role != "menu" || !m.showing) return true;
            eachChild(c, [&](AtspiAccessible* it) {
                Widget w = describe(it);
                if (!w.showing) return true;
                if (w.role == "separator") w.name = "—";
                items.push_back(std::move(w));
                return true;
            });
            return false;
        });
    });
    return items;
}

std::optional<Widget> findWidget(const std::string& app, const std::string& window, const std::string& role,
                                 const std::string& name, bool partial) {
    std::optional<Widget> found;
    eachWindow(app, window, [&](AtspiAccessible* win) {
        walk(win, [&](AtspiAccessible* a) {
            if (found) return;
            Widget w = describe(a);
            if (w.role == role && w.showing && (partial ? w.name.find(name) != std::string::npos : w.name == name))
                found = std::move(w);
        });
    });
    return found;
}

std::vector<std::string> labelsIn(const std::string& app, const std::string& window) {
    std::vector<std::string> out;
    eachWindow(app, window, [&](AtspiAccessible* win) {
        walk(win, [&](AtspiAccessible* a) {
            const Widget w = describe(a);
            if (w.role == "label" && w.showing) out.push_back(w.name);
        });
    });
    return out;
}

bool windowShowing(const std::string& app, const std::string& window) {
    bool seen = false;
    eachWindow(app, window, [&](AtspiAccessible*) { seen = true; });
    return seen;
}

}  // namespace vm::test
