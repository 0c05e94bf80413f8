# The Windows build against the Linux build: the same renders, with the same
# arguments and --seed, by vorn.exe under Wine (loading vorn~.mxe through
# MaxAPI.dll and MaxAudio.dll) and by the Linux vorn. The sound files must
# agree byte for byte, the console lines (banner, print, failed lookups) line
# for line, the renderer's own messages (warnings, errors) too, and the exit
# statuses. Every render runs twice under Wine: with the x87 control word
# that Wine starts programs with, and with VORN_X87_CONTROL=0x027F, the one
# Max runs with (but one, see render_states).
#
# Sourced by test_windows.sh, which calls
#   renders_prepare JOBS WORK LINUX_VORN   the inputs, the Linux renders in
#                                          WORK, and the Windows jobs
#   renders_check RESULTS WORK             the comparison; status 1 when any
#                                          render differs
# Render jobs are named render.NAME.x87-STATE.

# The x87 control words the Windows renders run with: "default" leaves it
# as Wine sets it.
RENDER_X87_STATES=(default 0x027F)

# The states a scenario runs in: all of them, but the 60-second render at
# 1024 grains only in Max's. Under emulation it takes some seven minutes,
# and the two-second render at 1024 grains runs in both.
render_states() {
  if [[ $1 == grains-1024-60s ]]; then echo 0x027F; else echo "${RENDER_X87_STATES[@]}"; fi
}

# A 32-bit float WAV file, written sample by sample as perl computes them:
#   float_wav FILE RATE CHANNELS PERL_EXPRESSION FRAMES
# The expression gives the value of frame $k, channel $c: a number, or a
# string of eight hex digits for the raw bits (non-finite values, -0).
float_wav() {
  perl -e '
    my ($file, $rate, $channels, $expr, $frames) = @ARGV;
    my $value = eval "sub { my (\$k, \$c) = \@_; $expr }" or die $@;
    my $data = "";
    for my $k (0 .. $frames - 1) {
      for my $c (0 .. $channels - 1) {
        my $v = $value->($k, $c);
        $data .= $v =~ /^[0-9a-f]{8}$/ ? pack("V", hex $v) : pack("f<", $v);
      }
    }
    open my $f, ">:raw", $file or die "$file: $!";
    print $f "RIFF", pack("V", 36 + length $data), "WAVE",
      "fmt ", pack("VvvVVvv", 16, 3, $channels, $rate, $rate * 4 * $channels, 4 * $channels, 32),
      "data", pack("V", length $data), $data;
    close $f or die "$file: $!";
  ' "$@"
}

