#!/usr/bin/env bash
# Times `vorn render` against the granular engines of other systems on one
# workload, each as a whole process rendering to a file:
#   Csound's syncgrain, SuperCollider's GrainBuf (scsynth non-realtime) and
#   pyo's Granulator (offline server).
# The workload: a 10 s mono source at 44.1 kHz, Hann grains of 100 ms and of
# 20 ms (where players mostly are) at the original pitch, and of 100 ms a
# fifth up (+700 cents: a grain then reads 1.5 frames a sample, as a
# transposed grain does), 60 s of output while the read position scans the
# source at 0.1666 s per second, with 64, 512 and 1024 grains sounding at
# once.
#
# Usage: bench/peers/run.sh [--quick] [--runs N] [--timeout S]
#                           [--engines "vorn csound sc pyo"] [--grains "64 512 1024"]
#                           [--periods "100 20"] [--transposed CENTS]
#   --quick      5 s of output instead of 60 (for trying the script out)
#   --runs N     best of N runs of every command (default 3; or RUNS=N)
#   --timeout S  a run that takes longer than S seconds fails (default 900; or TIMEOUT=S)
#   --engines    which engines to run (vorn always runs: the ratios need it)
#   --grains     the numbers of overlapping grains
#   --periods    the grain lengths, ms (one column each in the table)
#   --transposed one more column: the first grain length, transposed by
#                CENTS (default 700; 0: no such column)
#   VORN=PATH    the vorn binary (default build/bin/vorn, else build-dev/bin/vorn)
#
# Installs the peers (Debian packages) through scripts/install-deps.sh peers.
# Seconds are whole-process wall-clock seconds, best of N. Start-up is the same
# command rendering 0.01 s; ns per grain-sample is
#   (seconds - start-up) / (output seconds * 44100 * grains) * 1e9,
# and a peer's ratio is its ns per grain-sample over vorn~'s at the same count.
set -euo pipefail
export LC_ALL=C   # decimal points in EPOCHREALTIME and awk

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

RUNS=${RUNS:-3}
TIMEOUT=${TIMEOUT:-900}
OUT_SECONDS=60
ENGINES="vorn csound sc pyo"
GRAINS="64 512 1024"
PERIODS="100 20"
TRANSPOSED=700
RATE=44100
SRC_SECONDS=10
SPEED=0.1666
STARTUP_SECONDS=0.01

