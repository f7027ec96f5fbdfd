#!/usr/bin/env bash
# A private, headless JACK server for the tests and benchmarks: jackd on its dummy driver
# (no sound card), under a server name of its own so that it never meets a user's server.
#   eval "$(bash scripts/jack-session.sh start [rate] [period])"   # exports the variables
#   bash scripts/jack-session.sh stop                              # stops the server it started
set -euo pipefail

start() {
  local rate="${1:-44100}" period="${2:-128}" dir name
  dir=$(mktemp -d /tmp/vobblix-jack.XXXXXX)
  name="vobblix-test-$$"
  export JACK_DEFAULT_SERVER="$name" JACK_NO_AUDIO_RESERVATION=1
  # Realtime, as a player's server runs, so that the rest of a busy machine does not make it
  # drop cycles; where realtime scheduling is not allowed, jackd goes on without it.
  jackd --realtime -d dummy -r "$rate" -p "$period" >"$dir/jackd.log" 2>&1 &
  echo $! >"$dir/pids"
  if ! jack_wait -w -t 10 >/dev/null 2>&1; then
    cat "$dir/jackd.log" >&2
    echo "jackd did not start" >&2
  fi
  echo "export JACK_DEFAULT_SERVER='$name' JACK_NO_AUDIO_RESERVATION=1 VOBBLIX_JACK_SESSION='$dir'"
}

stop() {
  local dir="${1:-${VOBBLIX_JACK_SESSION:-}}"
  [ -n "$dir" ] && [ -f "$dir/pids" ] || return 0
  while read -r pid; do
    [ "${pid:-0}" -gt 1 ] || continue
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  done <"$dir/pids"
  rm -rf "$dir"
}

"$@"
