#!/usr/bin/env bash
# Starts a headless GNOME Shell for the GNOME tests: private system and session
# buses, PipeWire + WirePlumber, and gnome-shell on Wayland with one 1920x1080
# virtual monitor and our extension enabled. Prints the environment lines a client
# needs (DBUS_SESSION_BUS_ADDRESS=…, WAYLAND_DISPLAY=…, XDG_RUNTIME_DIR=…) and
# leaves everything running; stop it with stop-gnome.sh FOLDER.
#   start-gnome.sh FOLDER EXTENSION_DIR
set -euo pipefail
dir="${1:?usage: start-gnome.sh FOLDER EXTENSION_DIR}"
ext="${2:?usage: start-gnome.sh FOLDER EXTENSION_DIR}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
ext="$(cd "$ext" && pwd)"

for tool in gnome-shell pipewire wireplumber dbus-daemon gdbus; do
    command -v "$tool" >/dev/null || { echo "start-gnome: $tool is not installed" >&2; exit 3; }
done
uuid="$(sed -n 's/.*"uuid": *"\([^"]*\)".*/\1/p' "$ext/metadata.json")"

run="$dir/run" home="$dir/home"
mkdir -p "$run" "$home/.config/glib-2.0/settings" "$dir/data/gnome-shell/extensions"
chmod 700 "$run"
ln -sfn "$ext" "$dir/data/gnome-shell/extensions/$uuid"

# Buses with no service activation: nothing starts behind the fixture's back.
bus_conf() {  # TYPE SOCKET
    cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>$1</type>
  <listen>unix:path=$2</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*" eavesdrop="true"/><allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
CONF
}
bus_conf system "$dir/system_bus" > "$dir/system.conf"
bus_conf session "$dir/session_bus" > "$dir/session.conf"
dbus-daemon --config-file="$dir/system.conf" --fork --print-pid > "$dir/system-bus.pid"
dbus-daemon --config-file="$dir/session.conf" --fork --print-pid > "$dir/session-bus.pid"

cat > "$home/.config/glib-2.0/settings/keyfile" <<KEYS
[org/gnome/shell]
enabled-extensions=['$uuid']
disable-user-extensions=false
disable-extension-version-validation=true
welcome-dialog-last-shown-version='999'

[org/gnome/desktop/interface]
enable-animations=false

[org/gnome/desktop/session]
idle-delay=uint32 0

[org/gnome/desktop/screensaver]
lock-enabled=false

[org/gnome/desktop/input-sources]
sources=[('xkb', 'us')]
KEYS

# The recording client's app entry, so the shell knows its name and icon (an entry whose
# Exec program is missing is ignored).
mkdir -p "$dir/data/applications"
cat > "$dir/data/applications/dev.brisval.VmRecorder.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=VmRec
Exec=true
Icon=utilities-terminal
StartupWMClass=dev.brisval.VmRecorder
DESKTOP

export HOME="$home" XDG_RUNTIME_DIR="$run" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
export XDG_DATA_DIRS="$dir/data:/usr/local/share:/usr/share" GSETTINGS_BACKEND=keyfile XDG_SESSION_TYPE=wayland
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/session_bus" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/system_bus"
export NO_AT_BRIDGE=1 GTK_A11Y=none
unset DISPLAY WAYLAND_DISPLAY

pipewire >"$dir/pipewire.log" 2>&1 &
echo $! > "$dir/pipewire.pid"
for _ in $(seq 1 50); do [ -S "$run/pipewire-0" ] && break; sleep 0.1; done
wireplumber >"$dir/wireplumber.log" 2>&1 &
echo $! > "$dir/wireplumber.pid"

wl="vm-wayland-$$"
gnome-shell --headless --wayland --no-x11 --virtual-monitor 1920x1080 --wayland-display "$wl" \
    >"$dir/gnome-shell.log" 2>&1 &
echo $! > "$dir/gnome-shell.pid"

has_name() {
    gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner "$1" \
        2>/dev/null | grep -q true
}
for _ in $(seq 1 600); do
    if has_name org.gnome.Mutter.RemoteDesktop && has_name dev.brisval.Vellomark.Shell; then break; fi
    if ! kill -0 "$(cat "$dir/gnome-shell.pid")" 2>/dev/null; then
        echo "start-gnome: gnome-shell exited; see $dir/gnome-shell.log" >&2; tail -20 "$dir/gnome-shell.log" >&2; exit 4
    fi
    sleep 0.1
done
has_name org.gnome.Mutter.RemoteDesktop || { echo "start-gnome: no org.gnome.Mutter.RemoteDesktop after 60 s" >&2; exit 4; }
has_name dev.brisval.Vellomark.Shell || { echo "start-gnome: the extension did not come up; see $dir/gnome-shell.log" >&2; tail -20 "$dir/gnome-shell.log" >&2; exit 4; }

# The shell ends its start-up in the overview, which takes every click and key: wait for it
# and close it.
overview() {
    gdbus call --session -d org.gnome.Shell -o /org/gnome/Shell -m org.freedesktop.DBus.Properties."$1" \
        org.gnome.Shell OverviewActive ${2:+"$2"} 2>/dev/null
}
seen=0
for _ in $(seq 1 100); do
    if overview Get | grep -q true; then seen=1; overview Set "<false>" >/dev/null
    elif [ "$seen" = 1 ]; then break; fi
    sleep 0.1
done

echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"
echo "DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS"
echo "WAYLAND_DISPLAY=$wl"
echo "XDG_RUNTIME_DIR=$run"