# The scenarios: NAME, then the arguments after `vorn render`. Both sides run
# them in a folder holding the inputs that they name. Each gives --seed, so
# that a render does not depend on the clock.
render_scenarios() {
  local list256 list300 i
  list256=$(for ((i = 0; i < 256; i++)); do printf '%d ' $(((i * 37) % 2400 - 1200)); done)
  list300=$(for ((i = 0; i < 300; i++)); do printf '%d ' $(((i * 53) % 3600 - 1800)); done)

  # Creation arguments, one form per box: none (then set), an int, floats
  # (2.9 grains' exponent is 2), a symbol first (no buffer: 8 grains), a
  # placeholder symbol, negative values, huge values, arguments of the wrong
  # type, more than six, a number in the name slot.
  scenario args-none src.wav -o out.wav -a "" -m "init 1:0 set src 10 0 5 50" -p scan:0.5 -d 1s --seed 21 -q
  scenario args-int src.wav -o out.wav -a "4 src" -p scan:0.5 -d 1s --seed 22 -q
  scenario args-float src.wav -o out.wav -a "2.9 src 12.5 -300.25 7.5 45.5" -p scan:0.5 -d 1s --seed 23 -q
  scenario args-symbol-first src.wav -o out.wav -a "src" -a "- src 10 0 0 70" -a "src 3 20" -m "init 1:0 print" \
    -m "init 3:0 print" -p scan:0.5 -d 1s --seed 24 -q
  scenario args-negative src.wav -o out.wav -a "-3 src -20 -700 -15 -40" -a "-1 src -0.5 -1200 -1 -1" -p 700 -d 1s \
    --seed 25 -q
  scenario args-huge src.wav -o out.wav -a "99 src 1e30 3e38 1e30 2147483647" -a "2147483647 src 100000 -3e38 1e9 1e9" \
    -a "3 src 5 0 0 3e38" -p scan:0.5 -d 1s --seed 26 -q
  scenario args-types src.wav -o out.wav -a "3 src foo 700 bar 50" -a "3 5 10" -m "init 2:0 print" \
    -a "3 src 10 0 5 50 extra 7 8 9" -a "3 src 10 0 5 -" -p scan:0.5 -d 1s --seed 27 -q

  # Numbers at every inlet, ints and floats; lists at inlet 2 (with a symbol,
  # which counts as 0) and at the others (ignored).
  scenario inlet-numbers src.wav -o out.wav -a "4 src 0 0 0 60" -m "100 0 5" -m "150 1 25" -m "200 2 700" \
    -m "250 3 30" -m "300 4 90" -m "400 1 12.5" -m "450 2 -350.5" -m "500 3 7.25" -m "550 4 33.3" -m "600 0 1.5" \
    -p scan:0.5 -d 1s --seed 31 -q
  scenario inlet-lists src.wav -o out.wav -a "4 src 10 0 0 60" -m "init 2 0 700 1200" -m "200 1 1 2 3" \
    -m "250 3 4 5" -m "300 4 60 70" -m "350 0 1 2" -m "400 2 0 foo 700 -1200" -m "600 2 -500" -p scan:0.5 -d 1s \
    --seed 32 -q
  scenario list-256 src.wav -o out.wav -a "5 src 10 0 5 60" -m "init 2 $list256" -p scan:0.5 -d 1s --seed 33 -q
  scenario list-300 src.wav -o out.wav -a "5 src 10 0 5 60" -m "init 2 $list300" -m "500 2:2 $list256" \
    -a "3 src" -p scan:0.5 -d 1s --seed 34 -q

  # Messages: print, set in its forms, overlap in its forms, version,
  # loadbang, and messages vorn~ has no method for (warnings).
  scenario messages src.wav -o out.wav -a "3 src 0 0 0 50" -a "2" -m "init 1:0 print" -m "init 2:0 print" \
    -m "200 1:0 set nosuch" -m "250 1:0 print" -m "300 2:0 set src 10 300" -m "400 2:0 print" \
    -m "500 1:0 overlap 5" -m "600 1:0 version" -m "700 1:4 30" -m "800 1:0 loadbang" -m "900 2:0 bogus" \
    -p 800 -d 1.2s --seed 3 -q
  scenario set-forms src.wav -b other=other.wav -o out.wav -a "4 src 10 0 5 60" -m "100 0 set other 20 - 0 100" \
    -m "150 0 print" -m "200 0 set 0 30" -m "250 0 set 20" -m "300 0 set" -m "350 0 print" -m "400 3 set src" \
    -m "450 0 set src 5 700 10 40 99 100" -m "500 0 set nosuch 1" -m "550 0 loadbang" -m "600 0 set src" \
    -p scan:0.5 -d 1s --seed 35 -q
  scenario overlap-forms src.wav -o out.wav -a "6 src 10 0 5 80" -m "100 0 overlap 0" -m "200 1 overlap 2.7" \
    -m "300 0 overlap -1" -m "400 0 overlap 11" -m "500 0 overlap" -m "600 0 overlap foo" -m "700 4 overlap 3 9" \
    -m "800 0 overlap 6" -p scan:0.5 -d 1s --seed 36 -q
  scenario unknown-messages src.wav -o out.wav -a "3 src" -m "0 1 foo" -m "0 0 overlap" -m "0 1 2 foo" -m "0 3 set" \
    -m "10 0 bang" -m "20 2 hello 1 2" -m "100000 4 20" -m "1e300 0 print" -d 1s --seed 37
  scenario loadbang src.wav -o out.wav -a "3 late 5 0 0 50" -a "3 src" -m "0 host buffer late other.wav" \
    -m "100 host loadbang" -m "200 1:0 print" -m "300 2:0 loadbang" -m "400 1:0 loadbang" -p scan:0.5 -d 1s \
    --seed 38 -q

  # Jitters, changed while it plays.
  scenario jitters src.wav -o out.wav -a "5 src 30 0 25 100" -m "500 1 80" -m "900 3 200" -m "1200 2 300" \
    -p line:0:2500 -d 2s --seed 99 -q
  scenario jitters-wide src.wav -o out.wav -a "6 src 2000 -1200 2400 30" -m "300 1 0" -m "600 3 0" -m "700 1 5000" \
    -m "800 3 9600" -p 1500 -d 1s --seed 41 -q
  scenario transpositions src.wav -o out.wav -a "4 src 0 0 0 80" -m "init 2 0 700 1200 -1200 -500" \
    -p scan:0.25 -d 2s -r 48000 --seed 7 -q

  # Host events: buffer~ replaced in place, deleted, made invalid and valid
  # again, replaced by a table; recompiles and rate changes; several boxes.
  scenario host-buffer src.wav -b other=other.wav -o out.wav -a "4 src 10 0 5 60" -a "3 other 5 0 0 40" \
    -m "200 host buffer src other.wav" -m "400 host buffer other src.wav" -m "500 1:0 print" \
    -m "600 host buffer fresh stereo.wav" -m "650 2:0 set fresh" -m "700 2:0 print" -p scan:0.5 -d 1s --seed 51 -q
  scenario host-delete src.wav -b other=other.wav -o out.wav -a "4 src 10 0 5 60" -a "3 other" \
    -m "200 host delete src" -m "300 1:0 print" -m "400 host buffer src other.wav" -m "500 1:0 loadbang" \
    -m "600 1:0 print" -m "700 host delete other" -m "800 2:0 set other" -p scan:0.5 -d 1s --seed 52 -q
  scenario host-valid src.wav -o out.wav -a "4 src 10 0 5 60" -m "100 host invalid src" -m "300 host valid src" \
    -m "500 host invalid src" -m "550 host dsp" -m "700 host valid src" -p scan:0.5 -d 1s --seed 53 -q
  scenario host-table src.wav -o out.wav -a "4 src 10 0 5 60" -m "200 host table src" -m "300 0 print" \
    -m "400 0 loadbang" -m "500 0 set src" -m "600 host buffer src other.wav" -m "700 0 set src" -m "800 0 print" \
    -p scan:0.5 -d 1s --seed 54 -q
  scenario recompile src.wav -o out.wav -a "4 src 10 0 10 60" -m "400 host dsp" -m "800 host rate 48000" \
    -m "1200 host rate 22050" -p scan:1 -d 2s --vector 32 --seed 5 -q
  scenario init-rate src.wav -o out.wav -a "4 src 10 0 10 60" -m "init host rate 32000" -m "init 4 100" \
    -m "0 1:4 30" -m "300 host rate 1000" -m "600 host rate 768000" -p scan:0.5 -d 1s --seed 55 -q
  scenario boxes src.wav -o out.wav -a "3 src" -a "5 src 20 0 15 150" -a "2 src 0 -1200 0 40" \
    -p scan:0.5 -d 1.5s --seed 42 -q
  scenario score src.wav -b other=other.wav -o out.wav -a "4 src 10 0 5 60" -a "3 src" --score score.txt \
    -m "300 2:2 700" -m "400 0 print" -p scan:0.3 -d 1s --seed 56 -q
  scenario channels stereo.wav --channel 2 -b mean=stereo.wav -o out.wav -a "4 src 10 0 5 60" -a "3 mean" \
    -p scan:0.5 -d 1s --seed 57 -q

  # Vectors of 1 and 4096, rates, lengths, 1024 grains.
  scenario vector-1 src.wav -o out.wav -a "4 src 10 0 5 60" -m "100 2 0 700" -m "200.5 4 45" -p scan:0.5 -d 0.5s \
    --vector 1 --seed 61 -q
  scenario vector-4096 src.wav -o out.wav -a "4 src 10 0 5 60" -m "100 2 0 700" -m "200.5 4 45" \
    -p line:3000:100 -d 1.5s --vector 4096 --seed 62 -q
  scenario rate-1000 src.wav -o out.wav -a "3 src 10 0 5 60" -a "2 src 0 0 0 3" -r 1000 -p scan:20:1000 -d 2000 \
    --seed 63 -q
  scenario rate-high src.wav -o out.wav -a "4 src 10 0 5 60" -r 192000 -p scan:2 -d 0.5s --seed 64 -q
  scenario one-sample src.wav -o out.wav -a "3 src" -d 1 --seed 65 -q
  scenario grains-1024 src.wav -o out.wav -a "10 src 20 0 15 200" -m "init 2 0 -1200 700" -p scan:0.5 -d 2s \
    --seed 66 -q
  scenario grains-1024-60s src.wav -o out.wav -a "10 src 20 0 15 200" -m "init 2 0 -1200 700 1200" \
    -m "20000 1 80" -m "40000 4 120" -p scan:0.05 -d 60s --seed 60 -q

  # Positions: a file with NaN, infinities, huge and denormal values; huge
  # and infinite (rounded to single precision) -p forms; a huge scan.
  scenario positions-file src.wav -o out.wav -a "4 src 10 0 5 30" -a "2 src 0 0 0 10" -p file:positions.wav \
    --seed 71 -q
  scenario positions-huge src.wav -o out.wav -a "4 src 10 0 5 30" -p 3e38 -d 0.5s --seed 72 -q
  scenario positions-inf src.wav -o out.wav -a "4 src 10 0 5 30" -p -1e39 -d 0.5s --seed 73 -q
  scenario positions-line src.wav -o out.wav -a "4 src 10 0 5 30" -p line:-1e300:1e300 -d 0.5s --seed 74 -q
  scenario positions-scan src.wav -o out.wav -a "4 src 10 0 5 30" -p scan:1e30:-7 -d 0.5s --seed 75 -q
  # Numbers that overflow single precision at every inlet: infinities.
  scenario inlet-infinite src.wav -o out.wav -a "4 src 10 0 5 30" -m "100 1 1e39" -m "200 2 -1e39" -m "300 3 1e39" \
    -m "400 4 1e39" -m "500 4 -1e39" -m "600 4 40" -m "700 2 0 1e39 -1e39" -m "800 1 -1e39" -p scan:0.5 -d 1s \
    --seed 76 -q

  # Seeds: 0, 2^31 - 1, and past 2^31 - 1 (a 32-bit clock reading wraps).
  scenario seed-zero src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s --seed 0 -q
  scenario seed-max src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s \
    --seed 2147483647 -q
  scenario seed-high src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s \
    --seed 4000000000 -q

  # Renders that fail: the same status and the same line.
  scenario bad-inlet src.wav -o out.wav -m "0 5 1" --seed 1
  scenario bad-vector src.wav -o out.wav --vector 100 --seed 1
  scenario bad-file nosuch.wav -o out.wav --seed 1
  scenario bad-delete src.wav -o out.wav -m "10 host delete drums" --seed 1
}

