# vorn~ in a Windows Pd under Wine: the Pd tests' scenarios (tests/pd), in
# the Pd that scripts/pd-windows.sh builds from Debian's source package, with
# vorn~.m_amd64 and vorn~.m_i386: every sample and console line of each
# render that of the Linux vorn render, the fault patches quitting cleanly
# with only their expected lines, the help patch with every object created.
#
# Each Pd run is a job (winjob.sh). The Linux build's pd_tests, run with
# VORN_WINPD_ARCH and VORN_WINPD_JOBS, writes them (pd_harness.h); the job
# runner runs them; pd_tests, run again with VORN_WINPD_RESULTS, checks
# them. The i386 jobs go into the same folder as the other Windows jobs, so
# that they share the runner's way (Wine here, or the virtual machine); the
# amd64 jobs run here under Wine's 64-bit loader.
#
# Sourced by test_windows.sh, which calls
#   pdwin_prepare JOBS ARCH BUILD_WIN_DIR EXTERNAL_DIR LINUX_BUILD_DIR
#   pdwin_check RESULTS ARCH EXTERNAL_DIR LINUX_BUILD_DIR
#                                   status 1 when a test failed; the failing
#                                   tests are named

# The Pd tests that a Windows Pd runs: all but those of the tests' own
# reporting build of the external, which is built for Linux only.
PDWIN_TESTS='Pd/Scenarios.*:Pd/MessageTiming.*:Pd/Faults.*:Pd/Print.*:Help.*'

pdwin_prepare() {
  local jobs=$1 arch=$2 build_win=$3 external=$4 linux_build=$5
  local pd=$build_win/pd-windows/$arch/bin/pd.com tests=$linux_build/tests/pd/pd_tests
  [[ -f $pd ]] || { echo "test-windows: $pd is missing (run make windows)"; return 1; }
  [[ -f $external/vorn~.m_$arch ]] || { echo "test-windows: $external/vorn~.m_$arch is missing (run make windows)"; return 1; }
  [[ -x $tests ]] || { echo "test-windows: $tests is missing (run make build)"; return 1; }
  winjob_program "$jobs" "$pd" pd
  local before
  before=$(find "$jobs" -maxdepth 1 -name 'pd.*' | wc -l)
  # Each test stops once it has written its job: this pass fails by design.
  VORN_WINPD_ARCH=$arch VORN_WINPD_EXTERNAL=$external VORN_WINPD_JOBS=$jobs \
    "$tests" --gtest_filter="$PDWIN_TESTS" --gtest_color=no >"$jobs/../pd-$arch-prepare.log" 2>&1
  PDWIN_JOBS=$(( $(find "$jobs" -maxdepth 1 -name 'pd.*' | wc -l) - before ))
  PDWIN_TEST_COUNT=$("$tests" --gtest_filter="$PDWIN_TESTS" --gtest_list_tests | grep -c '^  ')
  [[ $PDWIN_JOBS -eq $PDWIN_TEST_COUNT ]] || {
    echo "test-windows: pd_tests wrote $PDWIN_JOBS jobs for the $PDWIN_TEST_COUNT tests of Windows Pd $arch" \
         "(log: $jobs/../pd-$arch-prepare.log)"; return 1; }
}

pdwin_check() {
  local results=$1 arch=$2 external=$3 linux_build=$4
  local log=$results/../pd-$arch-check.log status summary
  VORN_WINPD_ARCH=$arch VORN_WINPD_EXTERNAL=$external VORN_WINPD_RESULTS=$results \
    "$linux_build/tests/pd/pd_tests" --gtest_filter="$PDWIN_TESTS" --gtest_color=no >"$log" 2>&1
  status=$?
  summary=$(grep -E '^\[  PASSED  \]|^\[  FAILED  \] [0-9]+ test' "$log" | tr '\n' ' ')
  if [[ $status -eq 0 ]]; then
    WIN_PASSED=$((${WIN_PASSED:-0} + 1))
    echo "  ok: vorn~ in Windows Pd $arch: $summary"
    return 0
  fi
  WIN_FAILED=$((${WIN_FAILED:-0} + 1))
  echo "  FAILED: vorn~ in Windows Pd $arch: $summary(log: $log)"
  grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u | sed 's/^\[  FAILED  \] /    /'
  # What each failure said, briefly.
  grep -E -A4 'Failure$' "$log" | head -n 60 | sed 's/^/    | /'
  return 1
}
