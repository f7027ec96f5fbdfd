#!/usr/bin/env bash
# Installs the Debian packages Vobblix builds, runs and tests with; does nothing when all are there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core libsdl2-dev libtomlplusplus-dev libreaderwriterqueue-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus-daemon
  libjack-jackd2-dev jackd2 libzita-resampler-dev pipewire-jack
  libpulse-dev pulseaudio pulseaudio-utils
  libevdev-dev libudev-dev
  libsndfile1-dev sox
  lv2-dev liblilv-dev lilv-utils sordi jalv calf-plugins
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