# The inputs that scenarios name, made once in WORK/inputs.
render_inputs() {
  local linux_vorn=$1 dir=$2
  mkdir -p "$dir"
  # The source: made by the Linux build, the same file for both sides (the
  # built-in sound is computed with the platform's sin and exp, which are not
  # the same functions on both).
  (cd "$dir" && "$linux_vorn" render -o src.wav -p scan:1 -d 3s -a "4 src 0 0 0 60" --seed 11 -q >/dev/null 2>&1 &&
     "$linux_vorn" render src.wav -o other.wav -r 22050 -p scan:2 -d 1s -a "3 src 5 700 0 40" --seed 12 -q \
       >/dev/null 2>&1) || { echo "test-windows: the Linux vorn cannot make the source sounds"; return 1; }
  float_wav "$dir/stereo.wav" 48000 2 'sin(($k + 1) * ($c ? 0.0113 : 0.0071)) * ($c ? 0.5 : 0.8) * (1 - $k / 96000)' 72000
  # Positions in ms, with non-finite, huge and denormal stretches: NaN,
  # +inf, -inf, 1e30, -1e30, FLT_MAX, -FLT_MAX, the least denormal, -0,
  # 3e9 and -3e9 (beyond 32 bits of samples), between ordinary positions.
  float_wav "$dir/positions.wav" 44100 1 '
    my @odd = ("7fc00000", "7f800000", "ff800000", 1e30, -1e30, "7f7fffff", "ff7fffff", "00000001", "80000000",
               3e9, -3e9, 2999.99, -0.001);
    my $run = int($k / 700);
    ($run % 2) ? $odd[($run >> 1) % @odd] : 200 + ($k % 700) * 3.5' 22050
  printf '# parameters over time\n\n100 1 40   # more jitter\n200 host buffer other other.wav\n250 0 set other\n500 0 set src 5 0 10 70\n600 host dsp\n' \
    >"$dir/score.txt"
}

