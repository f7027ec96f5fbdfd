#!/usr/bin/env bash
# Runs the PipeWire benchmark on a private headless graph: round trips beside the floor,
# underruns over a long run at 128 bytes (seconds given, default 60; 600 for ten minutes),
# CPU at the defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build >/dev/null
eval "$(bash scripts/pipewire-session.sh start)"
trap 'bash scripts/pipewire-session.sh stop' EXIT
build/bench/bench_pipewire "${1:-60}" "${2:-all}"
