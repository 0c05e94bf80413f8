# shellcheck shell=bash
# What the comparisons of vorn~ in a real Pd with vorn render share
# (tests/arm/pd_compare.sh, tests/deken/test_deken.sh): one patch and the
# check of what it recorded. Pd, headless, reads a source into an array,
# plays a moving position into vorn~ and sends it timed messages, records
# vorn~'s output and the position with tabwrite~, writes both with
# soundfiler and quits. vorn render then renders the same source at the
# position Pd recorded, with the same messages, --vector 64 (Pd's block) and
# --seed at the clock reading that vorn~'s random source started from: the
# samples must be the same, bit for bit. Sourced; defines variables and
# functions only.

pd_play_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=render_compare.sh
source "$pd_play_here/render_compare.sh"

# What is played: 2 s at 44100 Hz, blocks of 64.
pd_play_frames=88200
pd_play_args="5 src 20 0 15 90"
# Timed messages: milliseconds from the start, inlet, message. Pd delivers a
# message that falls inside a block before that block, as vorn does for the
# vector that holds sample round(t × 44.1); none of these times lies within
# half a sample of a block's end.
pd_play_messages=("400 2 0 -1200 700 1200" "900 0 overlap 3" "1300 3 40" "1600 4 45" "1750 0 overlap 5")

# pd_play_prepare VORN DIR: in DIR, the source src.wav, made by VORN (3 s of
# float WAV, as render_sources makes it), and the patch play.pd, which
# reads it and writes out.wav and position.wav beside itself.
pd_play_prepare() {
  local vorn dir=$2 frames=$pd_play_frames
  vorn=$(realpath "$1")
  render_sources "$vorn" "$dir" || return 1
  rm -f "$dir/src2.wav" "$dir/nonfinite.wav"
  # Objects are numbered from 0 in the order written.
  {
    echo "#N canvas 0 0 900 700 12;"
    echo "#X obj 10 10 table src;"                                        # 0
    echo "#X obj 10 40 table out $frames;"                                # 1
    echo "#X obj 10 70 table position $frames;"                           # 2
    echo "#X obj 10 100 loadbang;"                                        # 3
    echo "#X obj 10 130 t b b b b;"                                       # 4
    echo "#X msg 300 160 read -resize src.wav src;"                       # 5
    echo "#X obj 300 190 soundfiler;"                                     # 6
    echo "#X obj 10 220 phasor~ 0.4;"                                     # 7
    echo "#X obj 10 250 *~ 2600;"                                         # 8
    echo "#X obj 10 280 +~ 150;"                                          # 9
    echo "#X obj 10 400 vorn~ $pd_play_args;"                             # 10
    echo "#X obj 10 450 tabwrite~ out;"                                   # 11
    echo "#X obj 200 450 tabwrite~ position;"                             # 12
    echo "#X msg 200 160 \; pd dsp 1;"                                    # 13
    echo "#X obj 100 160 delay $(( frames * 1000 / 44100 + 100 ));"       # 14
    echo "#X obj 100 190 t b b;"                                          # 15
    echo "#X msg 300 250 write -wave -bytes 4 out.wav out \, write -wave -bytes 4 position.wav position;"  # 16
    echo "#X msg 100 250 \; pd quit;"                                     # 17
    local n=18 m t inlet words
    for m in "${pd_play_messages[@]}"; do
      read -r t inlet words <<<"$m"
      echo "#X obj 500 $((160 + 30 * (n - 18))) delay $t;"
      echo "#X msg 600 $((160 + 30 * (n - 18))) $words;"
      n=$((n + 2))
    done
    echo "#X connect 3 0 4 0;"
    echo "#X connect 4 3 5 0;"
    echo "#X connect 5 0 6 0;"
    echo "#X connect 4 2 11 0;"
    echo "#X connect 4 2 12 0;"
    echo "#X connect 4 1 13 0;"
    echo "#X connect 4 0 14 0;"
    echo "#X connect 7 0 8 0;"
    echo "#X connect 8 0 9 0;"
    echo "#X connect 9 0 10 0;"
    echo "#X connect 9 0 12 0;"
    echo "#X connect 10 0 11 0;"
    echo "#X connect 14 0 15 0;"
    echo "#X connect 15 1 16 0;"
    echo "#X connect 16 0 6 0;"
    echo "#X connect 15 0 17 0;"
    n=18
    for m in "${pd_play_messages[@]}"; do
      read -r t inlet words <<<"$m"
      echo "#X connect 4 0 $n 0;"
      echo "#X connect $n 0 $((n + 1)) 0;"
      echo "#X connect $((n + 1)) 0 10 $inlet;"
      n=$((n + 2))
    done
  } >"$dir/play.pd"
}

