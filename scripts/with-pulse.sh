#!/usr/bin/env bash
# Runs a command beside a private PulseAudio daemon (scripts/pulse-session.sh), then stops it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
eval "$(bash "$here/pulse-session.sh" start)"
trap 'bash "$here/pulse-session.sh" stop' EXIT
"$@"
