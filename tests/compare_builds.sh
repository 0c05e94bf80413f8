#!/usr/bin/env bash
# Two builds of vorn against each other, for a refactor or an optimisation
# that must not change the sound: the same renders, with the same arguments
# and --seed, by a baseline vorn and a new one. The sound files must be the
# same bytes, the console lines and the renderer's messages the same lines,
# and the exit statuses the same. `make compare-renders BASELINE=REV` builds
# both and runs this.
#
# The scenarios, named LIST/NAME:
#   common/   tests/render_scenarios.sh (the ARM comparison's);
#   windows/  tests/windows/wine_renders.sh's list, less the renders that
#             are the same as a common/ one;
#   kernel/   tests/kernel_scenarios.sh: periods, pitch, lists, jitters, the
#             source's ends, vector sizes.
# All of them run with the kernel that the engine picks (VORN_KERNEL unset);
# kernel/ and the picks below run again with each other kernel of the
# engine (VORN_KERNEL=NAME), but for a kernel that both builds say this
# processor does not run. Both builds read the same inputs, made by the
# baseline. A render's two runs go side by side.
#
# Usage: tests/compare_builds.sh BASELINE_VORN NEW_VORN
# The renders that differ are kept, and their folder named; KEEP_RENDERS=1
# keeps them all.
set -euo pipefail

usage="usage: compare_builds.sh BASELINE_VORN NEW_VORN"
baseline=${1:?$usage}
new=${2:?$usage}
here=$(cd "$(dirname "$0")" && pwd)
say() { echo "compare-renders: $*"; }
fail() { say "$*"; exit 1; }

for vorn in "$baseline" "$new"; do
  [[ -x $vorn && -f $vorn ]] || fail "$vorn: not an executable file"
done
baseline=$(realpath "$baseline")
new=$(realpath "$new")

# shellcheck source=render_compare.sh
source "$here/render_compare.sh"

# The scenarios that run again with each other kernel, besides kernel/: those
# of the other lists whose grains take other paths through the loop.
kernel_picks=(common/transpositions common/jitters common/vector-1 common/vector-4096 common/grains-1024
  common/nonfinite windows/list-256 windows/list-300 windows/jitters-wide windows/vector-1 windows/vector-4096
  windows/grains-1024 windows/overlap-forms windows/rate-1000 windows/rate-high windows/positions-file
  windows/args-huge)

# The kernels of the engine on this architecture, widest first.
case $(uname -m) in
  x86_64 | i?86) kernels=(avx512 avx2 sse2 plain) ;;
  aarch64 | arm64) kernels=(neon plain) ;;
  *) kernels=(plain) ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/compare-renders.XXXXXX")
kept=
cleanup() { [[ -n $kept || ${KEEP_RENDERS:-} == 1 ]] || rm -rf "$work"; }
trap cleanup EXIT

say "baseline: $baseline ($("$baseline" --version 2>&1 | head -1))"
say "new:      $new ($("$new" --version 2>&1 | head -1))"
[[ $baseline != "$new" ]] || say "(the same file twice)"

# The inputs, made by the baseline: src.wav, src2.wav and nonfinite.wav for
# common/ and kernel/, and other.wav, stereo.wav, positions.wav and score.txt
# for windows/.
mkdir -p "$work/inputs"
(
  # shellcheck source=windows/wine_renders.sh
  source "$here/windows/wine_renders.sh"
  render_inputs "$baseline" "$work/inputs" >/dev/null
) || fail "the baseline cannot make the inputs of tests/windows/wine_renders.sh"
why=$(render_sources "$baseline" "$work/inputs") || fail "$why"

# --- The scenarios ---------------------------------------------------------------
# Each is kept as its arguments, each followed by a unit separator (an empty
# word, a box without arguments, stays one), and its nans setting. A
# scenario that repeats one before it, arguments and nans setting alike,
# stands for that one (same_as) and is not rendered again.
order=()
declare -A args_of=() nans_of=() same_as=() first_of=()
repeated=()

