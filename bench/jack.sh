#!/usr/bin/env bash
# Runs the JACK benchmark on a private jackd (dummy driver, 44100 Hz): round trips at periods
# 64, 128 and 256 beside a self-loop, resampled and not; xruns over a long run at period 128
# (seconds given, default 60; 600 for ten minutes) against a baseline without the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build >/dev/null
eval "$(bash scripts/jack-session.sh start 44100 128)"
trap 'bash scripts/jack-session.sh stop' EXIT
build/bench/bench_jack "${1:-60}"
