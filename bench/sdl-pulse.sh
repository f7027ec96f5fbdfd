#!/usr/bin/env bash
# A desktop that runs PulseAudio alone: on the private daemon of scripts/with-pulse.sh (two
# mono null sinks at 44100 Hz, "gtr" whose monitor stands for the guitar input, and "amp"),
# the program at its defaults through its own PulseAudio device and through SDL's pulseaudio
# driver, each in turns with PulseAudio's own loopback and with a plain client of the daemon at
# the device's delay, for the rounds given (default 5), each round's turns of the seconds given
# (default 120 for the device and the plain client, 30 for SDL; 0 skips one).
#   bash bench/sdl-pulse.sh [rounds [seconds [sdl-seconds]]]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build >/dev/null
bash scripts/with-pulse.sh build/bench/bench_sdl_pulse "${1:-5}" "${2:-120}" "${3:-30}"
