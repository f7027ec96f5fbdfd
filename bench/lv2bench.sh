#!/usr/bin/env bash
# The plugin's cost in lv2bench beside a peer filter from Debian, in alternating turns of one
# run: nanoseconds per sample for Manual and for each sweep source, Calf's Filter (stereo,
# counted per channel) as the peer. Each figure is the median of its turns.
#   bash bench/lv2bench.sh [BUNDLE_DIR [TURNS [FRAMES [BLOCK]]]]
set -euo pipefail
bundle=$(realpath "${1:-build/lv2-path/vobblix.lv2}")
turns=${2:-7}
frames=${3:-2646000}
block=${4:-256}
peer=http://calf.sourceforge.net/plugins/Filter
peer_channels=2
[ -f "$bundle/vobblix.so" ] || { echo "no built bundle at $bundle" >&2; exit 1; }

work=$(mktemp -d /tmp/vobblix-lv2bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
# lv2bench runs a plugin with its controls at their defaults: a copy of the bundle per sweep
# mode, its default changed, stands for a host that chose it.
modes=(Manual Envelope LFO)
for m in 0 1 2; do
  mkdir -p "$work/${modes[$m]}"
  cp -r "$bundle" "$work/${modes[$m]}/"
  perl -0pi -e 's/(lv2:symbol "mode" ;.*?lv2:default )0\.0/${1}'"$m"'.0/s' "$work/${modes[$m]}/vobblix.lv2/vobblix.ttl"
  grep -q "lv2:default $m.0" "$work/${modes[$m]}/vobblix.lv2/vobblix.ttl" || { echo "mode $m not set" >&2; exit 1; }
done

seconds() { # LV2_PATH URI -> seconds for all frames
  local path=$1 uri=$2
  if [ -n "$path" ]; then
    LV2_PATH=$path lv2bench -f -n "$frames" -b "$block" "$uri" 2>/dev/null | awk -v u="$uri" '$4 == u {print $3}'
  else
    env -u LV2_PATH lv2bench -f -n "$frames" -b "$block" "$uri" 2>/dev/null | awk -v u="$uri" '$4 == u {print $3}'
  fi
}
declare -A runs
for ((t = 0; t < turns; t++)); do
  runs[peer]+="$(seconds "" "$peer") "
  for name in "${modes[@]}"; do
    runs[$name]+="$(seconds "$work/$name" urn:vobblix:wah) "
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
peer_ns=$(median <<<"${runs[peer]}" | awk -v f="$frames" -v c="$peer_channels" '{printf "%.2f", $1 * 1e9 / f / c}')
echo "lv2bench, $frames frames in blocks of $block, median of $turns alternating turns"
printf '%-28s %8s ns/sample\n' "Calf Filter, per channel" "$peer_ns"
for name in "${modes[@]}"; do
  ns=$(median <<<"${runs[$name]}" | awk -v f="$frames" '{printf "%.2f", $1 * 1e9 / f}')
  printf '%-28s %8s ns/sample  %5.2fx the peer\n' "Vobblix Wah, $name" "$ns" "$(awk -v a="$ns" -v b="$peer_ns" 'BEGIN {print a / b}')"
done
