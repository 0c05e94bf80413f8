# The engine's tests, cross-built for Windows (tests/engine_tests.exe), run
# under Wine once for each kernel choice and each x87 control word: with the
# kernel the engine picks and with VORN_KERNEL=sse2; with the control
# word that Wine starts programs with and with VORN_X87_CONTROL=0x027F, the
# one Max runs with. Each run must pass every test that the Linux build of
# the same suite lists.
#
# Sourced by test_windows.sh, which calls
#   engine_prepare JOBS BUILD_WIN_DIR LINUX_BUILD_DIR
#   engine_check RESULTS                 status 1 when a run failed; the
#                                        failing tests are named
# Engine jobs are named engine.kernel-KERNEL.x87-STATE.

ENGINE_KERNELS=(default sse2)
ENGINE_X87_STATES=(default 0x027F)

engine_prepare() {
  local jobs=$1 build_win=$2 linux_build=$3
  local exe=$build_win/tests/engine_tests.exe
  [[ -f $exe ]] || { echo "test-windows: $exe is missing (run make windows)"; return 1; }
  local linux=$linux_build/tests/engine_tests
  [[ -x $linux ]] || { echo "test-windows: $linux is missing (run make build)"; return 1; }
  ENGINE_TEST_COUNT=$("$linux" --gtest_list_tests | grep -c '^  ')
  winjob_program "$jobs" "$exe" tests
  local kernel state
  for kernel in "${ENGINE_KERNELS[@]}"; do
    for state in "${ENGINE_X87_STATES[@]}"; do
      local env=()
      [[ $kernel == default ]] || env+=(-e "VORN_KERNEL=$kernel")
      [[ $state == default ]] || env+=(-e "VORN_X87_CONTROL=$state")
      winjob "$jobs" "engine.kernel-$kernel.x87-$state" "${env[@]}" -w 50 \
        -- tests/engine_tests.exe --gtest_color=no || return 1
    done
  done
}

engine_check() {
  local results=$1 failures=0 runs=0 kernel state
  for kernel in "${ENGINE_KERNELS[@]}"; do
    for state in "${ENGINE_X87_STATES[@]}"; do
      local job=engine.kernel-$kernel.x87-$state
      local r=$results/$job out
      out=$(tr -d '\r' <"$r/stdout")
      local status ran passed failed
      status=$(cat "$r/status")
      ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' <<<"$out")
      passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' <<<"$out")
      failed=$(grep '^\[  FAILED  \] [A-Za-z_].*\.' <<<"$out" | sed 's/^\[  FAILED  \] //; s/, where .*//' | sort -u)
      runs=$((runs + 1))
      if [[ $status == 0 && -z $failed && ${passed:-0} == "$ENGINE_TEST_COUNT" ]]; then
        WIN_PASSED=$((${WIN_PASSED:-0} + 1))
        echo "  ok: engine tests, kernel $kernel, x87 $state: $passed tests passed ($(cat "$r/seconds") s)"
      else
        failures=$((failures + 1))
        WIN_FAILED=$((${WIN_FAILED:-0} + 1))
        echo "  FAILED: engine tests, kernel $kernel, x87 $state (job $job, exit status $status; output in $r)"
        if [[ -n $failed ]]; then
          echo "    failing tests:"
          sed 's/^/      /' <<<"$failed"
        fi
        [[ ${passed:-0} == "$ENGINE_TEST_COUNT" || -n $failed ]] ||
          echo "    ${ran:-no} tests ran, ${passed:-none} passed; the Linux build lists $ENGINE_TEST_COUNT"
        [[ -n $failed ]] || { echo "    the end of its output:"; tail -n 8 <<<"$out" | sed 's/^/      /';
                              tr -d '\r' <"$r/stderr" | tail -n 4 | sed 's/^/      /'; }
      fi
    done
  done
  if [[ $failures -ne 0 ]]; then
    echo "test-windows: $failures of $runs runs of the engine tests under Wine failed"
    return 1
  fi
  echo "test-windows: all $runs runs of the engine tests under Wine passed ($ENGINE_TEST_COUNT tests each)"
}
