#!/usr/bin/env bash
# Checks the packages that scripts/package.sh left in dist/ as a user meets them: installs
# the program with apt, asks it for its help, plays a known signal through it headless
# (SDL's disk driver, the offscreen platform) and checks that filtered sound came out; then
# installs the LV2 plugin, has lv2info find it and lv2apply filter the same signal with it;
# purges both and checks that none of their files is left.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"; }
fail() { echo "package-check: $*" >&2; exit 1; }

deb=$(ls dist/vobblix_*_"$(dpkg --print-architecture)".deb)
plugin_deb=$(ls dist/vobblix-lv2_*_"$(dpkg --print-architecture)".deb)
installed() { dpkg-query -W -f='${Status}' "${1:-vobblix}" 2>/dev/null | grep -q "install ok installed"; }
installed && apt purge vobblix >/dev/null
installed vobblix-lv2 && apt purge vobblix-lv2 >/dev/null
# lv2info and lv2apply stand in for a host.
installed lilv-utils || apt install --no-install-recommends lilv-utils >/dev/null

work=""
# Whatever fails, the machine is left without the packages.
cleanup() {
  [ -z "$work" ] || rm -rf "$work"
  if installed; then apt purge vobblix >/dev/null; fi
  if installed vobblix-lv2; then apt purge vobblix-lv2 >/dev/null; fi
}
trap cleanup EXIT

# Purges a package and checks that dpkg forgot it and none of the paths it owned is left.
purge_without_trace() {
  local package=$1
  shift
  apt purge "$package" >/dev/null
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qv "not-installed" &&
    fail "dpkg still knows $package: $(dpkg-query -W -f='${Status}' "$package")"
  local left=0 path
  for path in "$@"; do
    [ "$path" != /. ] || continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A folder stays when another package owns it too (/usr/share/applications, ...).
    if [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1; then continue; fi
    echo "left behind: $path" >&2
    left=1
  done
  [ "$left" -eq 0 ] || fail "files of the purged $package are left"
}

echo "== Installing $deb"
apt install "./$deb" >/dev/null
installed || fail "vobblix is not installed"
mapfile -t owned < <(dpkg -L vobblix)
for wanted in /usr/bin/vobblix /usr/share/applications/vobblix.desktop \
  /usr/share/metainfo/org.drenmarq.vobblix.metainfo.xml /usr/share/man/man1/vobblix.1.gz \
  /usr/share/icons/hicolor/scalable/apps/vobblix.svg /usr/share/icons/hicolor/{48x48,64x64,128x128,256x256}/apps/vobblix.png; do
  printf '%s\n' "${owned[@]}" | grep -qx "$wanted" || fail "the package lacks $wanted"
  [ -e "$wanted" ] || fail "$wanted is not on disk"
done

echo "== vobblix --help"
help=$(vobblix --help)
grep -q -- "--audio=pipewire|jack|pulse|sdl|auto" <<<"$help" || fail "vobblix --help printed: $help"

echo "== A headless run of the installed program"
work=$(mktemp -d /tmp/vobblix-package.XXXXXX)
# Two seconds of two sines, S16 mono at 44100 Hz: no run of it survives the filter verbatim.
seconds=2
perl -e 'for my $i (0 .. 44100 * $ARGV[0] - 1) {
  my $t = 6.283185307 * $i / 44100; print pack("s<", int(8000 * sin(220 * $t) + 4000 * sin(1375 * $t))) }' \
  "$seconds" >"$work/in.raw"
env XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=offscreen VOBBLIX_AUDIO=sdl \
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILEIN="$work/in.raw" SDL_DISKAUDIOFILE="$work/out.raw" \
  vobblix >"$work/vobblix.log" 2>&1 &
