#!/usr/bin/env bash
# Runs a folder of Windows jobs under Wine, several at a time, and writes
# their results. The same script runs them on this machine (winrun.sh, where
# Wine runs 32-bit programs here) and inside the virtual machine (guest.sh),
# so that results look the same whichever ran them.
#
# Usage: winjobs.sh JOBS RESULTS WORK PARALLEL WINE
#   JOBS     a folder as winjob (winjob.sh) lays it out: programs/, inputs and
#            one folder per job holding its description, `job`, whose lines are
#              program PATH     the program, PATH under JOBS/programs
#              arg WORD         one argument, in order; @JOBDIR@ in it stands for
#                               the job's folder as Windows names it (Wine's
#                               drive Z: is /), for a program that needs an
#                               absolute path: Windows loads no library by a
#                               relative one
#              env NAME=VALUE   one environment variable
#              input PATH       a file or folder under JOBS, copied into the job's folder
#              output NAME      a file the job writes in its folder, or a
#                               pattern (*.wav) for every file that matches
#              weight N         how long it runs, roughly: the heaviest start first
#   RESULTS  gets one folder per job: status (the exit status; written last),
#            stdout, stderr, seconds, clock (the calendar clock when it
#            started and when it ended, whole seconds since 1970: what a
#            program seeded from the clock can have read), and out/ with the
#            outputs that exist
#   WORK     a scratch folder: the programs are copied there and every job
#            runs in a folder of its own there
#   PARALLEL how many jobs run at once
#   WINE     the command that runs a Windows program
# Every job runs for at most WINJOB_TIMEOUT seconds (default 1500); one
# stopped then has status 124.
set -uo pipefail

[[ $# -eq 5 ]] || { echo "usage: winjobs.sh JOBS RESULTS WORK PARALLEL WINE" >&2; exit 2; }
jobs_dir=$1 results=$2 work=$3 parallel=$4 wine=$5
timeout_s=${WINJOB_TIMEOUT:-1500}

mkdir -p "$results" "$work"
rm -rf "$work/programs"
cp -a "$jobs_dir/programs" "$work/programs" || { echo "winjobs: cannot copy the programs" >&2; exit 1; }

# Milliseconds since the epoch (no awk in the guest: bash alone).
now_ms() { local t; t=$(date +%s%N); echo $((t / 1000000)); }

run_job() {
  local name=$1
  local desc=$jobs_dir/$name/job dir=$work/jobs/$name res=$results/$name
  local program="" key value
  local -a args=() envs=() outputs=()
  rm -rf "$dir" "$res"
  mkdir -p "$dir" "$res/out"
  while IFS= read -r line; do
    key=${line%% *}
    value=${line#* }
    [[ $line == "$key" ]] && value=""
    case $key in
      program) program=$value ;;
      arg) args+=("${value//@JOBDIR@/Z:${dir//\//\\}}") ;;
      env) envs+=("$value") ;;
      input) cp -r "$jobs_dir/$value" "$dir/" || echo "winjobs: $name: input $value missing" >>"$res/stderr" ;;
      output) outputs+=("$value") ;;
    esac
  done <"$desc"
  local start status elapsed clock_start
  clock_start=$(date +%s)
  start=$(now_ms)
  (cd "$dir" && env "${envs[@]}" timeout "$timeout_s" $wine "$work/programs/$program" "${args[@]}" \
     </dev/null >>"$res/stdout" 2>>"$res/stderr")
  status=$?
  elapsed=$(($(now_ms) - start))
  printf '%d.%d\n' $((elapsed / 1000)) $((elapsed % 1000 / 100)) >"$res/seconds"
  echo "$clock_start $(date +%s)" >"$res/clock"
  local f
  for f in "${outputs[@]}"; do
    for g in "$dir"/$f; do
      [[ -f $g ]] && cp "$g" "$res/out/"
    done
  done
  rm -rf "$dir"
  echo "$status" >"$res/status"
  echo "winjobs: $name: status $status, $(cat "$res/seconds") s"
}

names=()
for d in "$jobs_dir"/*/; do
  d=${d%/}
  [[ -f $d/job ]] && names+=("$(basename "$d")")
done
# The heaviest jobs first, so that the last to finish are short ones.
mapfile -t names < <(for n in "${names[@]}"; do
  w=1
  while read -r key value; do [[ $key == weight ]] && w=$value; done <"$jobs_dir/$n/job"
  echo "$w $n"
done | sort -k1,1nr -k2 | cut -d' ' -f2)

running=0
for name in "${names[@]}"; do
  if [[ $running -ge $parallel ]]; then
    wait -n
    running=$((running - 1))
  fi
  run_job "$name" &
  running=$((running + 1))
done
wait
echo "winjobs: ${#names[@]} jobs run"
