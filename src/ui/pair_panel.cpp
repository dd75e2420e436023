#include "ui/pair_panel.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

namespace vm::ui {

namespace {

GtkWidget* label(const std::string& markup, bool dim) {
    GtkWidget* l = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(l), markup.c_str());
    gtk_label_set_justify(GTK_LABEL(l), GTK_JUSTIFY_CENTER);
    gtk_widget_set_halign(l, GTK_ALIGN_CENTER);
    if (dim) gtk_style_context_add_class(gtk_widget_get_style_context(l), "dim-label");
    return l;
}

std::string escaped(const std::string& text) {
    gchar* e = g_markup_escape_text(text.c_str(), -1);
    std::string out = e;
    g_free(e);
    return out;
}

// Keys never reach Allow: Return, Enter and Escape deny, and the buttons take no focus.
gboolean onKey(GtkWidget*, GdkEventKey* ev, gpointer self) {
    switch (ev->keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_ISO_Enter:
        case GDK_KEY_Escape:
            static_cast<PairPanel*>(self)->denyClicked();
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

PairPanel::PairPanel(const std::string& name, const std::string& code, std::function<void()> allow,
                     std::function<void()> deny)
    : onAllow(std::move(allow)), onDeny(std::move(deny)) {
    GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    window_ = w;
    GtkWindow* win = GTK_WINDOW(w);
    gtk_window_set_title(win, "Vellomark");
    gtk_window_set_default_size(win, kWidth, kHeight);
    gtk_window_set_resizable(win, FALSE);
    // No title bar: nothing to close or maximise, only the two answers. A thin frame
    // sets it apart from the windows below.
    gtk_window_set_decorated(win, FALSE);
    gtk_window_set_deletable(win, FALSE);
    gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_keep_above(win, TRUE);
    gtk_window_stick(win);
    gtk_window_set_skip_taskbar_hint(win, TRUE);
    gtk_window_set_skip_pager_hint(win, TRUE);
    // The user's app keeps the focus; a click on the panel still gives it the keys.
    gtk_window_set_focus_on_map(win, FALSE);
    gtk_window_set_position(win, GTK_WIN_POS_CENTER);
    gtk_window_set_role(win, "vellomark-pairing");

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "window { border: 1px solid alpha(black, 0.35); }", -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(w), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_widget_set_margin_top(box, 18);
    gtk_widget_set_margin_start(box, 20);
    gtk_widget_set_margin_bottom(box, 16);
    gtk_widget_set_margin_end(box, 20);
    gtk_container_add(GTK_CONTAINER(w), box);

    gtk_box_pack_start(GTK_BOX(box),
                       label("<span size='13pt' weight='medium'>" + escaped(name + " wants to connect") + "</span>",
                             false),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(
        GTK_BOX(box),
        label("<span size='40pt' weight='semibold' font_features='tnum'>" + escaped(code) + "</span>", false), FALSE,
        FALSE, 0);
    GtkWidget* hint = label("<span size='11pt'>Allow only if this code matches the one on your iPhone.</span>", true);
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(hint), 46);
    gtk_box_pack_start(GTK_BOX(box), hint, FALSE, FALSE, 0);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_halign(buttons, GTK_ALIGN_CENTER);
    gtk_widget_set_margin_top(buttons, 14 - 8);  // 14 after the hint, the box gives 8
    GtkWidget* denyButton = gtk_button_new_with_label("Deny");
    GtkWidget* allowButton = gtk_button_new_with_label("Allow");
    for (GtkWidget* b : {denyButton, allowButton}) {
        gtk_widget_set_can_focus(b, FALSE);
        gtk_widget_set_size_request(b, 96, -1);
        gtk_box_pack_start(GTK_BOX(buttons), b, FALSE, FALSE, 0);
    }
    gtk_style_context_add_class(gtk_widget_get_style_context(allowButton), "suggested-action");
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);

    g_signal_connect(denyButton, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                         static_cast<PairPanel*>(self)->denyClicked();
                     }),
                     this);
    g_signal_connect(allowButton, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                         static_cast<PairPanel*>(self)->allowClicked();
                     }),
                     this);
    g_signal_connect(w, "key-press-event", G_CALLBACK(onKey), this);
    // The window manager's close is a refusal; the window itself goes when the request ends.
    g_signal_connect(w, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                         static_cast<PairPanel*>(self)->denyClicked();
                         return TRUE;
                     }),
                     this);
}

PairPanel::~PairPanel() {
    if (window_) gtk_widget_destroy(window_);
}

void PairPanel::show() {
    // Mapped above the others, never presented: presenting would take the focus.
    gtk_widget_show_all(window_);
}

}  // namespace vm::ui
