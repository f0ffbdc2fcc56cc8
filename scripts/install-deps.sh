#!/usr/bin/env bash
# The Debian packages the project needs, by purpose:
#   build    building the program and running it on a desktop (scripts/install)
#   run      what scripts/run adds: a private headless X server (and xauth for
#            its cookie) for a machine without a desktop, and avahi-daemon so
#            devices find the host
#   test     the test suites' peers, servers and fixtures (scripts/test)
#   bench    the benchmark programs (scripts/bench)
#   fuzz     clang and its libFuzzer runtime (scripts/fuzz)
# With no purpose named, all of them. Idempotent: installs only what is
# missing and refreshes the package lists only when something has to be
# installed.
#
#   scripts/install-deps.sh [build|run|test|bench|fuzz ...]
set -euo pipefail

build=(
  build-essential
  cmake
  ninja-build
  pkg-config
  libcurl4-openssl-dev
  nlohmann-json3-dev
  libssl-dev
  libx264-dev
  libx265-dev
  libswscale-dev
  libyuv-dev
  libavutil-dev
  libavcodec-dev
  libswresample-dev
  libxcb1-dev
  libxcb-shm0-dev
  libxcb-randr0-dev
  libxcb-damage0-dev
  libxcb-xfixes0-dev
  libxcb-xinput-dev
  libxcb-screensaver0-dev
  libevdev-dev
  libxkbcommon-dev
  libxkbcommon-x11-dev
  libxcb-xtest0-dev
  libxcb-xkb-dev
  xkb-data
  libusb-1.0-0-dev
  libplist-dev
  libavahi-client-dev
  libpulse-dev
  qt6-base-dev
  qt6-base-dev-tools
  qt6-qpa-plugins
  qt6-wayland
  fonts-dejavu-core
  libicu-dev
  libqrencode-dev
  xdg-utils
  libglib2.0-dev
  libpipewire-0.3-dev
)
run=(
  xserver-xorg-core
  xserver-xorg-video-dummy
  xauth
  avahi-daemon
)
test=(
  googletest
  libgtest-dev
  libgmock-dev
  python3-cryptography
  xvfb
  xserver-xorg-core
  xserver-xorg-video-dummy
  locales
  avahi-daemon
  avahi-utils
  zbar-tools
  xauth
  dbus
  iproute2
  pulseaudio
  pulseaudio-utils
  libzbar-dev
  trayer
  openbox
  mutter
  pipewire
  wireplumber
  libwayland-dev
  libwayland-bin
  wayland-protocols
)
bench=(
  libbenchmark-dev
)
fuzz=(
  clang-14
  libclang-rt-14-dev
)

purposes=("$@")
if ((${#purposes[@]} == 0)); then
  purposes=(build run test bench fuzz)
fi
packages=()
for purpose in "${purposes[@]}"; do
  case "$purpose" in
    build) packages+=("${build[@]}") ;;
    run) packages+=("${run[@]}") ;;
    test) packages+=("${test[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    *) echo "install-deps: unknown purpose '$purpose' (build, run, test, bench, fuzz)" >&2; exit 2 ;;
  esac
done

# Debian's tools name and install every package here; elsewhere say so
# rather than fail on a missing command.
if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  echo "install-deps: this system has no apt-get/dpkg; these scripts install Debian packages (Debian 12 or" \
    "later, Ubuntu 24.04 or later). Install what these Debian packages hold with your own package manager:" \
    "${packages[*]}; then build by hand: cmake --preset app && cmake --build --preset app" >&2
  exit 1
fi

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
