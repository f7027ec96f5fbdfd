#!/usr/bin/env bash
# Runs a command beside a private headless JACK server, then stops the server.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
eval "$(bash "$here/jack-session.sh" start)"
trap 'bash "$here/jack-session.sh" stop' EXIT
"$@"