pid=$!
# It plays in real time: once the signal and a second more came out, SIGTERM ends it as a
# logout does.
wanted=$(($(stat -c %s "$work/in.raw") + 88200))
for _ in $(seq 600); do
  [ "$(stat -c %s "$work/out.raw" 2>/dev/null || echo 0)" -ge "$wanted" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$pid" 2>/dev/null || true
for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  kill -KILL "$pid"
  fail "vobblix did not end within 20 s of SIGTERM"
fi
status=0
wait "$pid" || status=$?
cat "$work/vobblix.log"
[ "$status" -eq 0 ] || fail "vobblix ended with status $status"
[ -s "$work/config/Drenmarq/Vobblix 1.1.toml" ] || fail "vobblix did not save its settings"
# Behind the start's silence the output must be loud, and not the input passed through: a
# copy, however late, would hold the input's runs of samples verbatim.
perl -e '
  local $/; open my $i, "<", $ARGV[0] or die; open my $o, "<", $ARGV[1] or die;
  my $in = <$i>; my @out = unpack "s<*", <$o>;
  shift @out while @out && $out[0] == 0;
  my $n = @out < length($in) / 2 ? @out : length($in) / 2;
  die "only $n samples of sound came out\n" if $n < length($in) / 4;
  my $energy = 0; $energy += $_ ** 2 for @out[0 .. $n - 1];
  my $rms = sqrt($energy / $n);
  die "the output is almost silent (RMS $rms)\n" if $rms < 1000;
  my ($runs, $copied) = (0, 0);
  for (my $k = 0; $k + 32 <= $n; $k += 32) {
    my @run = @out[$k .. $k + 31];
    next unless grep { $_ } @run;
    $runs++;
    $copied++ if index($in, pack("s<*", @run)) >= 0;
  }
  die "the output is the input, unfiltered ($copied of $runs runs copied)\n" if $copied > $runs / 10;
  printf "%d samples out, RMS %.0f; %d of %d runs of 32 samples are found verbatim in the input\n",
    $n, $rms, $copied, $runs;
' "$work/in.raw" "$work/out.raw" || fail "the played sound is not the filtered input"

echo "== Installing $plugin_deb"
apt install "./$plugin_deb" >/dev/null
installed vobblix-lv2 || fail "vobblix-lv2 is not installed"
mapfile -t plugin_owned < <(dpkg -L vobblix-lv2)
bundle=/usr/lib/lv2/vobblix.lv2
for wanted in "$bundle"/{manifest.ttl,vobblix.ttl,presets.ttl,vobblix.so}; do
  printf '%s\n' "${plugin_owned[@]}" | grep -qx "$wanted" || fail "the plugin's package lacks $wanted"
done
exported=$(nm -D --defined-only "$bundle/vobblix.so" | awk '{print $3}')
[ "$exported" = lv2_descriptor ] || fail "the plugin exports more than lv2_descriptor: $exported"

echo "== lv2info urn:vobblix:wah"
info=$(env -u LV2_PATH lv2info urn:vobblix:wah) || fail "lv2info does not find the installed plugin"
for symbol in in out midi_in depth depth_out enabled mode; do
  grep -qE "^\s+Symbol:\s+$symbol\$" <<<"$info" || fail "lv2info lists no port $symbol"
done

echo "== lv2apply urn:vobblix:wah"
# The same two sines as a 16-bit WAV file; at depth 0.25 (a cutoff near 385 Hz) the plugin keeps the
# lower one and takes most of the upper one away.
perl -e 'local $/; my $d = <STDIN>;
  print "RIFF", pack("V", 36 + length $d), "WAVEfmt ", pack("VvvVVvv", 16, 1, 1, 44100, 88200, 2, 16),
    "data", pack("V", length $d), $d' <"$work/in.raw" >"$work/in.wav"
env -u LV2_PATH lv2apply -i "$work/in.wav" -o "$work/plugin.wav" -c depth 0.25 urn:vobblix:wah ||
  fail "lv2apply could not run the plugin"
perl -e '
  sub samples { local $/; open my $f, "<", $_[0] or die; my $w = <$f>;
    my $at = index($w, "data"); die "$_[0] has no data\n" if $at < 0; unpack "s<*", substr($w, $at + 8) }
  sub level { my ($hz, @s) = @_; my ($c, $s) = (0, 0);
    for my $i (0 .. $#s) { my $a = 6.283185307 * $hz * $i / 44100; $c += $s[$i] * cos $a; $s += $s[$i] * sin $a }
    sqrt($c * $c + $s * $s) / @s }
  my @in = samples($ARGV[0]); my @out = samples($ARGV[1]);
  die "lv2apply wrote " . @out . " samples for " . @in . "\n" unless @out == @in;
  my ($low, $high) = (level(220, @out) / level(220, @in), level(1375, @out) / level(1375, @in));
  die sprintf("220 Hz kept %.2f, 1375 Hz kept %.2f\n", $low, $high) unless $low > 0.7 && $high < 0.2;
  printf "220 Hz kept %.2f of its level, 1375 Hz %.2f\n", $low, $high;
' "$work/in.wav" "$work/plugin.wav" || fail "lv2apply did not filter the signal"

echo "== Purging"
purge_without_trace vobblix "${owned[@]}"
purge_without_trace vobblix-lv2 "${plugin_owned[@]}"
echo "package-check: installed, played filtered sound, the plugin found and filtering, purged without a trace (${#owned[@]} + ${#plugin_owned[@]} paths)"
