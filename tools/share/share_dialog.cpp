#include "share/share_dialog.h"

#include <gtk/gtk.h>
#include <sys/time.h>

#include <cstdio>
#include <thread>

#include "share/share.h"

namespace vm::share {

namespace {

double nowSeconds() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

struct Sheet {
    GtkWidget* window = nullptr;
    GtkWidget* label = nullptr;
    GtkWidget* spinner = nullptr;
    GtkWidget* button = nullptr;
    ShareResult result;
    int status = 1;
};

void close(Sheet* s) {
    gtk_widget_hide(s->window);
    gtk_main_quit();
}

// Back on the main thread with the outcome.
gboolean finished(gpointer data) {
    auto* s = static_cast<Sheet*>(data);
    if (s->result.ok) {
        s->status = 0;
        close(s);
        return G_SOURCE_REMOVE;
    }
    gtk_spinner_stop(GTK_SPINNER(s->spinner));
    gtk_widget_hide(s->spinner);
    gtk_label_set_text(GTK_LABEL(s->label), s->result.message.c_str());
    gtk_widget_show(s->button);
    gtk_widget_grab_default(s->button);
    gtk_widget_grab_focus(s->button);
    return G_SOURCE_REMOVE;
}

void build(Sheet& s) {
    s.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* win = GTK_WINDOW(s.window);
    gtk_window_set_title(win, "Vellomark");
    gtk_window_set_default_size(win, 380, 110);
    gtk_window_set_resizable(win, FALSE);
    gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(win, GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(win, TRUE);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(s.window), box);
    s.label = gtk_label_new(kTextSending);
    gtk_label_set_line_wrap(GTK_LABEL(s.label), TRUE);
    gtk_label_set_justify(GTK_LABEL(s.label), GTK_JUSTIFY_CENTER);
    gtk_label_set_max_width_chars(GTK_LABEL(s.label), 48);
    gtk_widget_set_margin_top(s.label, 22);
    gtk_widget_set_margin_start(s.label, 20);
    gtk_widget_set_margin_end(s.label, 20);
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_size_new(13 * PANGO_SCALE));
    gtk_label_set_attributes(GTK_LABEL(s.label), attrs);
    pango_attr_list_unref(attrs);
    gtk_box_pack_start(GTK_BOX(box), s.label, FALSE, FALSE, 0);

    s.spinner = gtk_spinner_new();
    gtk_widget_set_halign(s.spinner, GTK_ALIGN_CENTER);
    gtk_widget_set_margin_top(s.spinner, 14);
    gtk_widget_set_size_request(s.spinner, 16, 16);
    gtk_spinner_start(GTK_SPINNER(s.spinner));
    gtk_box_pack_start(GTK_BOX(box), s.spinner, FALSE, FALSE, 0);

    s.button = gtk_button_new_with_label("OK");
    gtk_widget_set_halign(s.button, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(s.button, GTK_ALIGN_END);
    gtk_widget_set_size_request(s.button, 80, -1);
    gtk_widget_set_margin_bottom(s.button, 16);
    gtk_widget_set_margin_top(s.button, 14);
    gtk_widget_set_can_default(s.button, TRUE);
    gtk_box_pack_end(GTK_BOX(box), s.button, FALSE, FALSE, 0);

    g_signal_connect(s.button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer d) { close(static_cast<Sheet*>(d)); }),
                     &s);
    g_signal_connect(s.window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer d) -> gboolean {
                         close(static_cast<Sheet*>(d));
                         return TRUE;
                     }),
                     &s);
    gtk_widget_show_all(s.window);
    gtk_widget_hide(s.button);
}

}  // namespace

int runShareDialog(const std::string& groupDir, const std::vector<std::string>& paths) {
    g_set_prgname("vellomark-share");
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "vellomark-share: no display for the dialog\n");
        return 2;
    }
    Sheet sheet;
    build(sheet);
    // The copying runs beside the sheet, so the spinner keeps turning.
    std::thread work([&sheet, groupDir, paths] {
        sheet.result = shareFiles(groupDir, paths, nowSeconds());
        g_idle_add(finished, &sheet);
    });
    gtk_main();
    work.join();
    gtk_widget_destroy(sheet.window);
    return sheet.status;
}

}  // namespace vm::share
