#!/usr/bin/env bash
# Pure Data for Windows, to test vorn~ in: built here from Debian's own
# source package of Pd (the Pd of Debian's puredata-core) with MinGW-w64, as
# the package's src/makefile.mingw describes, without PortAudio, PortMidi and
# ASIO, which Debian's source leaves out and a headless Pd does not need.
#
# Usage: scripts/pd-windows.sh ARCH DIR
#   ARCH is amd64 or i386. DIR gets bin/pd.com, bin/pd.dll and
#   bin/libwinpthread-1.dll (what `pd.com -nogui -batch` needs), include/
#   with Pd's m_pd.h, and lib/libpd.dll.a, the import library that externals
#   link against. Kept while its stamp (the source package's version, the
#   compiler's and this script) is the one asked for; otherwise made afresh.
#   The source package is fetched once, with apt's source download through a
#   configuration of its own (a deb-src entry for this system's suite), into
#   DIR/../pd-source.
set -euo pipefail

arch=${1:?usage: pd-windows.sh ARCH DIR}
dir=$(realpath -m "${2:?usage: pd-windows.sh ARCH DIR}")
case $arch in
  amd64) triplet=x86_64-w64-mingw32 ;;
  i386) triplet=i686-w64-mingw32 ;;
  *) echo "pd-windows: ARCH is amd64 or i386, not '$arch'" >&2; exit 2 ;;
esac
say() { echo "pd-windows: $*"; }
die() { echo "pd-windows: $*" >&2; exit 1; }

cc=$triplet-gcc
command -v "$cc" >/dev/null || die "$cc is missing (scripts/install-deps.sh windows installs it)"
winpthread=/usr/$triplet/lib/libwinpthread-1.dll
[[ -f $winpthread ]] || die "$winpthread is missing (the MinGW-w64 runtime of $triplet)"

# --- The source package --------------------------------------------------------

