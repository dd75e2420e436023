/* vm-x11-recorder: one plain window of one colour that writes down every input
 * event it receives, for the X11 tests to compare with what the agent posted.
 *
 *   vm-x11-recorder --title T --class C [--instance I] --colour RRGGBB
 *                   [--pid-prop | --no-pid] [--type TYPE] --geometry WxH+X+Y
 *                   --log FILE [--icon]
 *
 * _NET_WM_PID is set unless --no-pid; --type sets _NET_WM_WINDOW_TYPE_<TYPE>
 * (e.g. UTILITY); WM_CLASS is "I" (default: C in lower case) and "C"; --icon adds
 * a 32x32 _NET_WM_ICON of the window's colour. Once the window is shown and in the
 * window manager's client list, stdout gets "ready WINDOWID" (decimal). One line per
 * event goes to FILE, flushed at once (X Y are root coordinates, STATE the decimal
 * modifier/button mask, TEXT the typed UTF-8 as hex, "-" when none):
 *   key down KEYCODE KEYSYM TEXT STATE
 *   key up KEYCODE KEYSYM - STATE
 *   button down N X Y STATE
 *   button up N X Y
 *   motion X Y
 *   paste LEN        (Control+V: the CLIPBOARD as UTF8_STRING, written to FILE.paste first)
 *   paste none       (the clipboard owner refused, or there is none)
 */
#define _POSIX_C_SOURCE 200809L
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <ctype.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static FILE* logFile;
static const char* logPath;

static void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(logFile, fmt, ap);
    va_end(ap);
    fputc('\n', logFile);
    fflush(logFile);
}

static void usage(void) {
    fprintf(stderr,
            "usage: vm-x11-recorder --title T --class C [--instance I] --colour RRGGBB [--pid-prop|--no-pid]\n"
            "                       [--type TYPE] --geometry WxH+X+Y --log FILE [--icon]\n");
    exit(2);
}

/* The clipboard text as it arrives (in pieces when the owner sends it INCR). */
static char* pasted;
static size_t pastedLen;
static int incr;

static void append(const unsigned char* data, size_t n) {
    char* grown = realloc(pasted, pastedLen + n + 1);
    if (!grown) return;
    pasted = grown;
    memcpy(pasted + pastedLen, data, n);
    pastedLen += n;
}

static void pasteDone(void) {
    char path[4096];
    snprintf(path, sizeof path, "%s.paste", logPath);
    FILE* f = fopen(path, "wb");
    if (f) {
        if (pastedLen) fwrite(pasted, 1, pastedLen, f);
        fclose(f);
    }
    say("paste %zu", pastedLen);
    free(pasted);
    pasted = NULL;
    pastedLen = 0;
    incr = 0;
}

/* Whether the window manager lists `w` among its clients yet (always, without a window manager). */
static int listed(Display* d, Window w) {
    Atom type = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = NULL;
    Window root = DefaultRootWindow(d);
    if (XGetWindowProperty(d, root, XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False, AnyPropertyType,
                           &type, &format, &n, &after, &data) != Success ||
        n == 0) {
        if (data) XFree(data);
        return 1;
    }
    XFree(data);
    data = NULL;
    int found = 0;
    if (XGetWindowProperty(d, root, XInternAtom(d, "_NET_CLIENT_LIST", False), 0, 1 << 16, False, XA_WINDOW, &type,
                           &format, &n, &after, &data) == Success &&
        data && format == 32) {
        for (unsigned long i = 0; i < n; ++i)
            if ((Window)((long*)data)[i] == w) found = 1;
    }
    if (data) XFree(data);
    return found;
}

/* Reads and deletes the property; 1 when it held data, 0 when it was empty. */
static int takeProperty(Display* d, Window w, Atom prop, Atom* type) {
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = NULL;
    if (XGetWindowProperty(d, w, prop, 0, 0x1FFFFFFF, True, AnyPropertyType, type, &format, &n, &after, &data) !=
        Success)
        return 0;
    int had = n > 0;
    if (had && format == 8 && *type != XInternAtom(d, "INCR", False)) append(data, n);
    if (data) XFree(data);
    return had;
}

