#!/usr/bin/env bash
# The engine as WebAssembly in node (V8) against the native engine, side by
# side on one workload: 1024 grains of 100 ms, vectors of 64, a 10 s source,
# the position scanning it at half speed. Native: engine_bench's BM_Perform
# with the SSE2 kernel (what the browser's SIMD matches) and the plain loop;
# WebAssembly: the simd128 kernel and the plain loop of the SIMD build, and
# the build without SIMD. CPU time, the rounds alternating, the fastest of
# each kept; ratios are to native SSE2.
#
# Usage: bench/web_speed.sh BUILD WASM_BUILD WASM_NOSIMD_BUILD [ROUNDS]
#   (make bench-web runs it with build, build-wasm and build-wasm-nosimd)
set -euo pipefail

usage="usage: web_speed.sh BUILD WASM_BUILD WASM_NOSIMD_BUILD [ROUNDS]"
build=${1:?$usage} wasm_build=${2:?$usage} nosimd_build=${3:?$usage}
rounds=${4:-3}
here=$(cd "$(dirname "$0")" && pwd)
die() { echo "bench-web: $*" >&2; exit 1; }

bench=$build/bench/engine_bench
[[ -x $bench ]] || die "no $bench (make build)"
for w in "$wasm_build" "$nosimd_build"; do
  [[ -f $w/web/wasm/vorn.wasm ]] || die "no $w/web/wasm/vorn.wasm (make wasm)"
done
command -v node >/dev/null || die "node is not on PATH (make install-deps)"

declare -A best
keep() {  # name, ns
  if [[ -z ${best[$1]:-} ]] || awk -v a="$2" -v b="${best[$1]}" 'BEGIN { exit !(a < b) }'; then best[$1]=$2; fi
}
native() {  # column, name
  local ns
  ns=$("$bench" --benchmark_filter="^BM_Perform/log2:10/cents:0/kernel:$1\$" --benchmark_min_time=1s 2>/dev/null |
    sed -n 's/.*ns_per_grain_sample=\([0-9.]*\)n\?s.*/\1/p')
  [[ -n $ns ]] || die "engine_bench printed no figure for kernel column $1"
  keep "$2" "$ns"
}
web() {  # wasm, kernel, name
  local ns
  ns=$(node "$here/web_speed.mjs" "$1" 1 $2 | sed -n 's/.*: \([0-9.]*\) ns per grain-sample/\1/p')
  [[ -n $ns ]] || die "web_speed.mjs printed no figure for $3"
  keep "$3" "$ns"
}
names=("native sse2" "native plain" "wasm simd128" "wasm plain (SIMD build)" "wasm plain (no SIMD)")
for ((r = 1; r <= rounds; ++r)); do
  echo "bench-web: round $r of $rounds" >&2
  native 1 "${names[0]}"
  native 2 "${names[1]}"
  web "$wasm_build/web/wasm/vorn.wasm" "" "${names[2]}"
  web "$wasm_build/web/wasm/vorn.wasm" plain "${names[3]}"
  web "$nosimd_build/web/wasm/vorn.wasm" "" "${names[4]}"
done
printf '%-26s %10s %8s\n' "1024 grains, 100 ms" "ns/grain-sample" "× sse2"
for n in "${names[@]}"; do
  printf '%-26s %15.3f %8.2f\n' "$n" "${best[$n]}" "$(awk -v a="${best[$n]}" -v b="${best[${names[0]}]}" 'BEGIN { print a / b }')"
done
