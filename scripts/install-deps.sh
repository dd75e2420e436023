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
PACKAGES+=(xserver-xorg-core xserver-xorg-video-dummy openbox xauth x11-xserver-utils x11-utils xdotool xclip dbus-daemon)

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
