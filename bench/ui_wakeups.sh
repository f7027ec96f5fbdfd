#!/usr/bin/env bash
# How often the UI thread wakes a second at rest, in each sweep mode, with silence coming in:
# the whole program on SDL's disk driver at real-time pace reading zeros, offscreen window
# shown, nothing touched. The UI thread's wake-ups are its voluntary context switches (each
# is one return from its poll). Goal: at most 2 a second in Manual and in Envelope; the LFO
# moves the picture and so draws at the screen's pace.
#   bash bench/ui_wakeups.sh [build folder] [seconds]
set -euo pipefail
build="${1:-build}"
seconds="${2:-10}"
settle=4 # past start-up and the screen's fast looks after it
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
head -c $((44100 * 2 * (seconds + settle + 10) * 4)) /dev/zero > "$work/in.raw"
store="$work/config/Drenmarq/Vobblix 1.1.toml"

start() {
  QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILEIN="$work/in.raw" \
    SDL_DISKAUDIOFILE=/dev/null XDG_CONFIG_HOME="$work/config" \
    "$build/ui/vobblix" 2>/dev/null &
  pid=$!
}
stop() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=
}
switches() { awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$pid"/status; }

# A first run writes the whole store, so the measured runs start with no message to show.
start
sleep 2
stop
[ -f "$store" ] || { echo "no store was written at $store" >&2; exit 1; }

for mode in Off Envelope LFO; do
  sed -i "s/^AutoMode = .*/AutoMode = \"$mode\"/" "$store"
  grep -q "^AutoMode = \"$mode\"" "$store" || { echo "the store has no AutoMode row" >&2; exit 1; }
  start
  sleep "$settle"
  s0=$(switches)
  sleep "$seconds"
  s1=$(switches)
  stop
  shown=$mode; [ "$mode" = Off ] && shown=Manual
  awk -v m="$shown" -v d=$((s1 - s0)) -v s="$seconds" \
    'BEGIN { printf "%-9s %6.1f UI wake-ups a second (%d in %d s)\n", m, d / s, d, s }'
done
