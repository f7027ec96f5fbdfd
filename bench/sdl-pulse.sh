#!/usr/bin/env bash
# A desktop that runs PulseAudio alone: on the private daemon of scripts/with-pulse.sh (two
# mono null sinks at 44100 Hz, "gtr" whose monitor stands for the guitar input, and "amp"),
# the program at its defaults through its own PulseAudio device and through SDL's pulseaudio
# driver, each for the seconds given (default 600), in turns with PulseAudio's own loopback.
#   bash bench/sdl-pulse.sh [seconds [sdl-seconds]]   (SDL's turn: as long, unless given)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build >/dev/null
bash scripts/with-pulse.sh build/bench/bench_sdl_pulse "${1:-600}" "${2:-${1:-600}}"
