#!/usr/bin/env bash
# The SDL fallback as a desktop that runs PulseAudio alone gets it: a private PulseAudio
# daemon with two mono null sinks at 44100 Hz, "gtr" (whose monitor stands for the guitar
# input) and "amp" (the amplifier); the program at its defaults through SDL's pulseaudio
# driver for the seconds given (default 600), beside PulseAudio's own loopback.
#   bash bench/sdl-pulse.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
missing=()
for p in pulseaudio pulseaudio-utils; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
bash scripts/build.sh build >/dev/null

dir=$(mktemp -d /tmp/vobblix-pulse.XXXXXX)
chmod 700 "$dir"
export XDG_RUNTIME_DIR="$dir" HOME="$dir" PULSE_SERVER="unix:$dir/native"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=no \
  -L "module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
  -L "module-null-sink sink_name=gtr rate=44100 channels=1 channel_map=mono" \
  -L "module-null-sink sink_name=amp rate=44100 channels=1 channel_map=mono" >"$dir/pulse.log" 2>&1 &
pulse=$!
trap 'kill $pulse 2>/dev/null; wait $pulse 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
build/bench/bench_sdl_pulse "${1:-600}"