die() { echo "run.sh: $*" >&2; exit 1; }
note() { echo "run.sh: $*" >&2; }

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) OUT_SECONDS=5 ;;
    --runs) [[ $# -ge 2 ]] || die "--runs needs a number"; RUNS=$2; shift ;;
    --runs=*) RUNS=${1#*=} ;;
    --timeout) [[ $# -ge 2 ]] || die "--timeout needs seconds"; TIMEOUT=$2; shift ;;
    --timeout=*) TIMEOUT=${1#*=} ;;
    --engines) [[ $# -ge 2 ]] || die "--engines needs a list"; ENGINES=$2; shift ;;
    --engines=*) ENGINES=${1#*=} ;;
    --grains) [[ $# -ge 2 ]] || die "--grains needs a list"; GRAINS=$2; shift ;;
    --grains=*) GRAINS=${1#*=} ;;
    --periods) [[ $# -ge 2 ]] || die "--periods needs a list"; PERIODS=$2; shift ;;
    --periods=*) PERIODS=${1#*=} ;;
    --transposed) [[ $# -ge 2 ]] || die "--transposed needs cents"; TRANSPOSED=$2; shift ;;
    --transposed=*) TRANSPOSED=${1#*=} ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument '$1'" ;;
  esac
  shift
done
[[ "$RUNS" =~ ^[1-9][0-9]*$ ]] || die "--runs: '$RUNS' is not a whole number of at least 1"
[[ "$TIMEOUT" =~ ^[1-9][0-9]*$ ]] || die "--timeout: '$TIMEOUT' is not a whole number of seconds"
ENGINES=${ENGINES//,/ }
GRAINS=${GRAINS//,/ }
PERIODS=${PERIODS//,/ }
for p in $PERIODS; do
  [[ "$p" =~ ^[1-9][0-9]*$ ]] && (( p <= 10000 )) || die "--periods: $p is not a whole number of ms from 1 to 10000"
done
[[ "$TRANSPOSED" =~ ^-?[0-9]+$ ]] && (( TRANSPOSED >= -2400 && TRANSPOSED <= 2400 )) ||
  die "--transposed: $TRANSPOSED is not a whole number of cents from -2400 to 2400"
# The table's columns: PERIOD:CENTS.
COLUMNS=""
for p in $PERIODS; do COLUMNS+="$p:0 "; done
(( TRANSPOSED == 0 )) || COLUMNS+="${PERIODS%% *}:$TRANSPOSED"
COLUMNS=${COLUMNS% }
for g in $GRAINS; do
  [[ "$g" =~ ^[0-9]+$ ]] && (( g >= 2 && g <= 1024 && (g & (g - 1)) == 0 )) \
    || die "--grains: $g is not a power of two from 2 to 1024 (vorn~ has 2^n grains)"
done
peers=()
for e in $ENGINES; do
  case "$e" in
    vorn) ;;
    csound|sc|pyo) peers+=("$e") ;;
    *) die "--engines: unknown engine '$e' (vorn, csound, sc, pyo)" ;;
  esac
done
engines=(vorn "${peers[@]}")

declare -A label=([vorn]="vorn~ render" [csound]="Csound syncgrain" [sc]="SC GrainBuf" [pyo]="pyo Granulator")

# --- tools -----------------------------------------------------------------

if [[ -z "${VORN:-}" ]]; then
  if [[ -x "$root/build/bin/vorn" ]]; then VORN="$root/build/bin/vorn"
  else VORN="$root/build-dev/bin/vorn"; fi
fi
[[ -x "$VORN" ]] || die "no vorn binary at $VORN: run 'make build', or set VORN=path"

"$root/scripts/install-deps.sh" peers \
  || die "the benchmark peers are not installed (see above); install them as root with: scripts/install-deps.sh peers"
PY=/usr/bin/python3   # Debian's: python3-pyo installs pyo for it
for tool in "$PY" csound scsynth timeout; do
  command -v "$tool" >/dev/null || die "'$tool' not found although the peers group is installed"
done

tmp=$(mktemp -d /tmp/vorn-peers.XXXXXX)
child=
trap 'rm -rf "$tmp"' EXIT
# A signal stops the render in progress too (timeout passes it on).
on_signal() { [[ -n "$child" ]] && kill -TERM "$child" 2>/dev/null; exit "$1"; }
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
trap 'on_signal 129' HUP

# --- the source --------------------------------------------------------------

src="$tmp/src.wav"
"$VORN" render -o "$src" -p scan:1 -d "${SRC_SECONDS}s" --seed 1 -q >"$tmp/src.log" 2>&1 \
  || { cat "$tmp/src.log" >&2; die "vorn could not render the source sound"; }
check=$("$PY" "$here/wavcheck.py" "$src" --seconds "$SRC_SECONDS") \
  || die "the source sound is unusable: $check"
frames=$(( SRC_SECONDS * RATE ))

# --- one command per engine ------------------------------------------------
# prepare ENGINE GRAINS SECONDS OUT PERIOD CENTS: writes what the command
# reads, untimed, and sets the array cmd to the command to time. PERIOD is
# the grain length in ms, CENTS the transposition (the peers take it as a
# reading rate, 2^(CENTS/1200)).

prepare() {
  local engine=$1 grains=$2 seconds=$3 out=$4 period=$5 cents=$6 exponent=0 n=$2
  local job="$tmp/$engine-$grains-$seconds-$period-$cents"
  local GRAIN_SECONDS PITCH
  GRAIN_SECONDS=$(awk -v p="$period" 'BEGIN{print p / 1000}')
  PITCH=$(awk -v c="$cents" 'BEGIN{printf "%.17g", 2 ^ (c / 1200)}')
  case "$engine" in
    vorn)
      while (( n > 1 )); do n=$(( n / 2 )); exponent=$(( exponent + 1 )); done
      cmd=("$VORN" render "$src" -o "$out" -a "$exponent src 0 $cents 0 $period"
           -p "scan:$SPEED" -d "${seconds}s" --seed 1 -q)
      ;;
    csound)
      sed -e "s|@SRC@|$src|g" -e "s|@OVERLAP@|$grains|g" -e "s|@GRAIN@|$GRAIN_SECONDS|g" \
          -e "s|@SPEED@|$SPEED|g" -e "s|@DURATION@|$seconds|g" -e "s|@PITCH@|$PITCH|g" "$here/syncgrain.csd" >"$job.csd"
      cmd=(csound --format=wav:float -o "$out" "$job.csd")
      ;;
    sc)
      "$PY" "$here/sc_score.py" "$job.osc" --src "$src" --frames "$frames" --overlap "$grains" \
        --duration "$seconds" --grain "$GRAIN_SECONDS" --speed "$SPEED" --pitch "$PITCH"
      cmd=(scsynth -N "$job.osc" _ "$out" "$RATE" WAV float -i 0 -o 1 -z 64)
      ;;
    pyo)
      cmd=("$PY" "$here/pyo_granulator.py" "$src" "$out" --overlap "$grains" --duration "$seconds"
           --grain "$GRAIN_SECONDS" --speed "$SPEED" --pitch "$PITCH")
      ;;
  esac
}

# timed ENGINE GRAINS SECONDS COLUMN: runs the command once (COLUMN:
# PERIOD:CENTS); sets elapsed (seconds) and out, or returns 1 after saying
# why.
timed() {
  local engine=$1 grains=$2 seconds=$3 period=${4%:*} cents=${4#*:} log="$tmp/run.log" t0 t1 rc
  out="$tmp/out-$engine-$grains-$period-$cents.wav"
  rm -f "$out"
  prepare "$engine" "$grains" "$seconds" "$out" "$period" "$cents"
  t0=$EPOCHREALTIME
  rc=0
  # In the background, so that a signal reaches this script at once.
  timeout -k 10 "$TIMEOUT" "${cmd[@]}" </dev/null >"$log" 2>&1 &
  child=$!
  wait "$child" || rc=$?
  t1=$EPOCHREALTIME
  child=
  elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.3f", b - a}')
  if (( rc == 124 || rc == 137 )); then
    note "${label[$engine]} ($grains grains, $period ms, $cents cents, $seconds s) timed out after $TIMEOUT s: ${cmd[*]}"
    return 1
  elif (( rc != 0 )); then
    note "${label[$engine]} ($grains grains, $period ms, $cents cents, $seconds s) failed with exit status $rc: ${cmd[*]}"
    note "its last lines of output:"
    tail -n 15 "$log" | sed 's/^/    /' >&2
    return 1
  elif [[ ! -s "$out" ]]; then
    note "${label[$engine]} ($grains grains, $period ms, $cents cents, $seconds s) exited 0 but wrote no $out"
    tail -n 15 "$log" | sed 's/^/    /' >&2
    return 1
  fi
}

min() { awk -v a="$1" -v b="$2" 'BEGIN{print (a == "" || b + 0 < a + 0) ? b : a}'; }

# --- the runs ----------------------------------------------------------------

declare -A best=() startup=() status=() level=()
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
note "vorn: $VORN; output ${OUT_SECONDS} s; best of $RUNS; engines: ${engines[*]}; grains: $GRAINS; columns (ms:cents): $COLUMNS"
first_column=${COLUMNS%% *}

for (( run = 1; run <= RUNS; run++ )); do
  # Start-up: the same command with a tiny output.
  for e in "${engines[@]}"; do
    [[ "${status[$e,startup]:-ok}" == ok ]] || continue
    if timed "$e" 64 "$STARTUP_SECONDS" "$first_column"; then
      startup[$e]=$(min "${startup[$e]:-}" "$elapsed")
      note "run $run/$RUNS: ${label[$e]} start-up: $elapsed s"
    else
      status[$e,startup]=failed
      [[ $e == vorn ]] && die "vorn itself failed; nothing to compare with"
    fi
    rm -f "$out"
  done
  # The workload, engines interleaved so that a burst of load hits them alike.
  for p in $COLUMNS; do
    for g in $GRAINS; do
      for e in "${engines[@]}"; do
        [[ "${status[$e,$g,$p]:-ok}" == ok && "${status[$e,startup]:-ok}" == ok ]] || continue
        # Csound's and SuperCollider's grains start on a trigger, at most one
        # a sample: more starts a second than the sample rate would leave
        # them fewer grains sounding than asked for.
        if [[ $e == csound || $e == sc ]] && (( g * 1000 > RATE * ${p%:*} )); then
          status[$e,$g,$p]=n/a
          continue
        fi
        if ! timed "$e" "$g" "$OUT_SECONDS" "$p"; then
          status[$e,$g,$p]=failed
          [[ $e == vorn ]] && die "vorn itself failed; nothing to compare with"
          continue
        fi
        if (( run == 1 )); then
          # A render that is silent, short or broken must not count as fast.
          if verdict=$("$PY" "$here/wavcheck.py" "$out" --seconds "$OUT_SECONDS" --rate "$RATE"); then
            level[$e,$g,$p]=$verdict
          else
            note "WARNING: ${label[$e]} at $g grains, ${p%:*} ms, ${p#*:} cents: ${verdict:-cannot check its output}; left out of the comparison"
            status[$e,$g,$p]=$(awk '{print $1}' <<<"${verdict:-UNREADABLE}")
            [[ $e == vorn ]] && die "vorn's own output is unusable"
            rm -f "$out"
            continue
          fi
        fi
        best[$e,$g,$p]=$(min "${best[$e,$g,$p]:-}" "$elapsed")
        note "run $run/$RUNS: ${label[$e]} $g grains, ${p%:*} ms, ${p#*:} cents: $elapsed s"
        rm -f "$out"
      done
    done
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table ---------------------------------------------------------------

ns_per() {  # SECONDS STARTUP GRAINS
  awk -v s="$1" -v u="$2" -v g="$3" -v d="$OUT_SECONDS" -v r="$RATE" \
    'BEGIN{ x = (s - u) / (d * r * g) * 1e9; if (x > 0) printf "%.3f", x; else print "n/a" }'
}

# first_line PATTERN COMMAND...: the first line of the command's output that
# matches. The whole output is read first: a tool cut off by a closed pipe
# may spin instead of stopping.
first_line() {
  local pattern=$1 text
  shift
  text=$(timeout 30 "$@" </dev/null 2>&1 || true)
  grep -m1 -i -e "$pattern" <<<"$text" || true
}

versions() {
  echo "  vorn:    $(first_line . "$VORN" --version)"
  local p
  for p in "${peers[@]}"; do
    case "$p" in
      csound) echo "  csound:  $(first_line version csound --version)" ;;
      sc) echo "  scsynth: $(first_line scsynth scsynth -v)" ;;
      pyo) echo "  pyo:     $(first_line . "$PY" -c 'import os,sys; sys.stdout=open(os.devnull,"w"); import pyo; sys.stdout=sys.__stdout__; print(pyo.PYO_VERSION)')" ;;
    esac
  done
}

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo
echo "Granular engines, whole process, best of $RUNS: $(date '+%Y-%m-%d %H:%M:%S %Z')"
echo "machine: ${cpu:-unknown CPU}, $(nproc) cores; load average ${load_before} before, ${load_after} after"
versions
echo "workload: ${SRC_SECONDS} s mono source, ${RATE} Hz, Hann grains of $(sed 's/ / and /g' <<<"$PERIODS") ms at transposition 0$( (( TRANSPOSED == 0 )) || echo ", and of ${PERIODS%% *} ms at $TRANSPOSED cents"),"
echo "          ${OUT_SECONDS} s of output, position scanning ${SPEED} s of source per second"
echo "start-up: the same command rendering ${STARTUP_SECONDS} s; ns/gs: ns per grain-sample; x vorn~: its ns/gs over vorn~'s;"
echo "n/a: more grain starts a second than samples, which a trigger-started engine cannot give"
echo
header=$(printf '%-18s %6s' engine grains)
rule=$(printf '%-18s %6s' ------------------ ------)
for p in $COLUMNS; do
  if [[ ${p#*:} == 0 ]]; then title="${p%:*} ms: s"; else title="${p%:*}@${p#*:}c"; fi
  header+=$(printf ' | %8s %9s %7s' "$title" "ns/gs" "x vorn~")
  rule+=$(printf ' | %8s %9s %7s' -------- --------- -------)
done
echo "$header"
echo "$rule"
failures=0
for g in $GRAINS; do
  for e in "${engines[@]}"; do
    line=$(printf '%-18s %6s' "${label[$e]}" "$g")
    for p in $COLUMNS; do
      st=${status[$e,$g,$p]:-ok}
      [[ "${status[$e,startup]:-ok}" == ok ]] || st=failed
      if [[ $st != ok || -z "${best[$e,$g,$p]:-}" ]]; then
        line+=$(printf ' | %8s %9s %7s' "$st" "-" "-")
        [[ $st == n/a ]] || failures=$(( failures + 1 ))
        continue
      fi
      ns=$(ns_per "${best[$e,$g,$p]}" "${startup[$e]}" "$g")
      vorn_ns=$(ns_per "${best[vorn,$g,$p]}" "${startup[vorn]}" "$g")
      if [[ $e == vorn ]]; then ratio=1.00
      else ratio=$(awk -v a="$ns" -v v="$vorn_ns" 'BEGIN{ if (a == "n/a" || v == "n/a" || v <= 0) print "n/a"; else printf "%.2f", a / v }')
      fi
      line+=$(printf ' | %8s %9s %7s' "${best[$e,$g,$p]}" "$ns" "$ratio")
    done
    echo "$line"
  done
done
echo
echo "start-up seconds: $(for e in "${engines[@]}"; do printf '%s %s; ' "${label[$e]}" "${startup[$e]:--}"; done)"
for p in $COLUMNS; do
  if [[ -n "${best[vorn,1024,$p]:-}" ]]; then
    awk -v d="$OUT_SECONDS" -v s="${best[vorn,1024,$p]}" -v p="${p%:*}" -v c="${p#*:}" \
      'BEGIN{ printf "vorn render real-time factor, %g s at 1024 grains of %s ms, %s cents: %g / %.3f s = %.1fx real time\n", d, p, c, d, s, d / s }'
  fi
done
echo "output levels (first run):"
for p in $COLUMNS; do
  for g in $GRAINS; do
    for e in "${engines[@]}"; do
      if [[ -n "${level[$e,$g,$p]:-}" ]]; then
        printf '  %-18s %5s grains, %4s ms, %5s cents: %s\n' "${label[$e]}" "$g" "${p%:*}" "${p#*:}" "${level[$e,$g,$p]#ok }"
      fi
    done
  done
done
if (( failures > 0 )); then
  note "$failures measurement(s) failed or were left out (see the warnings above)"
  exit 1
fi
