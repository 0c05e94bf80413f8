# Renders that take the synthesis loop down its paths, for comparing two
# builds of vorn with every kernel (tests/compare_builds.sh): grain periods
# from 1 to 500 ms and at the 4-sample floor; grains at the source's own
# pitch (a step of exactly one frame, every sample of a run on one weight
# row) and transposed, by steps of thousandths of a frame to steps past 256
# frames; transposition lists of 256 values and more; position and
# transposition jitters; grains that run off either end of the source; vector
# sizes around each kernel's block of 2, 4 or 8 samples. Sourced, as
# tests/render_scenarios.sh is, by a script that defines `scenario NAME
# ARG...` and then calls render_scenarios; they read src.wav (3 s of mono
# float WAV at 44100 Hz). Every scenario writes out.wav, has a --seed and
# runs with -q.
render_scenarios() {
  local period v i cents list256 list400
  # 256 values in quarter cents, none repeated, from -2400 to +2400; 400
  # values, of which vorn~ keeps the first 256.
  list256=$(for ((i = 0; i < 256; i++)); do printf '%d.%d ' $(((i * 131) % 4801 - 2400)) $((i % 4 * 25)); done)
  list400=$(for ((i = 0; i < 400; i++)); do printf '%d ' $(((i * 71) % 6001 - 3000)); done)

  # Each period with three boxes: grains at their own pitch, a fifth up, and
  # an octave down with 30 cents of detune.
  for period in 1 2 5 10 20 40 100 250 500; do
    scenario "period-${period}ms" src.wav -o out.wav -a "4 src 10 0 0 $period" -a "3 src 20 700 0 $period" \
      -a "3 src 5 -1200 30 $period" -p scan:0.5 -d 1.5s --seed $((100 + period)) -q
  done
  # 1 ms at 2000 Hz is 2 samples: the period is held at 4.
  scenario period-floor src.wav -o out.wav -a "4 src 0 0 0 1" -a "3 src 0 1200 10 1" -r 2000 -p scan:1 -d 1s \
    --seed 110 -q

  # No jitter at all: every grain reads frame after frame, in short and long grains.
  scenario pitch-unit src.wav -o out.wav -a "5 src 0 0 0 80" -a "2 src 0 0 0 7" -a "3 src 0 0 0 450" -p scan:1 -d 2s \
    --seed 201 -q
  # Up and down by octaves and by fractions of a cent: steps near 1, 2, 4, 8,
  # 1/2, 1/4, 1/16 frames, and one of a few thousandths of a frame.
  scenario pitch-up src.wav -o out.wav -a "5 src 5 0 0 70" -m "init 2 1200 2400 3600 703.5 0.25" -p scan:0.5 -d 1.5s \
    --seed 202 -q
  scenario pitch-down src.wav -o out.wav -a "5 src 5 0 0 70" -m "init 2 -1200 -2400 -4800 -0.5 -11.75 -10000" \
    -p scan:0.5 -d 1.5s --seed 203 -q
  # 1024 grains of 100 ms at each transposition of the benchmark's axis, and
  # with a list of four and a detune: where musicians play.
  for cents in 700 -700 1200 -1200 2400; do
    scenario "transposition$cents" src.wav -o out.wav -a "10 src 20 $cents 0 100" -p scan:0.5 -d 0.5s --seed 205 -q
  done
  scenario transposition-list src.wav -o out.wav -a "10 src 20 0 10 100" -m "init 2 0 700 -500 1200" -p scan:0.5 \
    -d 0.5s --seed 206 -q
  # Steps of 256 frames and more (9600 cents and up), with a short vector.
  scenario pitch-extreme src.wav -o out.wav -a "4 src 10 0 0 40" -m "init 2 9600 9700 12000 -9600 -20000" \
    -p scan:0.5 -d 1s --vector 16 --seed 204 -q

  # Position jitter alone, then none, then wide enough to reach past both ends.
  scenario jitter-position src.wav -o out.wav -a "5 src 400 0 0 60" -m "700 1 0" -m "1200 1 1600" -p 1500 -d 2s \
    --seed 301 -q
  # Transposition jitter alone (every grain its own step), over a list.
  scenario jitter-transposition src.wav -o out.wav -a "5 src 0 0 1200 60" -m "init 2 0 700" -m "700 3 0" \
    -m "1200 3 5" -p scan:0.5 -d 2s --seed 302 -q
  # Both, over 256 values.
  scenario jitter-list src.wav -o out.wav -a "6 src 50 0 300 45" -m "init 2 $list256" -p scan:0.3 -d 1.5s \
    --seed 303 -q

  # Lists changed while playing: 256 values, 400 (the surplus dropped), two,
  # one number, and 256 again.
  scenario lists-changing src.wav -o out.wav -a "5 src 10 0 0 60" -m "init 2 $list256" -m "500 2 $list400" \
    -m "1000 2 0 1200" -m "1300 2 -700" -m "1600 2 $list256" -p scan:0.5 -d 2s --seed 304 -q
  scenario list-400 src.wav -o out.wav -a "5 src 10 0 0 60" -a "3 src 0 0 10 25" -m "init 2 $list400" \
    -m "init 2:2 $list400" -p scan:0.5 -d 1s --seed 305 -q

  # Grains partly and wholly off the source, at either end, forwards and
  # backwards, at its own pitch and transposed.
  scenario ends-line src.wav -o out.wav -a "5 src 100 0 0 200" -a "4 src 50 1900 20 150" -a "3 src 0 0 0 30" \
    -p line:-600:3600 -d 2s --seed 401 -q
  scenario ends-backward src.wav -o out.wav -a "5 src 20 -700 0 300" -a "4 src 0 0 0 120" -p scan:-1.5:100 -d 2s \
    --seed 402 -q

  # Vectors of 2, 8 and 512 samples, with periods whose restarts fall
  # anywhere in a block.
  for v in 2 8 512; do
    scenario "vector-$v" src.wav -o out.wav -a "4 src 10 0 5 3" -a "3 src 10 1200 0 11" -a "3 src 0 0 0 50" \
      -p scan:0.5 -d 1s --vector "$v" --seed $((500 + v)) -q
  done
}
