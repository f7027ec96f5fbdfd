#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest, the PipeWire ones
# against a private headless PipeWire session, the JACK ones against a private jackd and the
# PulseAudio ones against a private PulseAudio daemon. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
cd build && bash ../scripts/with-pipewire.sh bash ../scripts/with-jack.sh bash ../scripts/with-pulse.sh ctest --output-on-failure --timeout 600 -j "$(nproc)" "$@"
