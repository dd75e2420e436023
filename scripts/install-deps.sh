#!/usr/bin/env bash
# Installs what building and testing Vellomark needs on Debian 12. Safe to run again:
# only missing packages are fetched.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl nlohmann-json3-dev libasio-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libavcodec-dev libavutil-dev libswscale-dev libturbojpeg0-dev libpng-dev
  libavahi-client-dev
  ffmpeg
  libxcb1-dev libxcb-xtest0-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libxcb-xkb-dev libxcb-ewmh-dev libxcb-icccm4-dev libxkbcommon-x11-dev libx11-dev libglib2.0-dev
)
# The X11 tests: a real Xorg with the dummy driver, a window manager, the X tools they call and a
# private D-Bus for the session tests.
# The video encoder drives libx265 through its own API (live rate changes).
PACKAGES+=(libx265-dev)
PACKAGES+=(xserver-xorg-core xserver-xorg-video-dummy openbox xauth x11-xserver-utils x11-utils xdotool xclip dbus-daemon)
# The phone peer's viewer window (vellomark-phone view): SDL2, SDL2_ttf and a font for its figures line.
PACKAGES+=(libsdl2-dev libsdl2-ttf-dev fonts-dejavu-core)

# The GNOME backend (GIO + PipeWire) and its tests: a headless GNOME Shell with PipeWire and
# WirePlumber, GTK 3 for the recording Wayland client, gdbus for the fixture.
PACKAGES+=(libpipewire-0.3-dev gnome-shell pipewire pipewire-bin wireplumber libgtk-3-dev libglib2.0-bin)
# Install and update: libcurl for the update feed, systemd-analyze for the unit, tar for update
# archives, CPack's Debian package (dpkg-shlibdeps for its dependencies), man for the man pages.
PACKAGES+=(libcurl4-openssl-dev systemd tar dpkg-dev man-db)
# The fuzz targets (scripts/fuzz.sh): clang and its sanitizer and libFuzzer runtimes.
PACKAGES+=(clang libclang-rt-14-dev)
# The desktop interface (status menu, pairing panel, share sheet) and its tests: GTK 3, the
# StatusNotifierItem library, the accessibility bus and its client library, an XEmbed tray.
PACKAGES+=(libgtk-3-dev libayatana-appindicator3-dev libatspi2.0-dev at-spi2-core trayer)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is already installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
