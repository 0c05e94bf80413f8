#!/usr/bin/env bash
# One package of vorn~ for Pd's package manager (deken): a zip archive of
# the folder vorn~ holding the externals of every Pd build, the help patch,
# the object's reference, the licence and a README for Pd users, named as
# deken reads it,
#   vorn~[vVERSION](OS-CPU-FLOATSIZE)...(OS-CPU-FLOATSIZE).dek
# with its SHA-256 digest beside it in NAME.dek.sha256, which Pd's "Install
# DEK file..." checks before it unpacks. The architectures are read from the
# externals' own headers, so that a missing or a wrong build shows in the
# name, and an external whose header does not match the name Pd loads it by
# stops the packaging. The version is the project's, from CMakeLists.txt.
#
# Usage: scripts/deken-package.sh OUT_DIR PD_FOLDER...
#   PD_FOLDER: a build's pd/vorn~ folder, holding its vorn~.l_* (Linux) or
#   vorn~.m_* (Windows) external.
# The package and its checksum go to OUT_DIR (any earlier .dek there is
# removed); OUT_DIR/vorn~ is what was packed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
out=${1:?usage: deken-package.sh OUT_DIR PD_FOLDER...}
shift
[[ $# -gt 0 ]] || { echo "deken: no build folders given" >&2; exit 2; }
say() { echo "deken: $*"; }
die() { echo "deken: $*" >&2; exit 1; }
export LC_ALL=C
for tool in zip readelf od sha256sum; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh deken installs it)"
done

version=$(sed -n 's/^project(vorn VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$source_dir/CMakeLists.txt")
[[ -n $version ]] || die "no version in the project() line of $source_dir/CMakeLists.txt"

# The float size in the name is Pd's t_float: vorn~ builds only against a
# single-precision m_pd.h (a static_assert in pd/vorn_tilde.cpp).
floatsize=32

# deken's OS-CPU of an external, from its header: ELF's e_machine (and for
# 32-bit ARM the architecture in .ARM.attributes) or PE's machine field, as
# Pd names them when it reports its own platform (s_inter.c).
platform_of() {
  local file=$1 magic
  magic=$(od -An -tx1 -N4 "$file" | tr -d ' \n')
  case $magic in
    7f454c46)
      local header machine type osabi arch
      header=$(readelf -h "$file") || { echo "unreadable ELF header"; return 1; }
      machine=$(sed -n 's/^ *Machine: *//p' <<<"$header")
      type=$(sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p' <<<"$header")
      osabi=$(sed -n 's/^ *OS\/ABI: *//p' <<<"$header")
      [[ $type == DYN ]] || { echo "an ELF file of type $type, not a shared object"; return 1; }
      # Linux builds carry the System V or the GNU ABI; others name theirs.
      [[ $osabi == "UNIX - System V" || $osabi == "UNIX - GNU" ]] || { echo "an ELF file for $osabi"; return 1; }
      case $machine in
        "Advanced Micro Devices X86-64") echo Linux-amd64 ;;
        "Intel 80386") echo Linux-i386 ;;
        AArch64) echo Linux-arm64 ;;
        ARM)
          arch=$(readelf -A "$file" | sed -n 's/^ *Tag_CPU_arch: *v\([0-9][0-9]*\).*/\1/p' | head -1)
          [[ -n $arch ]] || { echo "a 32-bit ARM ELF file without Tag_CPU_arch"; return 1; }
          echo "Linux-armv$arch" ;;
        *) echo "an ELF file for $machine"; return 1 ;;
      esac ;;
    4d5a*)
      local pe sig machine flags
      pe=$(od -An -tu4 -j 60 -N 4 "$file" | tr -d ' ')
      sig=$(od -An -tx1 -j "$pe" -N 4 "$file" | tr -d ' \n')
      [[ $sig == 50450000 ]] || { echo "an MZ file without a PE header"; return 1; }
      machine=$(od -An -tx2 -j $((pe + 4)) -N 2 "$file" | tr -d ' ')
      flags=$(od -An -tu2 -j $((pe + 22)) -N 2 "$file" | tr -d ' ')
      (( flags & 0x2000 )) || { echo "a PE file that is no DLL"; return 1; }
      case $machine in
        8664) echo Windows-amd64 ;;
        014c) echo Windows-i386 ;;
        aa64) echo Windows-arm64 ;;
        *) echo "a PE file for machine 0x$machine"; return 1 ;;
      esac ;;
    *) echo "neither ELF nor PE"; return 1 ;;
  esac
}

# The platform that Pd's name for the file stands for: .l_CPU on Linux,
# .m_CPU on Windows (s_loader.c). Pd on any 32-bit ARM looks for .l_arm.
platform_of_name() {
  local ext=${1##*.}
  case $ext in
    l_arm) echo "Linux-armv*" ;;
    l_*) echo "Linux-${ext#l_}" ;;
    m_*) echo "Windows-${ext#m_}" ;;
    *) echo "?" ;;
  esac
}

stage=$out/vorn~
rm -rf "$stage"
mkdir -p "$stage"
declare -A from=()
tags=()
for folder in "$@"; do
  shopt -s nullglob
  externals=("$folder"/vorn~.l_* "$folder"/vorn~.m_*)
  shopt -u nullglob
  [[ ${#externals[@]} -gt 0 ]] || die "$folder holds no external (vorn~.l_* or vorn~.m_*): is that build made?"
  for external in "${externals[@]}"; do
    name=$(basename "$external")
    platform=$(platform_of "$external") || die "$external: $platform"
    # shellcheck disable=SC2053
    [[ $platform == $(platform_of_name "$name") ]] ||
      die "$external is built for $platform: Pd there would not look for it under the name $name"
    [[ -z ${from[$platform]:-} ]] || die "two externals for $platform: ${from[$platform]} and $external"
    [[ ! -e $stage/$name ]] || die "two externals named $name"
    from[$platform]=$external
    tags+=("$platform-$floatsize")
    cp "$external" "$stage/$name"
    chmod 644 "$stage/$name"
  done
done
cp "$source_dir/pd/vorn~-help.pd" "$stage/vorn~-help.pd"
cp "$source_dir/docs/vorn~.md" "$stage/vorn~.md"
cp "$source_dir/LICENSE" "$stage/LICENSE.txt"
cp "$source_dir/pd/README.txt" "$stage/README.txt"

mapfile -t tags < <(printf '%s\n' "${tags[@]}" | sort)
package="vorn~[v$version]$(printf '(%s)' "${tags[@]}").dek"

# The same files give the same archive: every entry dated at the last
# commit (or SOURCE_DATE_EPOCH), in UTC, in sorted order, without the extra
# fields that hold owners and exact times.
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)}
find "$stage" -exec touch -h -d "@$stamp" {} +
rm -f "$out"/*.dek "$out"/*.dek.sha256
(cd "$out" && find vorn~ | sort | TZ=UTC zip -X -q -@ "$package") || die "zip failed"
# deken reads the digest alone from the .sha256 file (verify_sha256 in
# pd_deken.tcl compares the whole file, trimmed, with it).
(cd "$out" && sha256sum "$package" | cut -d' ' -f1 >"$package.sha256")

say "$out/$package ($(stat -c %s "$out/$package") bytes)"
for tag in "${tags[@]}"; do
  say "  ${tag%-*}: ${from[${tag%-*}]}"
done
say "sha256 $(cat "$out/$package.sha256")"
