#!/usr/bin/env bash
# Installs the Debian packages that the build needs and that are missing.
# Usage: scripts/install-deps.sh [GROUP...]   groups: build (default), fuzz,
#   peers, windows, arm, deken, web, webtest
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ make pkg-config libgtest-dev libbenchmark-dev libcli11-dev libsndfile1-dev libmpfr-dev puredata-core puredata-dev faketime"
  # clang 14 with libFuzzer and the sanitizer runtimes, for `make fuzz`.
  [fuzz]="clang-14 libclang-rt-14-dev llvm-14"
  [peers]="csound supercollider-server python3-pyo python3"
  # MinGW-w64 for 32-bit and 64-bit Windows, GoogleTest's sources to build
  # for it, and Wine to run what it builds, for `make windows` and `make
  # test-windows` (wine32 is an i386 package; wine64 runs 64-bit programs
  # on every kernel). Where this machine's kernel does not run 32-bit code,
  # Wine runs in a virtual machine: QEMU, and debootstrap and cpio to make
  # its root file system (tests/windows/wine_vm.sh). dpkg-dev unpacks Pd's
  # source package, from which scripts/pd-windows.sh builds Windows Pd.
  [windows]="g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest wine wine32 wine64 qemu-system-x86 debootstrap cpio dpkg-dev"
  # Debian's cross compilers for 64-bit and 32-bit ARM, GoogleTest's sources
  # to build for them, Debian's archive keys to check the targets' packages
  # (scripts/arm-root.sh) and QEMU's user-mode emulators to run what they
  # build, for `make arm` and `make test-arm`.
  # WebAssembly: clang-16 and lld-16 (llvm-16 for its archiver) with
  # wasi-libc and libc++ for wasm32, for `make wasm`; node runs the engine's
  # tests built for it.
  [web]="clang-16 lld-16 llvm-16 googletest wasi-libc libclang-rt-16-dev-wasm32 libc++-16-dev-wasm32 libc++abi-16-dev-wasm32 nodejs"
  # The web module's and page's tests: node and npm (puppeteer-core comes
  # from the npm registry, by web/package-lock.json), Debian's Chromium,
  # which they drive headless, and Firefox ESR, which loads the page, for
  # `make test-web`.
  [webtest]="nodejs chromium firefox-esr"
  [arm]="g++-aarch64-linux-gnu g++-arm-linux-gnueabihf binutils-aarch64-linux-gnu binutils-arm-linux-gnueabihf googletest debian-archive-keyring qemu-user-static"
  # The package for Pd's package manager, for `make deken` and `make
  # test-deken`: zip to make it, binutils' readelf to read the externals'
  # architectures; Pd's package manager itself (pd_deken.tcl in
  # puredata-gui) run by tclsh, unzip, with which it unpacks where tcllib is
  # missing, and tcllib, whose zipfile::decode it uses where it is not.
  [deken]="zip unzip binutils puredata-gui tcl tcllib"
)

want=()
for group in "${@:-build}"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "install-deps: unknown group '$group'" >&2; exit 2; }
  read -ra pkgs <<< "${groups[$group]}"
  want+=("${pkgs[@]}")
done

# Not Debian (no dpkg): nothing can be installed from here. What each
# package provides is looked for instead (a command or a header); what seems
# missing is named, and the build goes on: CMake says precisely what it
# lacks, and a system that has everything builds.
if ! command -v dpkg-query >/dev/null 2>&1; then
  declare -A provides=(
    [cmake]="cmd:cmake" [ninja-build]="cmd:ninja" [g++]="cmd:g++" [make]="cmd:make" [pkg-config]="cmd:pkg-config"
    [libgtest-dev]="hdr:gtest/gtest.h" [libbenchmark-dev]="hdr:benchmark/benchmark.h" [libcli11-dev]="hdr:CLI/CLI.hpp"
    [libsndfile1-dev]="hdr:sndfile.h" [libmpfr-dev]="hdr:mpfr.h" [puredata-core]="cmd:pd" [puredata-dev]="hdr:m_pd.h"
    [faketime]="cmd:faketime" [clang-14]="cmd:clang" [llvm-14]="cmd:llvm-symbolizer" [python3]="cmd:python3"
  )
  has_header() {
    for dir in /usr/include /usr/local/include /usr/include/pd /usr/local/include/pd; do
      [[ -f $dir/$1 ]] && return 0
    done
    printf '#include <%s>\n' "$1" | "${CXX:-c++}" -E -x c++ - >/dev/null 2>&1
  }
  absent=()
  for p in "${want[@]}"; do
    probe=${provides[$p]:-}
    case $probe in
      cmd:*) command -v "${probe#cmd:}" >/dev/null 2>&1 || absent+=("$p (${probe#cmd:})") ;;
      hdr:*) has_header "${probe#hdr:}" || absent+=("$p (${probe#hdr:})") ;;
    esac
  done
  if [[ ${#absent[@]} -gt 0 ]]; then
    echo "install-deps: not a Debian system (no dpkg), so nothing is installed from here;" \
         "these seem to be missing: ${absent[*]}" >&2
  fi
  exit 0
fi

missing=()
for p in "${want[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

# wine32 comes from the i386 architecture, which dpkg must know first.
add_i386=false
if [[ " ${missing[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  add_i386=true
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing Debian packages: ${missing[*]}" >&2
  if $add_i386; then
    echo "install-deps: run as root, or: sudo dpkg --add-architecture i386 && sudo apt-get update &&" \
         "sudo apt-get install ${missing[*]}" >&2
  else
    echo "install-deps: run as root, or: sudo apt-get install ${missing[*]}" >&2
  fi
  exit 1
fi
if $add_i386; then
  echo "install-deps: adding the i386 architecture (for wine32)"
  dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