renders_prepare() {
  local jobs=$1 work=$2 linux_vorn=$3
  RENDERS_WORK=$work
  render_inputs "$linux_vorn" "$work/inputs" || return 1
  local -a names=() args_list=()
  scenario() {
    names+=("$1")
    shift
    local a joined=""
    for a in "$@"; do joined+="$a"$'\x1f'; done
    args_list+=("$joined")
  }
  render_scenarios
  unset -f scenario
  printf '%s\n' "${names[@]}" >"$work/scenarios"

  # The Linux renders, two at a time.
  local i name
  echo "test-windows: ${#names[@]} renders with $linux_vorn"
  for i in "${!names[@]}"; do
    name=${names[$i]}
    local -a args=()
    # Empty words (a box with no arguments) survive as empty elements.
    mapfile -d $'\x1f' -t args < <(printf '%s' "${args_list[$i]}")
    local dir=$work/linux/$name
    rm -rf "$dir" && mkdir -p "$dir"
    local inputs=() f
    for f in "$work"/inputs/*; do
      local base
      base=$(basename "$f")
      local a
      for a in "${args[@]}"; do
        if [[ $a == *"$base"* ]]; then inputs+=("$f"); break; fi
      done
    done
    # The Linux render.
    while [[ $(jobs -rp | wc -l) -ge ${RENDER_PARALLEL:-2} ]]; do wait -n; done
    (for f in "${inputs[@]}"; do cp "$f" "$dir/"; done
     cd "$dir" && "$linux_vorn" render "${args[@]}" >stdout 2>stderr; echo $? >status) &
    # The Windows jobs, one per x87 state.
    local state opts=() weight=1
    [[ $name == grains-1024-60s ]] && weight=100
    [[ $name == grains-1024 ]] && weight=10
    for f in "${inputs[@]}"; do opts+=(-i "$f"); done
    for state in $(render_states "$name"); do
      local env=()
      [[ $state == default ]] || env=(-e "VORN_X87_CONTROL=$state")
      winjob "$jobs" "render.$name.x87-$state" "${env[@]}" "${opts[@]}" -o out.wav -w "$weight" \
        -- bin/vorn.exe render "${args[@]}" || return 1
    done
  done
  wait
}

# The lines of a console capture, without carriage returns.
lines() { tr -d '\r' <"$1"; }
# The renderer's own messages on standard error, without the summary (which
# holds the CPU time); Wine's own messages, if any, are left out.
messages() { tr -d '\r' <"$1" | grep '^vorn: ' | grep -v '^vorn: wrote '; }

# Where two float WAV files first differ: the byte, and the sample there on
# each side when it lies in the data.
first_difference() {
  local a=$1 b=$2 at
  at=$(cmp "$a" "$b" 2>&1 | head -1)
  echo -n "$at"
  local byte
  byte=$(sed -n 's/.*differ: byte \([0-9]*\),.*/\1/p' <<<"$at")
  [[ -n $byte ]] || return 0
  perl -e '
    my ($a, $b, $byte) = @ARGV;
    sub data { open my $f, "<:raw", $_[0] or return; local $/; my $s = <$f>; my $i = index($s, "data");
               return ($i + 8, $s); }
    my ($start, $sa) = data($a); my (undef, $sb) = data($b);
    my $k = int(($byte - 1 - $start) / 4);
    exit if $byte - 1 < $start;
    my @v = map { unpack("f<", substr($_, $start + 4 * $k, 4)) } ($sa, $sb);
    printf "; sample %d: %.9g on Linux, %.9g under Wine; %d of %d samples differ",
      $k, $v[0], $v[1],
      scalar(grep { substr($sa, $start + 4 * $_, 4) ne substr($sb, $start + 4 * $_, 4) }
             0 .. (length($sa) - $start) / 4 - 1),
      (length($sa) - $start) / 4;
  ' "$a" "$b" "$byte"
}

