# What the scripts that compare the renders of two builds of vorn share
# (tests/arm/renders.sh, tests/compare_builds.sh): the source sounds of
# tests/render_scenarios.sh, where two sound files first differ, and the
# check of one scenario's two renders. Sourced; defines functions only.

# Perl helpers for RIFF WAV files held whole in a string: wav_chunks($s)
# gives a hash of chunk id => [offset of its body, size] (the first of each
# id), or nothing for a file that is not RIFF WAVE.
render_wav_perl='
  sub wav_chunks {
    my ($s) = @_;
    return () unless length($s) >= 12 && substr($s, 0, 4) eq "RIFF" && substr($s, 8, 4) eq "WAVE";
    my (%chunks, $off);
    for ($off = 12; $off + 8 <= length $s;) {
      my ($id, $size) = unpack("a4 V", substr($s, $off, 8));
      $chunks{$id} //= [$off + 8, $size];
      $off += 8 + $size + ($size & 1);
    }
    return %chunks;
  }
  sub slurp { open my $f, "<:raw", $_[0] or die "$_[0]: $!\n"; local $/; my $s = <$f>; return $s // ""; }
  # The first byte at which two strings differ, from 0, or -1.
  sub first_byte {
    my ($a, $b) = @_;
    my $n = length($a) < length($b) ? length($a) : length($b);
    return $-[0] if (substr($a, 0, $n) ^ substr($b, 0, $n)) =~ /[^\0]/;
    return length($a) == length($b) ? -1 : $n;
  }
  # The format of the samples, from the fmt chunk: (format tag, channels,
  # rate, bits), the tag of the extensible format resolved to its own.
  sub wav_format {
    my ($s, $fmt) = @_;
    my ($format, $channels, $rate, undef, undef, $bits) = unpack("v v V V v v", substr($s, $fmt->[0], 16));
    $format = unpack("v", substr($s, $fmt->[0] + 24, 2)) if $format == 0xFFFE;
    return ($format, $channels, $rate, $bits);
  }
  # A sample as text, from its bytes: floats with their bits in hex.
  sub sample_text {
    my ($w, $format) = @_;
    my $width = length $w;
    return sprintf("%.9g (%08x)", unpack("f<", $w), unpack("V", $w)) if $format == 3 && $width == 4;
    return sprintf("%.17g", unpack("d<", $w)) if $format == 3 && $width == 8;
    return unpack("s<", $w) if $width == 2;
    return unpack("l<", "\0" . $w) / 256 if $width == 3;
    return unpack("l<", $w) if $width == 4;
    return unpack("H*", $w);
  }
'

# render_sources VORN DIR: the sources that tests/render_scenarios.sh reads,
# made in DIR by VORN. src.wav: 3 s of mono float WAV at 44100 Hz; src2.wav:
# 2 s of another sound (the built-in one), the same way; nonfinite.wav:
# src.wav with +-infinity, quiet and signalling NaNs of both signs and several
# payloads over pairs of samples every quarter second.
render_sources() {
  local vorn=$1 dir=$2
  (cd "$dir" && "$vorn" render -o src.wav -p scan:1 -d 3s -a "4 src 0 0 0 60" --seed 11 -q >/dev/null 2>&1 &&
    "$vorn" render -o src2.wav -p line:0:1800 -d 2s -a "3 src 10 700 40 35" --seed 12 -q >/dev/null 2>&1) ||
    { echo "$vorn cannot make the source sounds"; return 1; }
  cp "$dir/src.wav" "$dir/nonfinite.wav"
  perl -e "$render_wav_perl"'
    my $file = shift;
    my $s = slurp($file);
    my %c = wav_chunks($s);
    $c{data} or die "$file has no data chunk\n";
    # Little-endian bytes: +inf, -inf, quiet NaNs with payloads, a
    # signalling NaN, and another.
    my @specials = qw(0000807f 000080ff 3412c07f 4200c0ff 0100807f 452381ff);
    for my $k (1 .. 11) {
      for my $d (0, 1) {
        substr($s, $c{data}[0] + 4 * (11025 * $k + $d), 4) = pack("H8", $specials[($k + $d) % @specials]);
      }
    }
    open my $f, ">:raw", $file or die "$file: $!\n";
    print $f $s;
    close $f or die "$file: $!\n";
  ' "$dir/nonfinite.wav"
}

# render_file_difference A B [any]: where two sound files first differ, on
# one line; status 0, saying nothing, when they are the same bytes. For WAV
# files the header, the samples (the first that differs, at which time, its
# value in each and how many differ) or the chunks after them; for others
# the first byte. With "any", two WAV files that differ only where both hold
# a NaN sample, whichever NaN, count as the same: which NaN arithmetic makes
# is the processor's (0xFFC00000 on x86, 0x7FC00000 on ARM), and where two
# NaNs meet each processor keeps one by its own rule.
render_file_difference() {
  cmp -s "$1" "$2" && return 0
  perl -e "$render_wav_perl"'
    my ($fa, $fb, $any) = @ARGV;
    my ($a, $b) = (slurp($fa), slurp($fb));
    my %ca = wav_chunks($a);
    my %cb = wav_chunks($b);
    my $sizes = length($a) == length($b) ? "" : sprintf("; %d bytes against %d", length($a), length($b));
    if (!$ca{data} || !$ca{"fmt "} || !$cb{data}) {
      my $at = first_byte($a, $b);
      print "they differ from byte $at on$sizes\n";
      exit 1;
    }
    my ($data, $size) = @{$ca{data}};
    my $head = first_byte(substr($a, 0, $data), substr($b, 0, $data));
    if ($head >= 0 || $cb{data}[0] != $data) {
      print $head >= 0 ? "the headers differ at byte $head$sizes\n"
                       : "the samples start at byte $data against $cb{data}[0]$sizes\n";
      exit 1;
    }
    my ($format, $channels, $rate, $bits) = wav_format($a, $ca{"fmt "});
    my $width = $bits / 8;
    my $end = $data + ($size < $cb{data}[1] ? $size : $cb{data}[1]);
    my ($first, $count, $nan_only) = (-1, 0, 0);
    my $total = int(($end - $data) / $width);
    my $nan = sub { ($_[0] & 0x7fffffff) > 0x7f800000 };
    my $value = sub { sample_text(substr($_[0], $data + $_[1] * $width, $width), $format) };
    if (first_byte(substr($a, $data, $end - $data), substr($b, $data, $end - $data)) >= 0) {
      for my $k (0 .. $total - 1) {
        my ($x, $y) = (substr($a, $data + $k * $width, $width), substr($b, $data + $k * $width, $width));
        next if $x eq $y;
        if ($any && $format == 3 && $width == 4 && $nan->(unpack("V", $x)) && $nan->(unpack("V", $y))) {
          ++$nan_only;
          next;
        }
        $first = $k if $first < 0;
        ++$count;
      }
    }
    if ($first >= 0) {
      my $frame = int($first / $channels);
      printf "sample %d (%.6f s) is %s against %s; %d of %d samples differ%s%s\n", $first, $frame / $rate,
        $value->($a, $first), $value->($b, $first), $count, $total,
        $nan_only ? ", and $nan_only more but for the bits of NaN samples" : "", $sizes;
      exit 1;
    }
    if ($size != $cb{data}[1]) {
      printf "the samples are the same as far as the shorter goes: %d against %d bytes of samples\n",
        $size, $cb{data}[1];
      exit 1;
    }
    my $tail = first_byte(substr($a, $data + $size), substr($b, $data + $size));
    if ($tail >= 0) {
      printf "the chunks after the samples differ at byte %d\n", $data + $size + $tail;
      exit 1;
    }
    exit 0;
  ' "$1" "$2" "${3:-}"
}

# render_samples_difference A B: where the samples of two WAV files first
# differ, on one line; status 0, saying nothing, when they are the same bits.
# Only the samples count, not the headers: files written by different
# programs (Pd's soundfiler and vorn) hold the same samples under headers of
# their own. Both must hold samples of one format, channel count and width.
render_samples_difference() {
  perl -e "$render_wav_perl"'
    my ($fa, $fb) = @ARGV;
    my ($a, $b) = (slurp($fa), slurp($fb));
    my %ca = wav_chunks($a);
    my %cb = wav_chunks($b);
    for ([$fa, \%ca], [$fb, \%cb]) {
      my ($f, $c) = @$_;
      if (!$c->{data} || !$c->{"fmt "}) { print "$f is no WAV file with samples\n"; exit 1; }
    }
    my @fa = wav_format($a, $ca{"fmt "});
    my @fb = wav_format($b, $cb{"fmt "});
    if ("@fa[0, 1, 3]" ne "@fb[0, 1, 3]") {
      printf "the formats differ: tag %d, %d channels, %d bits against tag %d, %d channels, %d bits\n", @fa[0, 1, 3], @fb[0, 1, 3];
      exit 1;
    }
    my ($format, $channels, $rate, $bits) = @fa;
    my $width = $bits / 8;
    my $sa = substr($a, $ca{data}[0], $ca{data}[1]);
    my $sb = substr($b, $cb{data}[0], $cb{data}[1]);
    my $at = first_byte($sa, $sb);
    exit 0 if $at < 0;
    my ($na, $nb) = (int(length($sa) / $width), int(length($sb) / $width));
    my $n = $na < $nb ? $na : $nb;
    my $first = int($at / $width);
    if ($first >= $n) {
      print "the samples are the same as far as the shorter goes: $na samples against $nb\n";
      exit 1;
    }
    my $count = 0;
    for my $k ($first .. $n - 1) {
      ++$count if substr($sa, $k * $width, $width) ne substr($sb, $k * $width, $width);
    }
    printf "sample %d (%.6f s) is %s against %s; %d of %d samples differ%s\n", $first, int($first / $channels) / $rate,
      sample_text(substr($sa, $first * $width, $width), $format), sample_text(substr($sb, $first * $width, $width), $format),
      $count, $n, $na == $nb ? "" : "; $na samples against $nb";
    exit 1;
  ' "$1" "$2"
}

# The renderer's own messages on standard error, without its closing summary
# (which holds the processor time).
render_messages() { grep '^vorn: ' "$1" | grep -v '^vorn: wrote ' || true; }

# render_check NAME A A_LABEL B B_LABEL [NOTE]: the two renders of scenario
# NAME, in folders A (the reference) and B, each holding the render's stdout,
# stderr, status and its out.* file. They must agree: the exit status, the
# sound file byte for byte (but for which NaN a NaN sample is, where the
# scenario runs with nans=any), the console lines and the renderer's
# messages. The reference must have succeeded, but where NAME starts with
# bad- (a render meant to fail). Prints "  ok: NAME (...)" with NOTE, or
# "  FAILED: NAME" and what differs; status 1 then. Counts the renders that
# agree but for the bits of NaN samples in render_nan_bits.
render_nan_bits=0
render_check() {
  local name=$1 a=$2 a_label=$3 b=$4 b_label=$5 note=${6:-}
  local problems=() sa sb out why extra=""
  sa=$(cat "$a/status")
  sb=$(cat "$b/status")
  if [[ ${name##*/} == bad-* ]]; then
    [[ $sa != 0 ]] || problems+=("the $a_label render was meant to fail, and did not")
  else
    [[ $sa == 0 ]] || problems+=("the $a_label render failed ($sa):" "$(render_messages "$a/stderr" | head -3 | sed 's/^/  /')")
    grep -qx 'vorn~ 1.0.0: granular synthesis of a buffer~' "$a/stdout" ||
      problems+=("no banner on the $a_label console")
  fi
  if [[ $sa != "$sb" ]]; then
    local said
    said=$(render_messages "$b/stderr" | head -3 | sed 's/^/  /')
    problems+=("exit status $sa ($a_label) against $sb ($b_label)${said:+; the first messages of the $b_label render:}" "$said")
  fi
  out=$(cd "$a" && ls out.* 2>/dev/null | head -1) || true
  if [[ -n $out && -f $b/$out ]]; then
    if why=$(render_file_difference "$a/$out" "$b/$out" "${nans:-}"); then
      if ! cmp -s "$a/$out" "$b/$out"; then
        extra="; the same but for the bits of NaN samples"
        render_nan_bits=$((render_nan_bits + 1))
      fi
    else
      problems+=("$out differs: $why")
    fi
  elif [[ -n $out || -n $(cd "$b" && ls out.* 2>/dev/null || true) ]]; then
    problems+=("an output file from one render only ($a_label: ${out:-none}, $b_label: $(cd "$b" && ls out.* 2>/dev/null | head -1 || true))")
  fi
  local diffs
  if ! diffs=$(diff "$a/stdout" "$b/stdout"); then
    problems+=("the console lines differ (< $a_label, > $b_label):")
    problems+=("$(head -8 <<<"$diffs" | sed 's/^/  /')")
  fi
  if ! diffs=$(diff <(render_messages "$a/stderr") <(render_messages "$b/stderr")); then
    problems+=("the renderer's messages differ (< $a_label, > $b_label):")
    problems+=("$(head -8 <<<"$diffs" | sed 's/^/  /')")
  fi
  if [[ ${#problems[@]} -ne 0 ]]; then
    echo "  FAILED: $name"
    printf '%s\n' "${problems[@]}" | sed '/^$/d; s/^/    /'
    return 1
  fi
  local what="status $sa"
  [[ -n $out ]] && what="$(stat -c %s "$a/$out") bytes"
  echo "  ok: $name ($(wc -l <"$a/stdout") console lines, $(render_messages "$a/stderr" | wc -l) messages, $what$extra${note:+; $note})"
}