# pd_play_console LOG: Pd's console (its standard error, with either line
# end) must show vorn~'s banner and no error, no box that could not be made
# and no complaint of vorn~'s; otherwise says what it shows, status 1.
pd_play_console() {
  local log=$1 text
  text=$(tr -d '\r' <"$log")
  if ! grep -q '^vorn~ 1.0.0: granular synthesis of a buffer~' <<<"$text"; then
    echo "vorn~ did not load: $(head -c 600 <<<"$text")"
    return 1
  fi
  if grep -qiE 'error|couldn.t create|vorn~: ' <<<"$text"; then
    echo "Pd reported problems: $(grep -iE 'error|couldn.t create|vorn~: ' <<<"$text" | head -5 | paste -sd '|' -)"
    return 1
  fi
}

# pd_play_loaded LOG: the file that Pd loaded vorn~ from, as its console
# says with -verbose ("verbose(4): tried PATH and succeeded").
pd_play_loaded() {
  tr -d '\r' <"$1" | sed -n 's/^\(verbose([0-9]*): \)\{0,1\}tried \(.*vorn~\.[a-z]_[a-z0-9]*\) and succeeded$/\2/p' | head -1
}

# pd_play_compare VORN DIR FIRST_SEED [LAST_SEED]: VORN renders the source
# at the position that Pd recorded in DIR/position.wav with each seed from
# FIRST_SEED to LAST_SEED (the clock readings that vorn~'s random source can
# have started from); one render must hold the samples of Pd's DIR/out.wav,
# bit for bit. Prints the seed that matched, status 0; otherwise where each
# seed's render first differs, status 1.
pd_play_compare() {
  local vorn dir=$2 first=$3 last=${4:-$3} seed why m t inlet words
  vorn=$(realpath "$1")
  [[ -f $dir/out.wav && -f $dir/position.wav ]] || { echo "Pd wrote no out.wav or position.wav"; return 1; }
  # Silence would prove little.
  perl -e "$render_wav_perl"'
    my $s = slurp($ARGV[0]);
    my %c = wav_chunks($s);
    exit !($c{data} && substr($s, $c{data}[0], $c{data}[1]) =~ /[^\0]/);
  ' "$dir/out.wav" || { echo "Pd's recording is silent"; return 1; }
  local args=(src.wav -a "$pd_play_args" -p file:position.wav --vector 64 -d "$pd_play_frames" -q)
  for m in "${pd_play_messages[@]}"; do
    read -r t inlet words <<<"$m"
    args+=(-m "$t $inlet $words")
  done
  local -a misses=()
  for ((seed = first; seed <= last; seed++)); do
    (cd "$dir" && "$vorn" render "${args[@]}" -o "vorn-$seed.wav" --seed "$seed" >"vorn-$seed.stdout" 2>"vorn-$seed.stderr") ||
      { echo "vorn failed at seed $seed: $(head -3 "$dir/vorn-$seed.stderr")"; return 1; }
    if why=$(render_samples_difference "$dir/out.wav" "$dir/vorn-$seed.wav"); then
      echo "$seed"
      return 0
    fi
    misses+=("seed $seed: $why")
    rm -f "$dir/vorn-$seed".*
  done
  if [[ $first -eq $last ]]; then
    echo "the samples differ (Pd's against vorn's): ${misses[0]#seed *: }"
  else
    echo "no seed from $first to $last gives Pd's samples (Pd's against vorn's):"
    printf '  %s\n' "${misses[@]:0:6}"
    [[ ${#misses[@]} -le 6 ]] || echo "  and $(( ${#misses[@]} - 6 )) more seeds"
  fi
  return 1
}
