#!/usr/bin/env bash
# make test-deken: the package of make deken as a user receives it. Its name,
# contents and checksum; Pd's own package manager (pd_deken.tcl, from
# Debian's puredata-gui) reading its name, offering it to the five platforms
# and to no other, checking its checksum and unpacking it, with unzip (as
# Debian's Pd does) and with tcllib's zipfile::decode; then vorn~ loaded from
# the unpacked folder, through -path and nothing else, by the Pd of each
# platform: Debian's pd here, Debian's arm64 and armhf pd in their roots
# under QEMU, Windows Pd (64-bit and 32-bit) under Wine. Each plays the patch
# of tests/pd_play.sh, and its recording must equal the Linux vorn render's,
# bit for bit. No platform is ever skipped: one that cannot run fails.
#
# Usage: tests/deken/test_deken.sh DEKEN_DIR LINUX_BUILD ARM64_BUILD ARMHF_BUILD WIN_BUILD WIN64_BUILD
#   DEKEN_DIR holds the package (make deken); the builds are those it was
#   made from, WIN_BUILD with the Windows Pd (scripts/pd-windows.sh) and the
#   Wine prefixes and virtual machine of tests/windows/winrun.sh.
# Everything lands in DEKEN_DIR/test. Status 0 when every check passed.
set -uo pipefail

