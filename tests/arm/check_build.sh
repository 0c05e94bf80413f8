#!/usr/bin/env bash
# An ARM build checked without running it: every compile command has
# -ffp-contract=off (GCC would otherwise fuse a*b + c into one multiply-add
# on ARM, which rounds once instead of twice) and no -ffast-math; the
# engine's machine code, in its objects and in the plug-in and Pd external
# that carry it, has no fused multiply-add instruction; on arm64 the NEON
# kernel is built from double-lane arithmetic, and on armhf no floating-point
# arithmetic runs in NEON's float lanes (which flush subnormals to zero).
#
# Usage: tests/arm/check_build.sh ARCH BUILD_DIR
set -uo pipefail

arch=${1:?usage: check_build.sh ARCH BUILD_DIR}
build=${2:?usage: check_build.sh ARCH BUILD_DIR}
say() { echo "test-arm: $arch build: $*"; }
fail() { say "$*"; exit 1; }

case $arch in
  arm64) objdump=aarch64-linux-gnu-objdump
         fused='\b(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls|fmlal2?|fmlsl2?|bfmlal[bt])\b' ;;
  # The VFP unit's vmla and vmls are not fused: they round the product before
  # adding it, as a vmul and a vadd would, and GCC uses them as such.
  armhf) objdump=arm-linux-gnueabihf-objdump
         fused='\b(vfma|vfms|vfnma|vfnms)(\.|\b)' ;;
  *) fail "unknown architecture" ;;
esac
command -v "$objdump" >/dev/null || fail "$objdump is missing (scripts/install-deps.sh arm)"

# --- Compile commands -----------------------------------------------------------
commands=$build/compile_commands.json
[[ -f $commands ]] || fail "$commands is missing (make arm configures with CMAKE_EXPORT_COMPILE_COMMANDS)"
total=$(grep -c '"command":' "$commands")
[[ $total -gt 0 ]] || fail "$commands lists no compile command"
without=$(grep '"command":' "$commands" | grep -vc -- '-ffp-contract=off')
[[ $without -eq 0 ]] || fail "$without of $total compile commands lack -ffp-contract=off: $(grep '"command":' "$commands" | grep -v -- '-ffp-contract=off' | head -2)"
loose=$(grep '"command":' "$commands" | grep -cE -- '-ffast-math|-Ofast|-ffp-contract=(fast|on)|-funsafe-math')
[[ $loose -eq 0 ]] || fail "$loose compile commands loosen floating point: $(grep '"command":' "$commands" | grep -E -- '-ffast-math|-Ofast|-ffp-contract=(fast|on)|-funsafe-math' | head -2)"
if [[ $arch == armhf ]]; then
  noneon=$(grep '"command":' "$commands" | grep -vc -- '-mfpu=neon')
  [[ $noneon -eq 0 ]] || fail "$noneon of $total compile commands lack -mfpu=neon"
fi
say "all $total compile commands have -ffp-contract=off$([[ $arch == armhf ]] && echo ' and -mfpu=neon'), none loosens floating point"

# --- Machine code -----------------------------------------------------------------
engine_objects=("$build"/engine/CMakeFiles/vorn_engine.dir/*.o)
[[ -f ${engine_objects[0]} ]] || fail "no engine objects in $build/engine"
binaries=("$build/lib/vorn~.mxe" "$build"/pd/vorn~/vorn~.l_* "$build/tests/engine_tests")
checked=()
for f in "${engine_objects[@]}" "${binaries[@]}"; do
  [[ -f $f ]] || continue
  found=$("$objdump" -d --no-show-raw-insn "$f" | grep -E "$fused" | head -3)
  [[ -z $found ]] || fail "$(basename "$f") has fused multiply-add instructions: $(echo "$found" | tr -s ' \t' ' ' | tr '\n' '|')"
  if [[ $arch == armhf ]]; then
    simd=$("$objdump" -d --no-show-raw-insn "$f" | grep -E '\bv(add|sub|mul|mla|mls|div|abs|neg|max|min|cvt)[a-z]*\.f(16|32)\s+[dq][0-9]' | head -3)
    [[ -z $simd ]] || fail "$(basename "$f") does floating-point arithmetic in NEON lanes: $(echo "$simd" | tr -s ' \t' ' ' | tr '\n' '|')"
  fi
  checked+=("$(basename "$f")")
done
say "no fused multiply-add in ${#checked[@]} files (${checked[*]})"

if [[ $arch == arm64 ]]; then
  neon=$build/engine/CMakeFiles/vorn_engine.dir/kernel_neon.cpp.o
  [[ -f $neon ]] || fail "kernel_neon.cpp.o is missing"
  code=$("$objdump" -d --no-show-raw-insn "$neon")
  for op in 'fmul\s+v[0-9]+\.2d' 'fadd\s+v[0-9]+\.2d' 'fcvtl2?\s+v[0-9]+\.2d' 'fcvtn\s+v[0-9]+\.2s'; do
    grep -qE "$op" <<<"$code" || fail "the NEON kernel has no ${op%%\\*} on double lanes"
  done
  grep -q 'run_grains_neon' <<<"$code" || fail "kernel_neon.cpp.o defines no run_grains_neon"
  say "the NEON kernel multiplies, adds and converts in double lanes (fmul, fadd .2d; fcvtl, fcvtn)"
fi
