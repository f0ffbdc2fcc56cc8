#!/usr/bin/env bash
# Every Debian package that the build, the tests and the benchmarks need.
# Idempotent: installs only what is missing and refreshes the package lists
# only when something has to be installed.
set -euo pipefail

packages=(
  build-essential
  cmake
  ninja-build
  pkg-config
  googletest
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libcurl4-openssl-dev
  nlohmann-json3-dev
  libssl-dev
  python3-cryptography
  libx264-dev
  libx265-dev
  libswscale-dev
  libyuv-dev
  libavutil-dev
  libavcodec-dev
  xvfb
  libxcb1-dev
  libxcb-shm0-dev
  libxcb-randr0-dev
  libxcb-damage0-dev
  libxcb-xfixes0-dev
  libxcb-xinput-dev
  locales
  libevdev-dev
  libxkbcommon-dev
  libxkbcommon-x11-dev
  libxcb-xtest0-dev
  libxcb-xkb-dev
  xkb-data
  libusb-1.0-0-dev
  libplist-dev
  libavahi-client-dev
  avahi-daemon
  avahi-utils
  dbus
  iproute2
  libxcb-screensaver0-dev
  xserver-xorg-core
  xserver-xorg-video-dummy
  libswresample-dev
  libpulse-dev
  pulseaudio
  pulseaudio-utils
  qt6-base-dev
  qt6-base-dev-tools
  qt6-qpa-plugins
  fonts-dejavu-core
  libicu-dev
  libqrencode-dev
  libzbar-dev
  xdg-utils
  clang-14
  libclang-rt-14-dev
  trayer
  libglib2.0-dev
  libpipewire-0.3-dev
  mutter
  pipewire
  wireplumber
  libwayland-dev
  libwayland-bin
  wayland-protocols
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