usage="usage: test_deken.sh DEKEN_DIR LINUX_BUILD ARM64_BUILD ARMHF_BUILD WIN_BUILD WIN64_BUILD"
[[ $# -eq 6 ]] || { echo "$usage" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
dirs=()
for d in "$@"; do
  [[ -d $d ]] || { echo "test-deken: $d is missing (make deken builds it)"; exit 1; }
  dirs+=("$(cd "$d" && pwd)")
done
deken_dir=${dirs[0]} linux=${dirs[1]} arm64=${dirs[2]} armhf=${dirs[3]} win=${dirs[4]} win64=${dirs[5]}
vorn=$linux/bin/vorn
started=$SECONDS
export LC_ALL=C

# shellcheck source=../pd_play.sh
source "$here/../pd_play.sh"
# shellcheck source=../windows/winjob.sh
source "$here/../windows/winjob.sh"

say() { echo "test-deken: $*"; }
failed=()
fail_part() { say "FAILED: $1"; failed+=("$1"); }

# --- The package ------------------------------------------------------------------
version=$(sed -n 's/^project(vorn VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$source_dir/CMakeLists.txt")
platforms=(Linux-amd64-32 Linux-arm64-32 Linux-armv7-32 Windows-amd64-32 Windows-i386-32)
want="vorn~[v$version]$(printf '(%s)' "${platforms[@]}").dek"
shopt -s nullglob
found=("$deken_dir"/*.dek)
shopt -u nullglob
[[ ${#found[@]} -eq 1 ]] || { say "FAILED: $deken_dir holds ${#found[@]} packages, not one (make deken)"; exit 1; }
package=${found[0]}
name=$(basename "$package")
if [[ $name != "$want" ]]; then
  say "FAILED: the package is $name"
  say "        where five builds give $want"
  exit 1
fi
say "$name ($(stat -c %s "$package") bytes)"

work=$deken_dir/test
rm -rf "$work"
mkdir -p "$work"

check_contents() {
  local listing expected problems=0
  unzip -tq "$package" >/dev/null || { echo "unzip -t finds the archive damaged"; return 1; }
  listing=$(unzip -Z1 "$package" | sort)
  expected=$(printf '%s\n' vorn~/ vorn~/LICENSE.txt vorn~/README.txt vorn~/vorn~-help.pd vorn~/vorn~.md \
    vorn~/vorn~.l_amd64 vorn~/vorn~.l_arm vorn~/vorn~.l_arm64 vorn~/vorn~.m_amd64 vorn~/vorn~.m_i386 | sort)
  if [[ $listing != "$expected" ]]; then
    echo "the archive holds other files than the package's (< expected, > held):"
    diff <(echo "$expected") <(echo "$listing") | grep '^[<>]' | sed 's/^/  /'
    return 1
  fi
  local digest
  digest=$(sha256sum "$package" | cut -d' ' -f1)
  [[ -f $package.sha256 && $(tr -d ' \n' <"$package.sha256") == "$digest" ]] ||
    { echo "$name.sha256 does not hold the package's SHA-256 digest, $digest"; problems=1; }
  echo "ten entries: the folder vorn~ with five externals, the help patch, the reference, LICENSE.txt and README.txt; sha256 $digest"
  return $problems
}
if why=$(check_contents); then say "$why"; else sed 's/^/  /' <<<"$why"; fail_part "package contents"; fi

# --- Pd's package manager ------------------------------------------------------------
# Unpacked twice, each time into a fresh folder: with unzip, the way of
# Debian's Pd, whose GUI comes without tcllib, and with tcllib's
# zipfile::decode. The first is the folder that the five Pds load vorn~ from.
installed=$work/unzip/externals
# Its report: the checks, and what it told the user as it unpacked; all of
# its output when a check fails. Of the second run, what differs.
for unzipper in unzip tcllib; do
  log=$work/$unzipper.log
  say "Pd's package manager, unpacking with $unzipper:"
  if tclsh "$here/check_package.tcl" "$unzipper" "$package" "$work/$unzipper/externals" "$version" "${platforms[@]}" \
       >"$log" 2>&1; then
    grep -E '^deken: |^  deken says: Successfully' "$log" |
      if [[ $unzipper == unzip ]]; then cat; else
        grep -vxFf <(sed "s|/unzip/|/$unzipper/|" "$work/unzip.log" | grep -v 'every check passed'); fi |
      sed 's/^ *//; s/^/  /'
  else
    sed 's/^/  /' "$log"
    fail_part "Pd's package manager ($unzipper)"
  fi
done

# What was unpacked is what was built: the same files both ways, the
# externals those of the builds, the rest the sources'.
check_unpacked() {
  local problems=0 f
  [[ -d $installed/vorn~ ]] || { echo "nothing was unpacked into $installed"; return 1; }
  diff -r "$installed" "$work/tcllib/externals" >/dev/null ||
    { echo "unzip and zipfile::decode unpack different files"; problems=1; }
  for f in "$linux/pd/vorn~/vorn~.l_amd64" "$arm64/pd/vorn~/vorn~.l_arm64" "$armhf/pd/vorn~/vorn~.l_arm" \
           "$win64/pd/vorn~/vorn~.m_amd64" "$win/pd/vorn~/vorn~.m_i386"; do
    cmp -s "$f" "$installed/vorn~/$(basename "$f")" || { echo "$(basename "$f") is not $f"; problems=1; }
  done
  cmp -s "$source_dir/pd/vorn~-help.pd" "$installed/vorn~/vorn~-help.pd" || { echo "vorn~-help.pd is not pd/vorn~-help.pd"; problems=1; }
  cmp -s "$source_dir/docs/vorn~.md" "$installed/vorn~/vorn~.md" || { echo "vorn~.md is not docs/vorn~.md"; problems=1; }
  cmp -s "$source_dir/LICENSE" "$installed/vorn~/LICENSE.txt" || { echo "LICENSE.txt is not LICENSE"; problems=1; }
  cmp -s "$source_dir/pd/README.txt" "$installed/vorn~/README.txt" || { echo "README.txt is not pd/README.txt"; problems=1; }
  [[ $problems -ne 0 ]] || echo "the unpacked files are the builds' externals and the sources' documents"
  return $problems
}
if why=$(check_unpacked); then say "$why"; else sed 's/^/  /' <<<"$why"; fail_part "unpacked files"; fi
[[ -d $installed/vorn~ ]] || { say "FAILED: nothing to load vorn~ from"; exit 1; }

# --- vorn~ from the unpacked folder in each platform's Pd ------------------------------
# Each platform in a part of its own: its report goes to OUT, and the
# platform's name to FAILED when it fails.
platform() {  # platform NAME OUT FAILED COMMAND...
  local label=$1 out=$2 failures=$3 start=$SECONDS
  shift 3
  if "$@" >"$out" 2>&1; then
    echo "$label: passed ($((SECONDS - start)) s)" >>"$out"
  else
    echo "$label: FAILED ($((SECONDS - start)) s)" >>"$out"
    echo "$label" >>"$failures"
  fi
}

linux_amd64() {
  local dir=$work/linux-amd64 faketime_lib seed=1000000000 from why
  faketime_lib=$(ls /usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 2>/dev/null) ||
    { echo "no libfaketime (faketime; scripts/install-deps.sh build installs it)"; return 1; }
  command -v pd >/dev/null || { echo "no pd (puredata-core)"; return 1; }
  mkdir -p "$dir"
  pd_play_prepare "$vorn" "$dir" || return 1
  echo "vorn~ $pd_play_args in $(command -v pd) -nogui -batch -noaudio -nostdpath -path $installed, the clock at $seed s (libfaketime)"
  (cd "$dir" && env TZ=UTC LD_PRELOAD="$faketime_lib" FAKETIME_FMT=%s FAKETIME="$seed" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    pd -nogui -batch -noaudio -noprefs -nrt -nostdpath -verbose -r 44100 -path "$installed" -open play.pd \
    >pd.log 2>&1) || { echo "pd ended with status $?: $(head -c 600 "$dir/pd.log")"; return 1; }
  why=$(pd_play_console "$dir/pd.log") || { echo "$why"; return 1; }
  from=$(pd_play_loaded "$dir/pd.log")
  [[ $from == "$installed/vorn~/vorn~.l_amd64" ]] || { echo "Pd loaded vorn~ from ${from:-nowhere it said}"; return 1; }
  echo "Pd loaded $from"
  why=$(pd_play_compare "$vorn" "$dir" "$seed") || { echo "$why"; return 1; }
  echo "all $pd_play_frames samples equal vorn render --seed $why's, bit for bit"
}

arm() {  # arm ARCH BUILD
  "$source_dir/tests/arm/pd_compare.sh" "$1" "$2" "$vorn" "$installed"
}

# Windows Pd under Wine, through the job runner: the patch, its source and
# the unpacked folder go to the job (into the virtual machine too, where
# 32-bit programs run there). libfaketime does not reach Wine's clock, so
# the seed is found among the clock readings of the job's run.
windows() {  # windows ARCH (amd64 or i386) PD_DIR
  local arch=$1 pd_dir=$2
  local dir=$work/windows-$arch res start end from why
  local jobs=$dir/jobs results=$dir/results
  [[ -f $pd_dir/bin/pd.com ]] || { echo "$pd_dir/bin/pd.com is missing (make windows)"; return 1; }
  mkdir -p "$dir/play"
  pd_play_prepare "$vorn" "$dir/play" || return 1
  winjob_init "$jobs"
  winjob_program "$jobs" "$pd_dir/bin/pd.com" "pd-$arch"
  # The folder on Pd's path by its absolute name: Windows loads no library
  # by a relative one ("Module not found").
  winjob "$jobs" "pd-$arch" -i "$dir/play/play.pd" -i "$dir/play/src.wav" -i "$installed" -o out.wav -o position.wav \
    -- "pd-$arch/pd.com" -nogui -batch -noaudio -noprefs -nostdpath -verbose -r 44100 -path '@JOBDIR@\externals' \
    -open play.pd || return 1
  echo "vorn~ $pd_play_args in $pd_dir/bin/pd.com -nogui -batch -noaudio -nostdpath -path JOB_FOLDER/externals, under Wine"
  local bits=()
  [[ $arch == amd64 ]] && bits=(amd64)
  "$source_dir/tests/windows/winrun.sh" "$win" "$jobs" "$results" "${bits[@]}" ||
    { echo "the Windows job could not be run"; return 1; }
  res=$results/pd-$arch
  [[ $(cat "$res/status") == 0 ]] || { echo "pd.com ended with status $(cat "$res/status"): $(tr -d '\r' <"$res/stderr" | head -c 600)"; return 1; }
  why=$(pd_play_console "$res/stderr") || { echo "$why"; return 1; }
  from=$(pd_play_loaded "$res/stderr")
  [[ ${from//\\//} == Z:/*/pd-$arch/externals/vorn~/vorn~.m_$arch ]] ||
    { echo "Pd loaded vorn~ from ${from:-nowhere it said}"; return 1; }
  echo "Pd loaded $from"
  cp "$res"/out/out.wav "$res"/out/position.wav "$dir/play/" 2>/dev/null
  read -r start end <"$res/clock"
  echo "the job ran from $start to $end s (its clock): vorn render tries each seed between"
  why=$(pd_play_compare "$vorn" "$dir/play" "$start" "$end") || { echo "$why"; return 1; }
  echo "all $pd_play_frames samples equal vorn render --seed $why's, bit for bit (the clock read $why when Pd loaded vorn~)"
}

# Linux natively and under QEMU in one lane, Windows in the other: the
# virtual machine of 32-bit Wine keeps both processors busy while it boots.
logs=$work/logs
mkdir -p "$logs"
: >"$logs/failed"
{
  platform "Windows amd64" "$logs/windows-amd64" "$logs/failed" windows amd64 "$win/pd-windows/amd64"
  platform "Windows i386" "$logs/windows-i386" "$logs/failed" windows i386 "$win/pd-windows/i386"
} &
lane=$!
platform "Linux amd64" "$logs/linux-amd64" "$logs/failed" linux_amd64
platform "Linux arm64" "$logs/linux-arm64" "$logs/failed" arm arm64 "$arm64"
platform "Linux armv7" "$logs/linux-armv7" "$logs/failed" arm armhf "$armhf"
wait "$lane"
for p in linux-amd64 linux-arm64 linux-armv7 windows-amd64 windows-i386; do
  echo
  say "=== ${p/-/ }"
  sed 's/^/  /' "$logs/$p"
done
while read -r p; do failed+=("$p"); done <"$logs/failed"

echo
if [[ ${#failed[@]} -ne 0 ]]; then
  say "FAILED after $((SECONDS - started)) s: $(printf '%s; ' "${failed[@]}" | sed 's/; $//')"
  exit 1
fi
say "every check passed in $((SECONDS - started)) s"
