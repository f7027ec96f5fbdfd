#!/usr/bin/env bash
# A private PulseAudio daemon for the tests and benchmarks, as a desktop that runs PulseAudio
# alone has it: two mono null sinks at 44100 Hz, "gtr" (whose monitor stands for the guitar
# input, the default source) and "amp" (the amplifier, the default sink), reached through its
# own socket. It runs as any user, root included, with its state in a fresh folder, so the
# user's own sound server and a private PipeWire session beside it are left alone.
#   eval "$(bash scripts/pulse-session.sh start)"   # exports PULSE_SERVER and the session's
#   bash scripts/pulse-session.sh stop               # stops the daemon by its PID
set -euo pipefail

start() {
  local dir sink
  dir=$(mktemp -d /tmp/vobblix-pulse.XXXXXX)
  chmod 700 "$dir"
  sink="rate=44100 channels=1 channel_map=mono"
  # -n: no default script, only the modules named here; no autospawn, no exit when idle or
  # when a client asks.
  # Off any session bus: two daemons would claim the same name on it.
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=no --disallow-exit \
    -L "module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
    -L "module-null-sink sink_name=gtr $sink sink_properties=device.description=Guitar" \
    -L "module-null-sink sink_name=amp $sink sink_properties=device.description=Amp" \
    </dev/null >"$dir/pulse.log" 2>&1 &
  echo $! >"$dir/pid"
  export PULSE_SERVER="unix:$dir/native"
  # A loaded machine may take a while.
  for _ in $(seq 600); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  if ! pactl info >/dev/null 2>&1; then
    cat "$dir/pulse.log" >&2
    echo "pulseaudio did not start" >&2
    stop "$dir"
    exit 1
  fi
  pactl set-default-sink amp
  pactl set-default-source gtr.monitor
  echo "export PULSE_SERVER='$PULSE_SERVER' VOBBLIX_PULSE_SESSION='$dir' VOBBLIX_PULSE_PID='$(cat "$dir/pid")'"
}

stop() {
  local dir="${1:-${VOBBLIX_PULSE_SESSION:-}}" pid
  [ -n "$dir" ] && [ -f "$dir/pid" ] || return 0
  pid=$(cat "$dir/pid")
  if [ "${pid:-0}" -gt 1 ]; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

"$@"
