#!/usr/bin/env bash
# Runs a command inside a private headless PipeWire session, then stops the session.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
eval "$(bash "$here/pipewire-session.sh" start)"
trap 'bash "$here/pipewire-session.sh" stop' EXIT
"$@"
