#!/usr/bin/env bash
# Runs the MIDI port benchmark on a private headless PipeWire graph and a private jackd: a
# MIDI message through the program's pedal port to TargetDepth, in milliseconds and cycles.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build >/dev/null
bash scripts/with-pipewire.sh bash scripts/with-jack.sh build/bench/bench_midi_port
VOBBLIX_JACK_ON_PIPEWIRE=1 bash scripts/with-pipewire.sh pw-jack build/bench/bench_midi_port 2>&1 | grep "PipeWire's JACK"
