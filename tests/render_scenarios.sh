# The renders that compare two builds of vorn: sourced by a comparison
# script (tests/arm/renders.sh, tests/compare_builds.sh) that defines `scenario NAME ARG...` (render with these arguments in
# a folder of its own holding src.wav, src2.wav and nonfinite.wav, compare
# the results) and then calls render_scenarios. Every scenario writes
# out.*, has a --seed, and runs with -q. The first seven are also among
# the Windows comparison's, which keeps a longer list of its own
# (tests/windows/wine_renders.sh) with renders too long to emulate here.
#
# src.wav: 3 s of mono float WAV at 44100 Hz; src2.wav: 2 s of another
# sound, the same way; nonfinite.wav: src.wav with infinities and NaNs of
# both signs and several payloads written over some of its samples. All are
# made by one build (render_sources in tests/render_compare.sh) and read by
# both.
render_scenarios() {
  # Several boxes with creation arguments.
  scenario boxes src.wav -o out.wav -a "3 src" -a "5 src 20 0 15 150" -a "2 src 0 -1200 0 40" \
    -p scan:0.5 -d 1.5s --seed 42 -q
  # A transposition list, at another rate.
  scenario transpositions src.wav -o out.wav -a "4 src 0 0 0 80" -m "init 2 0 700 1200 -1200 -500" \
    -p scan:0.25 -d 2s -r 48000 --seed 7 -q
  # Position and transposition jitter, changed while it plays.
  scenario jitters src.wav -o out.wav -a "5 src 30 0 25 100" -m "500 1 80" -m "900 3 200" -m "1200 2 300" \
    -p line:0:2500 -d 2s --seed 99 -q
  # Timed messages: print, a failed buffer~ lookup, set, overlap, version, a
  # period, loadbang, and a message vorn~ has no method for.
  scenario messages src.wav -o out.wav -a "3 src 0 0 0 50" -a "2" -m "init 1:0 print" -m "init 2:0 print" \
    -m "200 1:0 set nosuch" -m "250 1:0 print" -m "300 2:0 set src 10 300" -m "400 2:0 print" \
    -m "500 1:0 overlap 5" -m "600 1:0 version" -m "700 1:4 30" -m "800 1:0 loadbang" -m "900 2:0 bogus" \
    -p 800 -d 1.2s --seed 3 -q
  # Recompiling: the host's dsp and rate commands, with another vector size.
  scenario recompile src.wav -o out.wav -a "4 src 10 0 10 60" -m "400 host dsp" -m "800 host rate 48000" \
    -m "1200 host rate 22050" -p scan:1 -d 2s --vector 32 --seed 5 -q
  # Seeds: past 2^31 - 1 (a 32-bit clock reading wraps), and 0.
  scenario seed-high src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s \
    --seed 4000000000 -q
  scenario seed-zero src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s --seed 0 -q

  # Vectors of one sample: every grain's run is one sample long.
  scenario vector-1 src.wav -o out.wav -a "4 src 10 0 10 40" -a "2 src 0 700 0 25" -p scan:0.5 -d 0.5s \
    --vector 1 --seed 17 -q
  # The longest vector, long grains over a transposition list.
  scenario vector-4096 src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700 1200" \
    -p line:100:2900 -d 3s --vector 4096 --seed 18 -q
  # 1024 grains at once, each a short transposed read with detune.
  scenario grains-1024 src.wav -o out.wav -a "10 src 25 0 30 120" -m "init 2 -1200 0 700 1200 1900" \
    -p scan:0.5 -d 0.75s --seed 19 -q
  # Host events: a second buffer~, set to and back; validity cleared and set;
  # the samples of src replaced; a lookup of an object that is not a
  # buffer~; loadbang; the buffer deleted; grain counts changed.
  scenario host-events src.wav -o out.wav -b other=src2.wav -a "4 src 15 0 10 70" -a "3 other 5 -500 0 90" \
    -m "150 1:0 set other" -m "300 1:0 set src" -m "400 host invalid src" -m "500 host valid src" \
    -m "650 host buffer src src2.wav" -m "800 host table odd" -m "850 2:0 set odd" -m "900 host loadbang" \
    -m "1000 1:0 overlap 1" -m "1100 1:0 overlap 4" -m "1200 host delete other" -m "1300 2:0 set src" \
    -p scan:0.75 -d 1.5s --seed 20 -q
  # Integer output, through libsndfile's conversion, at a rate that is not
  # the source's.
  scenario pcm16 src.wav -o out.wav --format pcm16 -a "5 src 20 0 15 90" -p scan:0.5 -d 1s -r 22050 --seed 21 -q
  scenario flac src.wav -o out.flac -a "4 src 10 300 20 60" -p line:2500:200 -d 1s --seed 22 -q
  # A source with infinities and NaNs. Where they make NaN samples, which
  # NaN each is (sign, payload) is the processor's: nans=any lets any NaN
  # sample match any NaN sample; all else must be the same bytes.
  nans=any scenario nonfinite nonfinite.wav -o out.wav -a "5 src 10 0 20 50" -a "3 src 0 -1200 0 80" -p scan:1 -d 2.5s \
    --seed 23 -q
}
