#!/usr/bin/env bash
# CPU use of the whole running program over 10 s at the defaults: mouse mode, SDL's disk
# driver at real-time pace, offscreen window. Goal: under 2 % of one core.
#   bash bench/program_cpu.sh [build folder] [seconds]
set -euo pipefail
build="${1:-build}"
seconds="${2:-10}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((44100 * 2 * (seconds + 5))) /dev/urandom > "$work/in.raw"
QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILEIN="$work/in.raw" \
  SDL_DISKAUDIOFILE="$work/out.raw" XDG_CONFIG_HOME="$work/config" \
  "$build/ui/vobblix" 2>/dev/null &
pid=$!
sleep 2 # past start-up
# The scheduler's nanoseconds over every thread: clock ticks miss the audio's short wake-ups.
cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{ ns += $1 } END { printf "%d", ns }'; }
t0=$(cpu_ns)
sleep "$seconds"
t1=$(cpu_ns)
kill -TERM "$pid"
wait "$pid" || true
awk -v d=$((t1 - t0)) -v s="$seconds" \
  'BEGIN { printf "vobblix used %.2f s of CPU in %d s: %.2f %% of one core (goal < 2 %%)\n", d / 1e9, s, 100 * d / 1e9 / s }'