renders_check() {
  local results=$1 work=${RENDERS_WORK:?renders_prepare first}
  local failures=0 compared=0 name state
  while read -r name; do
    local l=$work/linux/$name
    for state in $(render_states "$name"); do
      local job=render.$name.x87-$state
      local w=$results/$job
      local problems=()
      local ls ws
      ls=$(cat "$l/status")
      ws=$(cat "$w/status")
      if [[ $name == bad-* ]]; then
        [[ $ls != 0 ]] || problems+=("the Linux render was meant to fail, and did not")
      else
        [[ $ls == 0 ]] || problems+=("the Linux render failed ($ls): $(messages "$l/stderr" | head -3)")
      fi
      [[ $ws == "$ls" ]] ||
        problems+=("exit status $ws under Wine, $ls on Linux: $(lines "$w/stderr" | head -3 | tr '\n' ' ')")
      if [[ -f $l/out.wav && -f $w/out/out.wav ]]; then
        cmp -s "$l/out.wav" "$w/out/out.wav" ||
          problems+=("the sound files differ: $(first_difference "$l/out.wav" "$w/out/out.wav")")
      elif [[ -f $l/out.wav || -f $w/out/out.wav ]]; then
        problems+=("out.wav only $([[ -f $l/out.wav ]] && echo on Linux || echo under Wine)")
      fi
      [[ $name == bad-* ]] || grep -qx 'vorn~ 1.0.0: granular synthesis of a buffer~' <(lines "$l/stdout") ||
        problems+=("no banner on the Linux console")
      if ! diff <(lines "$l/stdout") <(lines "$w/stdout") >"$w/console.diff"; then
        problems+=("the console lines differ (< Linux, > Wine):")
        problems+=("$(head -12 "$w/console.diff" | sed 's/^/  /')")
      fi
      if ! diff <(messages "$l/stderr") <(messages "$w/stderr") >"$w/messages.diff"; then
        problems+=("the renderer's messages differ (< Linux, > Wine):")
        problems+=("$(head -12 "$w/messages.diff" | sed 's/^/  /')")
      fi
      compared=$((compared + 1))
      if [[ ${#problems[@]} -eq 0 ]]; then
        local what="status $ls"
        [[ -f $l/out.wav ]] && what="$(stat -c %s "$l/out.wav") bytes"
        WIN_PASSED=$((${WIN_PASSED:-0} + 1))
        echo "  ok: $name, x87 $state ($(lines "$l/stdout" | wc -l) console lines, $what; $(cat "$w/seconds") s)"
      else
        failures=$((failures + 1))
        WIN_FAILED=$((${WIN_FAILED:-0} + 1))
        echo "  FAILED: $name, x87 $state (job $job; results in $w)"
        printf '    %s\n' "${problems[@]}"
      fi
    done
  done <"$work/scenarios"
  if [[ $failures -ne 0 ]]; then
    echo "test-windows: $failures of $compared Wine renders differ from the Linux renders"
    return 1
  fi
  echo "test-windows: all $compared Wine renders equal the Linux renders"
}