suite=${VORN_DEBIAN_SUITE:-$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")}
[[ -n $suite ]] || suite=bookworm
mirror=${VORN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
source_dir=$(dirname "$dir")/pd-source
source_stamp=$source_dir/stamp
source_want="puredata source from $mirror $suite"

fetch_source() {
  for tool in apt-get dpkg-source; do
    command -v "$tool" >/dev/null || die "$tool is missing (dpkg-dev; scripts/install-deps.sh windows installs it)"
  done
  [[ -f $keyring ]] || die "$keyring is missing (debian-archive-keyring)"
  local apt_dir=$source_dir/apt log=$source_dir/fetch.log
  rm -rf "$source_dir"
  mkdir -p "$apt_dir"/{etc/apt.conf.d,etc/preferences.d,etc/sources.list.d,lists/partial,archives/partial}
  : >"$log"
  echo "deb-src [signed-by=$keyring] $mirror $suite main" >"$apt_dir/etc/sources.list"
  # apt's own configuration: this deb-src entry only, no state of this
  # system's. The Sources index it reads is signed, and the package's
  # files are checked against the hashes in it.
  local apt=(apt-get -q -o "Dir::Etc=$apt_dir/etc" -o "Dir::Etc::sourcelist=$apt_dir/etc/sources.list"
    -o "Dir::Etc::sourceparts=$apt_dir/etc/sources.list.d" -o "Dir::Etc::parts=$apt_dir/etc/apt.conf.d"
    -o "Dir::Etc::preferencesparts=$apt_dir/etc/preferences.d" -o "Dir::State=$apt_dir"
    -o "Dir::State::lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir" -o Acquire::Languages=none
    -o Debug::NoLocking=true -o APT::Sandbox::User=root)
  "${apt[@]}" update >>"$log" 2>&1 ||
    { tail -n 20 "$log"; die "cannot read the source index of $mirror $suite (log: $log)"; }
  (cd "$source_dir" && "${apt[@]}" source --download-only puredata >>"$log" 2>&1) ||
    { tail -n 20 "$log"; die "cannot download Pd's source package (log: $log)"; }
  local dsc
  dsc=$(ls "$source_dir"/puredata_*.dsc 2>/dev/null | head -n 1)
  [[ -n $dsc ]] || die "apt downloaded no puredata_*.dsc (log: $log)"
  # The files were checked against the signed index; the .dsc's own
  # signature needs the uploader's key, which no package here holds.
  (cd "$source_dir" && dpkg-source --no-check -x "$(basename "$dsc")" pd >>"$log" 2>&1) ||
    { tail -n 20 "$log"; die "cannot unpack $dsc (log: $log)"; }
  rm -rf "$apt_dir"
  basename "$dsc" .dsc >"$source_dir/version"
  echo "$source_want" >"$source_stamp"
}

if [[ ! -f $source_stamp || "$(cat "$source_stamp")" != "$source_want" || ! -f $source_dir/pd/src/makefile.mingw ]]; then
  say "fetching Pd's source package ($suite)"
  fetch_source
fi
src=$source_dir/pd/src
version=$(cat "$source_dir/version")

# --- The build ---------------------------------------------------------------------

stamp=$dir.stamp
want="$version $arch $($cc --version | head -n 1) $(sha256sum "$0" | cut -d' ' -f1)"
if [[ -f $stamp && "$(cat "$stamp")" == "$want" && -f $dir/bin/pd.com && -f $dir/lib/libpd.dll.a ]]; then
  exit 0
fi

say "building Pd for Windows $arch from $version"
started=$SECONDS
rm -rf "$dir" "$stamp"
obj=$dir/obj
mkdir -p "$obj" "$dir/bin" "$dir/lib" "$dir/include"
log=$dir/build.log
: >"$log"

# The core sources that makefile.mingw lists, but for s_entry.c (pd.com's
# own), with the MMIO audio API (which -noaudio leaves unopened) and no MIDI.
sources=$(sed -n '/^SRC = /,/^$/p' "$src/makefile.mingw" | sed 's/^SRC = //; s/\\//g' | tr -s ' \n\t' '\n' |
  grep '\.c$' | grep -vx 's_entry.c')
[[ $(wc -l <<<"$sources") -gt 50 ]] || die "cannot read the source list of $src/makefile.mingw"
sources+=$'\ns_audio_mmio.c\ns_midi_dummy.c'
cflags=(-O2 -DPD -DPD_INTERNAL -DUSEAPI_MMIO -DWINVER=0x0502 -mms-bitfields -w "-I$src")
printf '%s\n' $sources | xargs -P "$(nproc)" -I{} sh -c \
  '"$0" "$@" -c "'"$src"'/{}" -o "'"$obj"'/$(basename {} .c).o" || exit 255' "$cc" "${cflags[@]}" >>"$log" 2>&1 ||
  { tail -n 20 "$log"; die "compiling Pd failed (log: $log)"; }
"$cc" -shared -o "$dir/bin/pd.dll" "$obj"/*.o -lm -lws2_32 -lwinmm -lole32 -lpthread -static-libgcc \
  -Wl,--export-all-symbols "-Wl,--out-implib=$dir/lib/libpd.dll.a" >>"$log" 2>&1 ||
  { tail -n 20 "$log"; die "linking pd.dll failed (log: $log)"; }
"$cc" "${cflags[@]}" -c "$src/s_entry.c" -o "$obj/s_entry.o" >>"$log" 2>&1 &&
  "$cc" -o "$dir/bin/pd.com" "$obj/s_entry.o" "$dir/lib/libpd.dll.a" -lm -lws2_32 -lwinmm >>"$log" 2>&1 ||
  { tail -n 20 "$log"; die "linking pd.com failed (log: $log)"; }
cp "$winpthread" "$dir/bin/"
cp "$src/m_pd.h" "$dir/include/"
rm -rf "$obj"
echo "$want" >"$stamp"
say "Pd for Windows $arch built in $((SECONDS - started)) s in $dir"
