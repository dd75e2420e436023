/* vm-wayland-recorder: one undecorated GTK window of one colour on Wayland that
 * writes down every input event it receives, for the GNOME tests to compare with
 * what the agent posted. It takes text from the compositor's input method too.
 *
 *   vm-wayland-recorder --app-id ID --title T --colour RRGGBB --size WxH --log FILE
 *
 * Once the window is mapped and has painted, stdout gets "ready". One line per
 * event goes to FILE, flushed at once (X Y are window coordinates, STATE the
 * decimal GDK modifier mask, TEXT the typed UTF-8 as hex, "-" when none):
 *   key down KEYCODE KEYNAME TEXT STATE
 *   key up KEYCODE KEYNAME - STATE
 *   button down N X Y STATE
 *   button up N X Y
 *   motion X Y
 *   scroll DX DY
 *   text HEX          (committed by the input method)
 *   focus in | focus out
 *   paste LEN         (Control+V: the clipboard text, written to FILE.paste first)
 *   paste none
 */
#include <gtk/gtk.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static FILE* logFile;
static const char* logPath;
static GdkRGBA colour;
static GtkIMContext* im;
static gboolean announced;

static void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(logFile, fmt, ap);
    va_end(ap);
    fputc('\n', logFile);
    fflush(logFile);
}

static char* hex(const char* s) {
    size_t n = strlen(s);
    char* out = g_malloc(n * 2 + 2);
    if (n == 0) return strcpy(out, "-");
    for (size_t i = 0; i < n; ++i) sprintf(out + 2 * i, "%02x", (unsigned char)s[i]);
    return out;
}

static gboolean draw(GtkWidget* w, cairo_t* cr, gpointer data) {
    (void)w, (void)data;
    gdk_cairo_set_source_rgba(cr, &colour);
    cairo_paint(cr);
    if (!announced) {
        announced = TRUE;
        printf("ready\n");
        fflush(stdout);
    }
    return FALSE;
}

static void pasted(GtkClipboard* cb, const gchar* text, gpointer data) {
    (void)cb, (void)data;
    if (!text) {
        say("paste none");
        return;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s.paste", logPath);
    FILE* f = fopen(path, "wb");
    if (f) {
        fwrite(text, 1, strlen(text), f);
        fclose(f);
    }
    say("paste %zu", strlen(text));
}

static gboolean key(GtkWidget* w, GdkEventKey* e, gpointer data) {
    (void)w, (void)data;
    const gboolean down = e->type == GDK_KEY_PRESS;
    const char* name = gdk_keyval_name(e->keyval);
    if (down) {
        gunichar c = gdk_keyval_to_unicode(e->keyval);
        char text[8] = {0};
        if (c >= 0x20 && !(e->state & GDK_CONTROL_MASK)) g_unichar_to_utf8(c, text);
        char* h = hex(text);
        say("key down %u %s %s %u", e->hardware_keycode, name ? name : "?", h, e->state);
        g_free(h);
        if ((e->state & GDK_CONTROL_MASK) && (e->keyval == GDK_KEY_v || e->keyval == GDK_KEY_V))
            gtk_clipboard_request_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), pasted, NULL);
    } else {
        say("key up %u %s - %u", e->hardware_keycode, name ? name : "?", e->state);
    }
    return TRUE;
}

static gboolean button(GtkWidget* w, GdkEventButton* e, gpointer data) {
    (void)data;
    if (e->type == GDK_BUTTON_PRESS) {
        gtk_widget_grab_focus(w);
        say("button down %u %d %d %u", e->button, (int)e->x, (int)e->y, e->state);
    } else if (e->type == GDK_BUTTON_RELEASE) {
        say("button up %u %d %d", e->button, (int)e->x, (int)e->y);
    }
    return TRUE;
}

static gboolean motion(GtkWidget* w, GdkEventMotion* e, gpointer data) {
    (void)w, (void)data;
    say("motion %d %d", (int)e->x, (int)e->y);
    return TRUE;
}

