// The Vellomark agent's window of the shell: what mutter's own D-Bus interfaces
// leave out (windows, apps, workspaces, committing text) on the session bus, for
// the agent of this user. Every answer is small JSON or plain values.
'use strict';

const { Gio, GLib, GdkPixbuf, Meta, Shell } = imports.gi;
const Main = imports.ui.main;
const Keyboard = imports.ui.status.keyboard;

const BUS_NAME = 'dev.brisval.Vellomark.Shell';
const OBJECT_PATH = '/dev/brisval/Vellomark/Shell';
const IFACE = `
<node>
  <interface name="dev.brisval.Vellomark.Shell">
    <method name="ListWindows"><arg type="s" direction="out" name="json"/></method>
    <method name="ListApps"><arg type="s" direction="out" name="json"/></method>
    <method name="AppIcon">
      <arg type="i" direction="in" name="pid"/><arg type="i" direction="in" name="size"/>
      <arg type="i" direction="out" name="width"/><arg type="i" direction="out" name="height"/>
      <arg type="ay" direction="out" name="rgba"/>
    </method>
    <method name="MoveResizeWindow">
      <arg type="t" direction="in" name="id"/>
      <arg type="i" direction="in" name="x"/><arg type="i" direction="in" name="y"/>
      <arg type="i" direction="in" name="width"/><arg type="i" direction="in" name="height"/>
      <arg type="b" direction="out" name="done"/>
    </method>
    <method name="SetFullscreen">
      <arg type="t" direction="in" name="id"/><arg type="b" direction="in" name="on"/>
      <arg type="b" direction="out" name="done"/>
    </method>
    <method name="ActivateWindow"><arg type="t" direction="in" name="id"/><arg type="b" direction="out" name="done"/></method>
    <method name="ActivateApp">
      <arg type="i" direction="in" name="pid"/><arg type="b" direction="in" name="allWindows"/>
      <arg type="b" direction="out" name="done"/>
    </method>
    <method name="Workspaces">
      <arg type="i" direction="out" name="current"/><arg type="i" direction="out" name="count"/>
    </method>
    <method name="SwitchWorkspace"><arg type="i" direction="in" name="index"/><arg type="b" direction="out" name="done"/></method>
    <method name="CommitText"><arg type="s" direction="in" name="text"/><arg type="b" direction="out" name="done"/></method>
    <method name="InputSources"><arg type="s" direction="out" name="json"/></method>
    <method name="SelectInputSource"><arg type="s" direction="in" name="id"/><arg type="b" direction="out" name="done"/></method>
    <signal name="InputSourceChanged"/>
    <method name="Pointer">
      <arg type="i" direction="out" name="x"/><arg type="i" direction="out" name="y"/>
      <arg type="u" direction="out" name="modifiers"/>
    </method>
  </interface>
</node>`;

const SHOWN_TYPES = [Meta.WindowType.NORMAL, Meta.WindowType.DIALOG, Meta.WindowType.MODAL_DIALOG,
    Meta.WindowType.UTILITY];

function now() {
    return global.get_current_time() || global.display.get_current_time_roundtrip();
}

// The app's windows, bottom to top.
function stackedWindows() {
    return global.get_window_actors().map(a => a.meta_window)
        .filter(w => w && !w.is_override_redirect() && SHOWN_TYPES.includes(w.get_window_type()));
}

function windowById(id) {
    return stackedWindows().find(w => String(w.get_id()) === String(id)) || null;
}

function appOf(win) {
    return Shell.WindowTracker.get_default().get_window_app(win);
}

// An app's key is its first pid (what the agent calls apps by), else that of a window.
function appPid(app) {
    const pids = app.get_pids();
    if (pids.length > 0)
        return pids[0];
    const wins = app.get_windows();
    return wins.length > 0 ? wins[0].get_pid() : 0;
}

function appByPid(pid) {
    return Shell.AppSystem.get_default().get_running().find(a =>
        a.get_pids().includes(pid) || a.get_windows().some(w => w.get_pid() === pid)) || null;
}

const ICON_SIZES = ['512x512', '256x256', '128x128', '96x96', '64x64', '48x48', '32x32', 'scalable'];
const ICON_KINDS = ['apps', 'legacy', 'categories', 'devices', 'places', 'mimetypes', 'status', 'actions'];

// The file that draws an icon: a file icon's own, or a themed name looked up in the
// user's theme, then hicolor and Adwaita, biggest first.
function iconFile(gicon) {
    if (gicon instanceof Gio.FileIcon)
        return gicon.get_file().get_path();
    if (!(gicon instanceof Gio.ThemedIcon))
        return null;
    const theme = new Gio.Settings({ schema_id: 'org.gnome.desktop.interface' }).get_string('icon-theme');
    const dirs = [GLib.get_user_data_dir(), ...GLib.get_system_data_dirs()];
    for (const name of gicon.get_names()) {
        if (name.startsWith('/'))
            return name;
        for (const t of [theme, 'hicolor', 'Adwaita']) {
            for (const dir of dirs) {
                for (const size of ICON_SIZES) {
                    for (const kind of ICON_KINDS) {
                        for (const ext of ['png', 'svg']) {
                            const path = `${dir}/icons/${t}/${size}/${kind}/${name}.${ext}`;
                            if (GLib.file_test(path, GLib.FileTest.EXISTS))
                                return path;
                        }
                    }
                }
            }
        }
        for (const dir of dirs) {
            const path = `${dir}/pixmaps/${name}.png`;
            if (GLib.file_test(path, GLib.FileTest.EXISTS))
                return path;
        }
    }
    return null;
}