int main(int argc, char** argv) {
    const char *title = "recorder", *cls = "Recorder", *instance = NULL, *colour = "808080", *geometry = "400x300+0+0";
    const char* type = NULL;
    int setPid = 1, icon = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        int more = i + 1 < argc;
        if (!strcmp(a, "--title") && more)
            title = argv[++i];
        else if (!strcmp(a, "--class") && more)
            cls = argv[++i];
        else if (!strcmp(a, "--instance") && more)
            instance = argv[++i];
        else if ((!strcmp(a, "--colour") || !strcmp(a, "--color")) && more)
            colour = argv[++i];
        else if (!strcmp(a, "--geometry") && more)
            geometry = argv[++i];
        else if (!strcmp(a, "--log") && more)
            logPath = argv[++i];
        else if (!strcmp(a, "--type") && more)
            type = argv[++i];
        else if (!strcmp(a, "--pid-prop"))
            setPid = 1;
        else if (!strcmp(a, "--no-pid"))
            setPid = 0;
        else if (!strcmp(a, "--icon"))
            icon = 1;
        else
            usage();
    }
    if (!logPath) usage();
    logFile = fopen(logPath, "a");
    if (!logFile) {
        perror(logPath);
        return 1;
    }
    char lowered[256];
    if (!instance) {
        snprintf(lowered, sizeof lowered, "%s", cls);
        for (char* p = lowered; *p; ++p) *p = (char)tolower((unsigned char)*p);
        instance = lowered;
    }

    /* UTF-8 text from the input context whatever the caller's locale. */
    if (!setlocale(LC_CTYPE, "C.UTF-8")) setlocale(LC_CTYPE, "");
    XSetLocaleModifiers("@im=none");

    Display* d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "vm-x11-recorder: cannot open display\n");
        return 1;
    }
    int screen = DefaultScreen(d);
    unsigned long rgb = strtoul(colour[0] == '#' ? colour + 1 : colour, NULL, 16) & 0xFFFFFF;
    XColor c = {0};
    c.red = (unsigned short)(((rgb >> 16) & 0xFF) * 257);
    c.green = (unsigned short)(((rgb >> 8) & 0xFF) * 257);
    c.blue = (unsigned short)((rgb & 0xFF) * 257);
    c.flags = DoRed | DoGreen | DoBlue;
    if (!XAllocColor(d, DefaultColormap(d, screen), &c)) c.pixel = rgb;

    int x = 0, y = 0;
    unsigned int width = 400, height = 300;
    XParseGeometry(geometry, &x, &y, &width, &height);

    XSetWindowAttributes attrs;
    memset(&attrs, 0, sizeof attrs);
    attrs.background_pixel = c.pixel;
    attrs.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                       ExposureMask | StructureNotifyMask | PropertyChangeMask | FocusChangeMask;
    Window w = XCreateWindow(d, RootWindow(d, screen), x, y, width, height, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWBackPixel | CWEventMask, &attrs);

    /* The window goes where asked: a user-given position is one the window manager keeps. */
    XSizeHints* size = XAllocSizeHints();
    size->flags = USPosition | USSize;
    size->x = x;
    size->y = y;
    size->width = (int)width;
    size->height = (int)height;
    XWMHints* hints = XAllocWMHints();
    hints->flags = InputHint | StateHint;
    hints->input = True;
    hints->initial_state = NormalState;
    XClassHint* klass = XAllocClassHint();
    klass->res_name = (char*)instance;
    klass->res_class = (char*)cls;
    Xutf8SetWMProperties(d, w, title, title, argv, argc, size, hints, klass);
    XFree(size);
    XFree(hints);
    XFree(klass);

    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8, PropModeReplace, (const unsigned char*)title,
                    (int)strlen(title));
    if (setPid) {
        long pid = (long)getpid();
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        (const unsigned char*)&pid, 1);
    }
    if (type) {
        char name[128];
        snprintf(name, sizeof name, "_NET_WM_WINDOW_TYPE_%s", type);
        for (char* p = name; *p; ++p) *p = (char)toupper((unsigned char)*p);
        Atom t = XInternAtom(d, name, False);
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                        (const unsigned char*)&t, 1);
    }
    if (icon) {
        /* Xlib takes 32-bit properties as longs. */
        static long pixels[2 + 32 * 32];
        pixels[0] = pixels[1] = 32;
        for (int i = 0; i < 32 * 32; ++i) pixels[2 + i] = (long)(0xFF000000UL | rgb);
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                        (const unsigned char*)pixels, 2 + 32 * 32);
    }
    Atom deleteWindow = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, w, &deleteWindow, 1);

    XIM im = XOpenIM(d, NULL, NULL, NULL);
    XIC ic = im ? XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, w, XNFocusWindow, w,
                            NULL)
                : NULL;
    if (ic) XSetICFocus(ic);

    Atom clipboard = XInternAtom(d, "CLIPBOARD", False), incrAtom = XInternAtom(d, "INCR", False);
    Atom pasteProp = XInternAtom(d, "VM_RECORDER_PASTE", False);

    /* "ready" once shown and listed by the window manager, so a test finds it at once. */
    XSelectInput(d, DefaultRootWindow(d), PropertyChangeMask);
    Atom clientList = XInternAtom(d, "_NET_CLIENT_LIST", False);
    XMapWindow(d, w);
    int ready = 0, exposed = 0;
    for (;;) {
        XEvent ev;
        XNextEvent(d, &ev);
        if (XFilterEvent(&ev, None)) continue;
        switch (ev.type) {
            case MappingNotify:
                /* The agent lends spare key codes new symbols to type text beyond the layout. */
                XRefreshKeyboardMapping(&ev.xmapping);
                break;
            case Expose:
                exposed = 1;
                break;
            case KeyPress: {
                char text[256];
                KeySym sym = NoSymbol;
                int n = 0;
                if (ic) {
                    Status st = 0;
                    n = Xutf8LookupString(ic, &ev.xkey, text, sizeof text, &sym, &st);
                    if (st != XLookupChars && st != XLookupBoth) n = 0;
                } else {
                    n = XLookupString(&ev.xkey, text, sizeof text, &sym, NULL);
                }
                char hex[2 * sizeof text + 2] = "-";
                for (int i = 0; i < n && i < (int)sizeof text; ++i)
                    snprintf(hex + 2 * i, 3, "%02x", (unsigned char)text[i]);
                const char* name = sym != NoSymbol ? XKeysymToString(sym) : NULL;
                say("key down %u %s %s %u", ev.xkey.keycode, name ? name : "NoSymbol", hex, ev.xkey.state);
                if ((ev.xkey.state & ControlMask) && XLookupKeysym(&ev.xkey, 0) == XK_v) {
                    free(pasted);
                    pasted = NULL;
                    pastedLen = 0;
                    incr = 0;
                    XConvertSelection(d, clipboard, utf8, pasteProp, w, ev.xkey.time);
                }
                break;
            }
            case KeyRelease: {
                KeySym sym = NoSymbol;
                XLookupString(&ev.xkey, NULL, 0, &sym, NULL);
                const char* name = sym != NoSymbol ? XKeysymToString(sym) : NULL;
                say("key up %u %s - %u", ev.xkey.keycode, name ? name : "NoSymbol", ev.xkey.state);
                break;
            }
            case ButtonPress:
                say("button down %u %d %d %u", ev.xbutton.button, ev.xbutton.x_root, ev.xbutton.y_root,
                    ev.xbutton.state);
                break;
            case ButtonRelease:
                say("button up %u %d %d", ev.xbutton.button, ev.xbutton.x_root, ev.xbutton.y_root);
                break;
            case MotionNotify:
                say("motion %d %d", ev.xmotion.x_root, ev.xmotion.y_root);
                break;
            case SelectionNotify: {
                if (ev.xselection.property == None) {
                    say("paste none");
                    break;
                }
                Atom got = None;
                takeProperty(d, w, ev.xselection.property, &got);
                /* INCR: deleting the property asked for the first piece; the rest come as PropertyNotify. */
                if (got == incrAtom)
                    incr = 1;
                else
                    pasteDone();
                break;
            }
            case PropertyNotify:
                if (ev.xproperty.window != w) break;
                if (incr && ev.xproperty.atom == pasteProp && ev.xproperty.state == PropertyNewValue) {
                    Atom got = None;
                    if (!takeProperty(d, w, pasteProp, &got)) pasteDone();
                }
                break;
            case ClientMessage:
                if ((Atom)ev.xclient.data.l[0] == deleteWindow) {
                    XCloseDisplay(d);
                    return 0;
                }
                break;
            default:
                break;
        }
        if (!ready && exposed &&
            (ev.type == Expose || (ev.type == PropertyNotify && ev.xproperty.atom == clientList)) && listed(d, w)) {
            ready = 1;
            printf("ready %lu\n", (unsigned long)w);
            fflush(stdout);
        }
    }
}