static gboolean scroll(GtkWidget* w, GdkEventScroll* e, gpointer data) {
    (void)w, (void)data;
    double dx = 0, dy = 0;
    if (e->direction == GDK_SCROLL_SMOOTH) gdk_event_get_scroll_deltas((GdkEvent*)e, &dx, &dy);
    else dy = e->direction == GDK_SCROLL_UP ? -1 : e->direction == GDK_SCROLL_DOWN ? 1 : 0;
    say("scroll %.1f %.1f", dx, dy);
    return TRUE;
}

static void committed(GtkIMContext* c, const gchar* text, gpointer data) {
    (void)c, (void)data;
    char* h = hex(text);
    say("text %s", h);
    g_free(h);
}

static gboolean focus(GtkWidget* w, GdkEventFocus* e, gpointer data) {
    (void)w, (void)data;
    if (e->in) gtk_im_context_focus_in(im);
    else gtk_im_context_focus_out(im);
    say(e->in ? "focus in" : "focus out");
    return FALSE;
}

static void realized(GtkWidget* w, gpointer data) {
    (void)data;
    gtk_im_context_set_client_window(im, gtk_widget_get_window(w));
}

int main(int argc, char** argv) {
    const char *appId = "dev.brisval.VmRecorder", *title = "Recorder", *col = "33CC66", *size = "500x300";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--app-id")) appId = argv[i + 1];
        else if (!strcmp(argv[i], "--title")) title = argv[i + 1];
        else if (!strcmp(argv[i], "--colour")) col = argv[i + 1];
        else if (!strcmp(argv[i], "--size")) size = argv[i + 1];
        else if (!strcmp(argv[i], "--log")) logPath = argv[i + 1];
    }
    int width = 0, height = 0;
    if (!logPath || sscanf(size, "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
        fprintf(stderr, "usage: vm-wayland-recorder --app-id ID --title T --colour RRGGBB --size WxH --log FILE\n");
        return 2;
    }
    logFile = fopen(logPath, "a");
    if (!logFile) return 1;
    gdk_set_allowed_backends("wayland");
    if (!gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "vm-wayland-recorder: no Wayland display\n");
        return 1;
    }
    g_set_prgname(appId); /* the Wayland app id: the shell finds ID.desktop by it */
    char rgb[16];
    snprintf(rgb, sizeof rgb, "#%s", col);
    gdk_rgba_parse(&colour, rgb);

    GtkWidget* win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(win), title);
    gtk_window_set_decorated(GTK_WINDOW(win), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(win), width, height);
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_can_focus(area, TRUE);
    gtk_widget_add_events(area, GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK | GDK_BUTTON_PRESS_MASK |
                                    GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK | GDK_SMOOTH_SCROLL_MASK |
                                    GDK_FOCUS_CHANGE_MASK);
    gtk_container_add(GTK_CONTAINER(win), area);
    im = gtk_im_multicontext_new();
    g_signal_connect(im, "commit", G_CALLBACK(committed), NULL);
    g_signal_connect(area, "realize", G_CALLBACK(realized), NULL);
    g_signal_connect(area, "draw", G_CALLBACK(draw), NULL);
    g_signal_connect(area, "key-press-event", G_CALLBACK(key), NULL);
    g_signal_connect(area, "key-release-event", G_CALLBACK(key), NULL);
    g_signal_connect(area, "button-press-event", G_CALLBACK(button), NULL);
    g_signal_connect(area, "button-release-event", G_CALLBACK(button), NULL);
    g_signal_connect(area, "motion-notify-event", G_CALLBACK(motion), NULL);
    g_signal_connect(area, "scroll-event", G_CALLBACK(scroll), NULL);
    g_signal_connect(area, "focus-in-event", G_CALLBACK(focus), NULL);
    g_signal_connect(area, "focus-out-event", G_CALLBACK(focus), NULL);
    g_signal_connect(win, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    gtk_widget_show_all(win);
    gtk_widget_grab_focus(area);
    gtk_main();
    return 0;
}