class VellomarkShell {
    ListWindows() {
        const focus = global.display.get_focus_window();
        return JSON.stringify(stackedWindows().map(w => {
            const r = w.get_frame_rect();
            const ws = w.get_workspace();
            const app = appOf(w);
            return {
                id: String(w.get_id()),
                pid: w.get_pid(),
                app: app ? app.get_id() : '',
                wmClass: w.get_wm_class() || '',
                title: w.get_title() || '',
                x: r.x, y: r.y, width: r.width, height: r.height,
                minimized: w.minimized,
                fullscreen: w.is_fullscreen(),
                workspace: w.is_on_all_workspaces() || !ws ? -1 : ws.index(),
                focused: w === focus,
                monitor: w.get_monitor(),
            };
        }));
    }

    ListApps() {
        const focus = Shell.WindowTracker.get_default().focus_app;
        return JSON.stringify(Shell.AppSystem.get_default().get_running().map(a => ({
            id: a.get_id(),
            name: a.get_name() || '',
            pid: appPid(a),
            windows: a.get_windows().length,
            focused: a === focus,
        })));
    }

    AppIcon(pid, size) {
        const app = appByPid(pid);
        const none = new GLib.Variant('(iiay)', [0, 0, []]);
        if (!app)
            return none;
        const gicon = app.get_icon();
        if (!gicon)
            return none;
        const file = iconFile(gicon);
        if (!file)
            return none;
        let pixbuf;
        try {
            pixbuf = GdkPixbuf.Pixbuf.new_from_file_at_scale(file, size, size, false);
        } catch (e) {
            return none;
        }
        if (!pixbuf.get_has_alpha())
            pixbuf = pixbuf.add_alpha(false, 0, 0, 0);
        const w = pixbuf.get_width(), h = pixbuf.get_height(), stride = pixbuf.get_rowstride();
        const src = pixbuf.get_pixels();
        const out = new Uint8Array(w * h * 4);
        for (let y = 0; y < h; y++)
            out.set(src.subarray(y * stride, y * stride + w * 4), y * w * 4);
        return new GLib.Variant('(iiay)', [w, h, out]);
    }

    MoveResizeWindow(id, x, y, width, height) {
        const w = windowById(id);
        if (!w)
            return false;
        if (w.get_maximized())
            w.unmaximize(Meta.MaximizeFlags.BOTH);
        w.move_resize_frame(true, x, y, width, height);
        return true;
    }

    SetFullscreen(id, on) {
        const w = windowById(id);
        if (!w)
            return false;
        if (on)
            w.make_fullscreen();
        else
            w.unmake_fullscreen();
        return true;
    }

    ActivateWindow(id) {
        const w = windowById(id);
        if (!w)
            return false;
        Main.activateWindow(w, now());
        return true;
    }

    ActivateApp(pid, allWindows) {
        const app = appByPid(pid);
        if (!app)
            return false;
        const wins = app.get_windows();  // most recently used first
        if (wins.length === 0) {
            app.activate();
            return true;
        }
        if (allWindows) {
            for (const w of wins.slice().reverse())
                Main.activateWindow(w, now());
        } else {
            Main.activateWindow(wins[0], now());
        }
        return true;
    }

    Workspaces() {
        const wm = global.workspace_manager;
        return [wm.get_active_workspace_index(), wm.get_n_workspaces()];
    }

    SwitchWorkspace(index) {
        const ws = global.workspace_manager.get_workspace_by_index(index);
        if (!ws)
            return false;
        ws.activate(now());
        return true;
    }

    // Text straight into the focused text field, whatever the keyboard layout has.
    CommitText(text) {
        const im = Main.inputMethod;
        if (!im || !im.currentFocus)
            return false;
        im.commit(text);
        return true;
    }

    // Sources as "TYPE:ID" ("xkb:us", "ibus:hangul"), in the user's order.
    InputSources() {
        const manager = Keyboard.getInputSourceManager();
        const sources = Object.values(manager.inputSources).sort((a, b) => a.index - b.index);
        const current = manager.currentSource;
        return JSON.stringify({
            current: current ? `${current.type}:${current.id}` : '',
            sources: sources.map(s => `${s.type}:${s.id}`),
        });
    }

    SelectInputSource(id) {
        const manager = Keyboard.getInputSourceManager();
        const source = Object.values(manager.inputSources).find(s => `${s.type}:${s.id}` === id);
        if (!source)
            return false;
        source.activate(true);
        return true;
    }

    Pointer() {
        const [x, y, mods] = global.get_pointer();
        return [x, y, mods];
    }
}

class Extension {
    enable() {
        this._impl = new VellomarkShell();
        this._object = Gio.DBusExportedObject.wrapJSObject(IFACE, this._impl);
        this._object.export(Gio.DBus.session, OBJECT_PATH);
        const manager = Keyboard.getInputSourceManager();
        this._sourceChangedId = manager.connect('current-source-changed',
            () => this._object.emit_signal('InputSourceChanged', null));
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        if (this._sourceChangedId) {
            Keyboard.getInputSourceManager().disconnect(this._sourceChangedId);
            this._sourceChangedId = 0;
        }
        if (this._nameId) {
            Gio.bus_unown_name(this._nameId);
            this._nameId = 0;
        }
        if (this._object) {
            this._object.unexport();
            this._object = null;
        }
        this._impl = null;
    }
}

function init() {
    return new Extension();
}
