#!/usr/bin/env bash
# A private, headless PipeWire session for the tests and benchmarks: a D-Bus session bus,
# pipewire and wireplumber under a fresh XDG_RUNTIME_DIR, with two mono null devices: "gtr",
# a virtual source that stands for the guitar input (the default source), and "amp", a sink
# that stands for the amplifier (the default sink).
#   eval "$(bash scripts/pipewire-session.sh start)"   # exports the session's variables
#   bash scripts/pipewire-session.sh stop               # stops every process it started
#   bash scripts/pipewire-session.sh kill DIR           # kills its server and session manager
#   bash scripts/pipewire-session.sh revive DIR         # starts them again, with both devices
set -euo pipefail

start() {
  local dir
  dir=$(mktemp -d /tmp/vobblix-pw.XXXXXX)
  chmod 700 "$dir"
  export XDG_RUNTIME_DIR="$dir" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
  dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
  echo $! >"$dir/pids"
  for _ in $(seq 100); do [ -S "$dir/bus" ] && break; sleep 0.05; done
  graph "$dir"
  echo "export XDG_RUNTIME_DIR='$dir' DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS' VOBBLIX_PIPEWIRE_SESSION='$dir'"
}

# The server, the session manager and the two devices, on the session's bus.
graph() {
  local dir="$1"
  pipewire >>"$dir/pipewire.log" 2>&1 &
  echo $! >>"$dir/pids"
  for _ in $(seq 100); do [ -S "$dir/pipewire-0" ] && break; sleep 0.05; done
  wireplumber >"$dir/wireplumber.log" 2>&1 &
  echo $! >>"$dir/pids"
  for _ in $(seq 100); do pw-cli info 0 >/dev/null 2>&1 && break; sleep 0.05; done
  pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=gtr node.description="Guitar"
    media.class=Audio/Source/Virtual audio.channels=1 audio.position=MONO object.linger=true }' >/dev/null
  pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=amp node.description="Amp"
    media.class=Audio/Sink audio.channels=1 audio.position=MONO object.linger=true }' >/dev/null
  pw-metadata 0 default.configured.audio.sink '{ "name": "amp" }' >/dev/null
  pw-metadata 0 default.configured.audio.source '{ "name": "gtr" }' >/dev/null
  # Ready once the session manager made them the defaults.
  for _ in $(seq 100); do
    pw-metadata 0 2>/dev/null | grep -q "default.audio.sink.*amp" &&
      pw-metadata 0 2>/dev/null | grep -q "default.audio.source.*gtr" && break
    sleep 0.05
  done
}

# The server and the session manager die at once, as in a crash; the bus stays.
kill() {
  local dir="$1" pid
  for pid in $(tail -n +2 "$dir/pids"); do command kill -9 "$pid" 2>/dev/null || true; done
  for pid in $(tail -n +2 "$dir/pids"); do
    for _ in $(seq 100); do command kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  done
  head -n 1 "$dir/pids" >"$dir/pids.new" && mv "$dir/pids.new" "$dir/pids"
  rm -f "$dir/pipewire-0" "$dir/pipewire-0.lock" "$dir/pipewire-0-manager" "$dir/pipewire-0-manager.lock"
}

revive() {
  local dir="$1"
  export XDG_RUNTIME_DIR="$dir" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
  graph "$dir"
}

stop() {
  local dir="${1:-${VOBBLIX_PIPEWIRE_SESSION:-}}"
  [ -n "$dir" ] && [ -f "$dir/pids" ] || return 0
  # Newest first, so the session manager does not see its server vanish under it.
  tac "$dir/pids" | while read -r pid; do [ "${pid:-0}" -gt 1 ] && command kill "$pid" 2>/dev/null || true; done
  tac "$dir/pids" | while read -r pid; do
    for _ in $(seq 100); do command kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    command kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}

"$@"