collect() {  # collect LIST FILE: the scenarios of FILE's render_scenarios, as LIST/NAME
  local list=$1 file=$2 record key joined
  local -a fields
  [[ -f $file ]] || fail "$file is missing"
  while IFS= read -r -d '' record; do
    mapfile -d $'\x1f' -t fields < <(printf '%s' "$record")
    key=$list/${fields[0]}
    joined=${record#*$'\x1f'}
    joined=${joined#*$'\x1f'}
    [[ -z ${args_of[$key]+x} && -z ${same_as[$key]+x} ]] || fail "$file names $key twice"
    if [[ -n ${first_of[${fields[1]}:$joined]+x} ]]; then
      same_as[$key]=${first_of[${fields[1]}:$joined]}
      repeated+=("$key (${same_as[$key]})")
      continue
    fi
    first_of[${fields[1]}:$joined]=$key
    order+=("$key")
    args_of[$key]=$joined
    nans_of[$key]=${fields[1]}
  done < <(
    # shellcheck source=/dev/null
    source "$file"
    scenario() {
      local a
      printf '%s\x1f%s\x1f' "$1" "${nans:-}"
      shift
      for a in "$@"; do printf '%s\x1f' "$a"; done
      printf '\0'
    }
    render_scenarios
  )
}
collect common "$here/render_scenarios.sh"
collect windows "$here/windows/wine_renders.sh"
collect kernel "$here/kernel_scenarios.sh"

focused=()
for key in "${order[@]}"; do
  [[ $key == kernel/* ]] && focused+=("$key")
done
for pick in "${kernel_picks[@]}"; do
  key=${same_as[$pick]:-$pick}
  [[ -n ${args_of[$key]+x} ]] || fail "$pick, picked for every kernel, is no scenario"
  [[ " ${focused[*]} " == *" $key "* ]] || focused+=("$key")
done
[[ ${#repeated[@]} -eq 0 ]] || say "not rendered twice, the same as the one named: ${repeated[*]}"

# --- The kernels -------------------------------------------------------------------
# What a build's engine says of VORN_KERNEL=NAME: nothing when it runs that
# kernel, else the line it posts.
mkdir -p "$work/probe"
kernel_report() {  # kernel_report VORN NAME
  (cd "$work/probe" && VORN_KERNEL=$2 "$1" render -o probe.wav -d 1 --seed 1 -q 2>/dev/null |
    grep '^vorn~: VORN_KERNEL=') || true
}
failures=()
runs=()
default=
for kernel in "${kernels[@]}"; do
  a=$(kernel_report "$baseline" "$kernel")
  b=$(kernel_report "$new" "$kernel")
  if [[ -z $a && -z $b ]]; then
    # The engine's own choice is the widest kernel the processor runs.
    if [[ -z $default ]]; then default=$kernel; else runs+=("$kernel"); fi
  elif [[ $a == *"does not run"* && $b == *"does not run"* ]]; then
    say "skipping the $kernel kernel: this processor does not run it (the engine says: $b)"
  else
    say "FAILED: the builds do not answer VORN_KERNEL=$kernel alike: baseline: ${a:-no line}; new: ${b:-no line}"
    failures+=("VORN_KERNEL=$kernel")
  fi
done

# --- The renders -------------------------------------------------------------------
renders=0
run() {  # run KERNEL KEY: both renders of scenario KEY, compared; KERNEL "default" leaves VORN_KERNEL unset
  local kernel=$1 key=$2 dir=$work/$1/$2 side f started label
  local -a args env
  mapfile -d $'\x1f' -t args < <(printf '%s' "${args_of[$key]}")
  if [[ $kernel == default ]]; then env=(env -u VORN_KERNEL); else env=(env "VORN_KERNEL=$kernel"); fi
  for side in baseline new; do
    mkdir -p "$dir/$side"
    for f in "$work"/inputs/*; do ln -s "$f" "$dir/$side/"; done
  done
  started=${EPOCHREALTIME/./}
  (cd "$dir/baseline" && s=0 && { "${env[@]}" "$baseline" render "${args[@]}" >stdout 2>stderr || s=$?; } &&
    echo "$s" >status) &
  (cd "$dir/new" && s=0 && { "${env[@]}" "$new" render "${args[@]}" >stdout 2>stderr || s=$?; } && echo "$s" >status) &
  wait
  label=$key
  [[ $kernel == default ]] || label="$kernel: $key"
  renders=$((renders + 1))
  if nans=${nans_of[$key]} render_check "$label" "$dir/baseline" baseline "$dir/new" new \
    "$(printf '%d.%02d s' $(((${EPOCHREALTIME/./} - started) / 1000000)) $(((${EPOCHREALTIME/./} - started) / 10000 % 100)))"; then
    rm -rf "$dir"
  else
    failures+=("$label")
    kept=1
  fi
}

start=$SECONDS
say "${#order[@]} scenarios with the kernel the engine picks (${default:-none of ${kernels[*]}})"
for key in "${order[@]}"; do run default "$key"; done
for kernel in "${runs[@]}"; do
  say "${#focused[@]} scenarios with VORN_KERNEL=$kernel"
  for key in "${focused[@]}"; do run "$kernel" "$key"; done
done

echo
if [[ ${#failures[@]} -ne 0 ]]; then
  say "FAILED: ${#failures[@]} differ, of $renders renders in $((SECONDS - start)) s:"
  printf '  %s\n' "${failures[@]}"
  say "the renders that differ are in $work"
  exit 1
fi
say "all $renders renders agree, byte for byte$( ((render_nan_bits)) && echo " (but for the bits of NaN samples in $render_nan_bits)"), in $((SECONDS - start)) s"
