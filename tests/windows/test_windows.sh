#!/usr/bin/env bash
# The Windows programs at work: the renders of wine_renders.sh by vorn.exe,
# compared with the Linux vorn's, the engine's tests (engine_suite.sh), and
# vorn~ in Windows Pd, i386 and amd64 (pd_windows.sh), all run under Wine by
# winrun.sh: the 32-bit ones on this machine where its kernel runs 32-bit
# code and in a virtual machine elsewhere (VORN_WINE_VM=1: always), the
# 64-bit ones here.
#
# Usage: tests/windows/test_windows.sh BUILD_WIN_DIR LINUX_BUILD_DIR BUILD_WIN64_DIR
# Everything lands in BUILD_WIN_DIR/test-windows: jobs/ and jobs64/,
# results/ and results64/ (one folder per job: status, stdout, stderr,
# clock, out/) and renders/ (the inputs and the Linux renders). Status 0
# when every comparison and every test passed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage="usage: test_windows.sh BUILD_WIN_DIR LINUX_BUILD_DIR BUILD_WIN64_DIR"
build_win=$(cd "${1:?$usage}" && pwd)
linux_build=$(cd "${2:?$usage}" && pwd)
build_win64=$(cd "${3:?$usage}" && pwd)
started=$SECONDS

# shellcheck source=winjob.sh
source "$here/winjob.sh"
# shellcheck source=wine_renders.sh
source "$here/wine_renders.sh"
# shellcheck source=engine_suite.sh
source "$here/engine_suite.sh"
# shellcheck source=pd_windows.sh
source "$here/pd_windows.sh"

vorn_exe=$build_win/bin/vorn.exe
[[ -f $vorn_exe ]] || { echo "test-windows: $vorn_exe is missing (run make windows)"; exit 1; }
[[ -x $linux_build/bin/vorn ]] || { echo "test-windows: $linux_build/bin/vorn is missing (run make build)"; exit 1; }

work=$build_win/test-windows
rm -rf "$work"
mkdir -p "$work"
jobs=$work/jobs
winjob_init "$jobs"
winjob_program "$jobs" "$vorn_exe" bin
renders_prepare "$jobs" "$work/renders" "$linux_build/bin/vorn" || exit 1
engine_prepare "$jobs" "$build_win" "$linux_build" || exit 1
pdwin_prepare "$jobs" i386 "$build_win" "$build_win/pd/vorn~" "$linux_build" || exit 1
jobs64=$work/jobs64
winjob_init "$jobs64"
pdwin_prepare "$jobs64" amd64 "$build_win" "$build_win64/pd/vorn~" "$linux_build" || exit 1

"$here/winrun.sh" "$build_win" "$jobs" "$work/results" || { echo "test-windows: FAILED: the Windows jobs could not be run"; exit 1; }
"$here/winrun.sh" "$build_win" "$jobs64" "$work/results64" amd64 ||
  { echo "test-windows: FAILED: the 64-bit Windows jobs could not be run"; exit 1; }

failed=0
echo "test-windows: the renders"
renders_check "$work/results" || failed=1
echo "test-windows: the engine tests"
engine_check "$work/results" || failed=1
echo "test-windows: vorn~ in Windows Pd"
pdwin_check "$work/results" i386 "$build_win/pd/vorn~" "$linux_build" || failed=1
pdwin_check "$work/results64" amd64 "$build_win64/pd/vorn~" "$linux_build" || failed=1

# Time under Wine by kind of job: how many, their seconds added up, the longest.
for d in "$work"/results/*/ "$work"/results64/*/; do
  [[ -f $d/seconds ]] && echo "$(basename "$d")$([[ $d == */results64/* ]] && echo .amd64) $(cat "$d/seconds")"
done | awk '
  { kind = $1 ~ /^engine\./ ? "engine tests" : $1 ~ /^render\.grains-1024-60s\./ ? "the render of 60 s at 1024 grains" : "renders"
    if ($1 ~ /^pd\./) kind = $1 ~ /\.amd64$/ ? "Pd amd64 runs" : "Pd i386 runs"
    n[kind]++; total[kind] += $2; if ($2 > max[kind]) { max[kind] = $2; which[kind] = $1 } }
  END { for (k in n) printf "test-windows: %s: %d jobs, %.0f s in all, the longest %.1f s (%s)\n", k, n[k], total[k], max[k], which[k] }' | sort
[[ -f $work/results/processor ]] && echo "test-windows: the virtual machine's processor: $(cat "$work/results/processor")"

echo "test-windows: finished in $((SECONDS - started)) s"
echo "test-windows: ${WIN_PASSED:-0} passed, ${WIN_FAILED:-0} failed"
exit $failed
