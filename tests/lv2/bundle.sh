#!/usr/bin/env bash
# The built bundle as a host meets it: valid against the LV2 schemas that lv2-dev installs
# (not a single error or warning), and lv2info finds the plugin with every port a user
# drives and three presets at least.
#   bundle.sh BUNDLE_DIR
set -euo pipefail
bundle=$(realpath "$1")
fail() { echo "bundle: $*" >&2; exit 1; }

mapfile -t schemas < <(dpkg -L lv2-dev | grep '^/usr/lib/lv2/.*\.ttl$')
[ ${#schemas[@]} -gt 0 ] || fail "lv2-dev's schemas are not installed"
report=$(sord_validate "${schemas[@]}" "$bundle"/*.ttl 2>&1) || fail "sord_validate: $report"
[ "$(grep -cv '^Found 0 errors' <<<"$report")" -eq 0 ] || fail "sord_validate said: $report"

info=$(LV2_PATH=$(dirname "$bundle") lv2info urn:vobblix:wah 2>&1) || fail "lv2info: $info"
for symbol in in out midi_in depth_out enabled depth freq_offset resonance glide mode sweep_low sweep_high \
  env_sensitivity env_attack env_release env_direction lfo_shape lfo_rate midi_pedal midi_channel \
  midi_controller midi_14bit midi_invert midi_min midi_max pedal_curve tap_kind tap_number tap_channel; do
  grep -qE "^\s+Symbol:\s+$symbol\$" <<<"$info" || fail "lv2info lists no port $symbol"
done
grep -qE '^\s+Has latency:\s+no$' <<<"$info" || fail "the plugin reports a latency"
grep -q 'Designation:.*enabled' <<<"$info" || fail "no port is designated lv2:enabled"
presets=$(sed -n '/^\tPresets:/,/^\tPort 0:/p' <<<"$info" | grep -cP '^\t {9}\S' || true)
[ "$presets" -ge 3 ] || fail "lv2info lists $presets presets"
echo "bundle: valid, $(grep -c 'Symbol:' <<<"$info") ports, $presets presets"
