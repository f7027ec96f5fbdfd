#!/usr/bin/env bash
# Times the sound's return after a PipeWire node replug, a PipeWire server restart and a
# jackd restart, ten tries each (the benchmark starts and kills servers of its own).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build >/dev/null
build/bench/bench_comeback "${1:-all}"
