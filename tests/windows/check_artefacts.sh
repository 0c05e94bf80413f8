#!/usr/bin/env bash
# Static checks of the Windows build: what vorn~.mxe exports and imports (as
# MinGW's objdump -p lists them), that no artefact needs a compiler runtime
# DLL, that every translation unit was compiled with SSE2 arithmetic, and
# that host/max_api.h holds the 32-bit layout and refuses x87 arithmetic;
# and what vorn~ for Windows Pd, i386 and amd64, exports, imports and holds.
#
# Usage: tests/windows/check_artefacts.sh BUILD_WIN_DIR [BUILD_WIN64_DIR]
# Exit status 0 when every check passes; every failure is printed.
set -uo pipefail

build=${1:?usage: check_artefacts.sh BUILD_WIN_DIR [BUILD_WIN64_DIR]}
build64=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=$build/bin
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
cxx=${CXX_I686:-i686-w64-mingw32-g++}
failures=0

pass() { echo "  ok: $*"; }
fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }

# The sorted export names of a PE file, one per line.
exports_of() {
  "$objdump" -p "$1" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && /^\t\[ *[0-9]+\] / { sub(/^\t\[ *[0-9]+\] /, ""); print; next }
    on { on = 0 }' | sort
}

# "DLL<TAB>function" per import of a PE file, sorted.
imports_of() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = $3; next }
    /^\tvma:/ { next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ { print dll "\t" $3; next }
    /^$/ { dll = "" }' | sort
}

# The imported DLL names of a PE file, sorted.
dlls_of() { imports_of "$1" | cut -f1 | sort -u; }

echo "test-windows: static checks of $build"

mxe="$bin/vorn~.mxe"
tests_exe=$build/tests/engine_tests.exe
for f in "$mxe" "$bin/MaxAPI.dll" "$bin/MaxAudio.dll" "$bin/vorn.exe" "$tests_exe"; do
  [[ -f $f ]] || { fail "$f is missing (run make windows)"; }
done
if [[ $failures -ne 0 ]]; then echo "test-windows: $failures check(s) failed"; exit 1; fi

# 1. vorn~.mxe is a PE32 DLL for i386.
header=$("$objdump" -p "$mxe")
if grep -q '^Magic[[:space:]]*010b[[:space:]]*(PE32)' <<<"$header" &&
   "$objdump" -f "$mxe" | grep -q 'file format pei-i386' &&
   grep -Eq '^[[:space:]]+DLL$' <<<"$header"; then
  pass "vorn~.mxe is a PE32 (i386) DLL"
else
  fail "vorn~.mxe is not a PE32 (i386) DLL"
fi

# 2. Its export table holds main alone.
got=$(exports_of "$mxe" | tr '\n' ' ')
if [[ $got == "main " ]]; then pass "vorn~.mxe exports: main"; else fail "vorn~.mxe exports: ${got:-nothing} (want: main)"; fi

# 3. Its imports: the fourteen operations by name from MaxAPI.dll and
#    MaxAudio.dll; otherwise the C runtime (msvcrt.dll) and KERNEL32.dll,
#    which the MinGW C runtime's DLL startup code itself imports.
imports=$(imports_of "$mxe")
want_maxapi="addfloat addint addmess freeobject gensym newobject outlet_new post proxy_new setup "
want_maxaudio="dsp_add z_add_signalmethod z_dsp_free z_dsp_setup "
got_maxapi=$(awk -F'\t' '$1 == "MaxAPI.dll" { print $2 }' <<<"$imports" | sort | tr '\n' ' ')
got_maxaudio=$(awk -F'\t' '$1 == "MaxAudio.dll" { print $2 }' <<<"$imports" | sort | tr '\n' ' ')
[[ $got_maxapi == "$want_maxapi" ]] && pass "imports from MaxAPI.dll: $got_maxapi" ||
  fail "imports from MaxAPI.dll: ${got_maxapi:-none} (want: $want_maxapi)"
[[ $got_maxaudio == "$want_maxaudio" ]] && pass "imports from MaxAudio.dll: $got_maxaudio" ||
  fail "imports from MaxAudio.dll: ${got_maxaudio:-none} (want: $want_maxaudio)"
others=$(dlls_of "$mxe" | grep -vxE 'MaxAPI\.dll|MaxAudio\.dll|msvcrt\.dll|KERNEL32\.dll' | tr '\n' ' ')
[[ -z $others ]] && pass "no other DLL imported than MaxAPI.dll, MaxAudio.dll, msvcrt.dll and KERNEL32.dll" ||
  fail "vorn~.mxe imports other DLLs: $others"
echo "  msvcrt.dll: $(awk -F'\t' '$1 == "msvcrt.dll" { print $2 }' <<<"$imports" | tr '\n' ' ')"
echo "  KERNEL32.dll (MinGW C runtime startup and libstdc++/libgcc, linked statically):"
echo "    $(awk -F'\t' '$1 == "KERNEL32.dll" { print $2 }' <<<"$imports" | tr '\n' ' ')"

# 4. The plug-in reads the clock through a C runtime time function: the one
#    that the stand-in host redirects for --seed.
clock=$(awk -F'\t' '$1 ~ /^(msvcrt|ucrtbase)\.dll$|^api-ms-win-crt-/ && $2 ~ /^(time|_time32|_time64)$/ { print $2 }' <<<"$imports" | tr '\n' ' ')
[[ -n $clock ]] && pass "the clock comes from the C runtime's $clock(redirected by the stand-in host)" ||
  fail "vorn~.mxe imports none of time, _time32, _time64: --seed would not reach it"

#    No floating-point function of the C runtime: the engine computes its
#    exponential and cosine itself, the same bits on every platform.
libm=$(awk -F'\t' '$1 ~ /^(msvcrt|ucrtbase)\.dll$/ && $2 ~ /^_?(exp|expf|cos|cosf|sin|sinf|pow|powf|log|logf|floor|floorf|_CI.*|_control.*|_fpreset)$/ { print $2 }' <<<"$imports" | tr '\n' ' ')
[[ -z $libm ]] && pass "vorn~.mxe takes no floating-point function from the C runtime" ||
  fail "vorn~.mxe imports floating-point functions from the C runtime: $libm"

# 5. No artefact needs a compiler runtime DLL (the engine's tests, a 32-bit
#    program, neither); the stand-in host's DLLs export the operations;
#    vorn.exe takes the host from MaxAPI.dll.
"$objdump" -f "$tests_exe" | grep -q 'file format pei-i386' && pass "engine_tests.exe is a 32-bit (i386) program" ||
  fail "engine_tests.exe is not a 32-bit (i386) program"
for f in "$mxe" "$bin/MaxAPI.dll" "$bin/MaxAudio.dll" "$bin/vorn.exe" "$tests_exe"; do
  bad=$(dlls_of "$f" | grep -iE 'libstdc|libgcc|winpthread|^libc\+\+' | tr '\n' ' ')
  [[ -z $bad ]] && pass "$(basename "$f") needs no compiler runtime DLL ($(dlls_of "$f" | tr '\n' ' '))" ||
    fail "$(basename "$f") imports $bad"
done
got=$(exports_of "$bin/MaxAPI.dll" | grep -xE 'setup|addmess|addint|addfloat|newobject|freeobject|outlet_new|proxy_new|gensym|post' | sort | tr '\n' ' ')
[[ $got == "$want_maxapi" ]] && pass "MaxAPI.dll exports the ten MaxAPI operations" || fail "MaxAPI.dll exports of the operations: $got"
got=$(exports_of "$bin/MaxAudio.dll" | tr '\n' ' ')
[[ $got == "$want_maxaudio" ]] && pass "MaxAudio.dll exports exactly the four MaxAudio operations" || fail "MaxAudio.dll exports: $got"
dlls_of "$bin/vorn.exe" | grep -qx 'MaxAPI.dll' && pass "vorn.exe imports MaxAPI.dll" || fail "vorn.exe does not import MaxAPI.dll"

# 6. Every translation unit of the Windows build: SSE2 arithmetic, no
#    contraction into fused multiply-adds, no fast-math.
db=$build/compile_commands.json
if [[ ! -f $db ]]; then
  fail "$db is missing (configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)"
else
  total=$(grep -c '"command":' "$db")
  bad=$(grep '"command":' "$db" | grep -v -- '-msse2' ; grep '"command":' "$db" | grep -v -- '-mfpmath=sse';
        grep '"command":' "$db" | grep -v -- '-ffp-contract=off'; grep '"command":' "$db" | grep -- '-ffast-math')
  [[ $total -gt 0 && -z $bad ]] && pass "all $total compile commands have -msse2 -mfpmath=sse -ffp-contract=off, none -ffast-math" ||
    fail "compile commands without the floating-point flags: $(grep -o '[^ ]*\.c[p]*\(\.obj\)\?"' <<<"$bad" | head -5)"
fi

# 7. host/max_api.h: its 32-bit layout assertions hold for i686 (they are
#    compiled into every file of the plug-in; here on their own), and it
#    refuses to compile for x87 arithmetic.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include "max_api.h"\nint probe;\n' >"$probe/layout.cpp"
printf '#include "granulator_object.h"\nint probe;\n' >"$probe/instance.cpp"
if "$cxx" -std=c++20 -msse2 -mfpmath=sse -fsyntax-only -I"$root/host" "$probe/layout.cpp" 2>"$probe/err" &&
   "$cxx" -std=c++20 -msse2 -mfpmath=sse -fsyntax-only -I"$root/host" -I"$root/engine" "$probe/instance.cpp" 2>"$probe/err"; then
  pass "max_api.h: 32-bit layout assertions hold for i686 (atoms 6 bytes apart, buffer fields from byte 16, a 32-byte signal-object header with its flag word at 30, the instance's proxies at 32 and inlet at 48)"
else
  fail "max_api.h does not compile for i686: $(head -3 "$probe/err")"
fi
if "$cxx" -std=c++20 -mfpmath=387 -fsyntax-only -I"$root/host" "$probe/layout.cpp" 2>/dev/null; then
  fail "max_api.h compiles for x87 arithmetic"
else
  pass "max_api.h refuses x87 arithmetic"
fi

# 8. The stand-in host for Windows redirects an external's clock through the
#    import table as standin/pe_imports.h reads it: mapped as Windows maps it,
#    vorn~.mxe must read the same there as objdump reads it (every DLL,
#    function and import-address-table slot), and the clock slot be found.
host_cxx=${CXX_HOST:-c++}
if "$host_cxx" -std=c++20 -I"$root/standin" "$here/pe_probe.cpp" -o "$probe/pe_probe" 2>"$probe/err"; then
  "$probe/pe_probe" "$mxe" >"$probe/ours" 2>"$probe/err" || fail "pe_probe: $(cat "$probe/err")"
  "$objdump" -p "$mxe" | awk '
    /^ [0-9a-f]+\t[0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+$/ { first = $6; i = 0; next }
    /^\tDLL Name: / { dll = $3; next }
    /^\tvma:/ { next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ { print dll "\t" $3 "\t" first "\t" i++; next }
    /^$/ { dll = "" }' |
    while IFS=$'\t' read -r dll fn first i; do printf '%s\t%s\t%x\n' "$dll" "$fn" $((16#$first + 4 * i)); done >"$probe/objdump"
  if [[ -s $probe/objdump ]] && diff <(grep -v '^clock' "$probe/ours") "$probe/objdump" >"$probe/diff"; then
    pass "standin/pe_imports.h reads vorn~.mxe's $(wc -l <"$probe/objdump") imports and their slots as objdump does"
  else
    fail "standin/pe_imports.h and objdump read vorn~.mxe's imports differently: $(head -5 "$probe/diff" | tr '\n' '|')"
  fi
  slots=$(grep '^clock' "$probe/ours" | cut -f2- | tr '\t\n' '  ')
  [[ -n $slots ]] && pass "the Windows host would redirect the clock slot: $slots" ||
    fail "the Windows host would find no clock slot in vorn~.mxe"
else
  fail "cannot build tests/windows/pe_probe.cpp: $(head -3 "$probe/err")"
fi

# 9. In vorn~.mxe's own machine code, the creator calls z_dsp_setup with a
#    clean 32-bit 1 (a full-word store into the argument's stack slot, not a
#    16-bit one over an uncleared upper half), and then stores its 16-bit
#    flag word at byte 30 of the instance, where the host reads it.
"$objdump" -d --no-show-raw-insn "$mxe" >"$probe/code"
image_base=$("$objdump" -p "$mxe" | awk '$1 == "ImageBase" { print $2 }')
slot=$("$objdump" -p "$mxe" | awk '
  /^ [0-9a-f]+\t[0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+$/ { first = $6; i = 0; next }
  /^\tDLL Name: / { dll = $3; next }
  /^\tvma:/ { next }
  dll == "MaxAudio.dll" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ { if ($3 == "z_dsp_setup") print first, i; i++; next }
  /^$/ { dll = "" }')
if [[ -n $image_base && -n $slot ]]; then
  read -r first i <<<"$slot"
  slot_va=$(printf '%x' $((16#$image_base + 16#$first + 4 * i)))
  thunk=$(awk -v va="$slot_va" '$2 == "jmp" && $3 == "*0x" va { sub(/:$/, "", $1); print $1 }' "$probe/code")
  verdict=$(awk -v va="$slot_va" -v thunk="$thunk" '
    { line[NR] = $0 }
    $2 == "call" && ($3 == "*0x" va || (thunk != "" && $3 == "0x" thunk)) { calls[++n] = NR }
    END {
      if (n != 1) { print "FAIL " n " calls to z_dsp_setup (want 1)"; exit }
      c = calls[1]; arg = ""; flag = ""
      for (k = c - 1; k > c - 16 && k > 0; k--) {
        if (line[k] ~ /\tcall|\tret/) break
        if (line[k] ~ /,0x4\(%esp\)$/) { arg = line[k]; break }
      }
      for (k = c + 1; k < c + 12; k++)
        if (line[k] ~ /\tmovw? +(\$0x1|%[abcd]x),0x1e\(%e[a-z][a-z]\)$/) { flag = line[k]; break }
      gsub(/^ *[0-9a-f]+:\t/, "", arg); gsub(/^ *[0-9a-f]+:\t/, "", flag)
      if (arg !~ /^movl +\$0x1,0x4\(%esp\)$/) print "FAIL the count is passed by: " (arg == "" ? "nothing found" : arg)
      else if (flag == "") print "FAIL no 16-bit store at byte 30 of the instance after the call"
      else print "OK " arg " / " flag
    }' "$probe/code")
  [[ $verdict == OK* ]] && pass "granulator_new calls z_dsp_setup with a 32-bit 1 and sets the flag word at byte 30: ${verdict#OK }" ||
    fail "${verdict#FAIL }"
else
  fail "cannot find z_dsp_setup's import slot in vorn~.mxe"
fi

# 10. The wide kernels are in the DLL (chosen at run time, as on Linux), and
#     no instruction fuses a multiply with an add anywhere in it.
ymm=$(grep -c '%ymm' "$probe/code" || true)
zmm=$(grep -c '%zmm' "$probe/code" || true)
fma=$(grep -cE '\tv?f(n?m(add|sub)|maddsub|msubadd)[0-9a-z]*' "$probe/code" || true)
[[ $ymm -gt 0 && $zmm -gt 0 ]] && pass "vorn~.mxe holds AVX2 and AVX-512 code ($ymm and $zmm instructions)" ||
  fail "vorn~.mxe lacks the wide kernels (ymm: $ymm, zmm: $zmm instructions)"
[[ $fma -eq 0 ]] && pass "vorn~.mxe has no fused multiply-add instruction" ||
  fail "vorn~.mxe has $fma fused multiply-add instructions"

# 11. vorn~ for Windows Pd, each architecture: a DLL of its kind exporting
#     vorn_tilde_setup alone, taking Pd's functions from pd.dll and otherwise
#     only the C runtime and KERNEL32.dll (no compiler runtime DLL beside
#     it), with the wide kernels and no fused multiply-add.
pd_external() {
  local file=$1 arch=$2 dump=$3 format magic got others code ymm zmm fma
  case $arch in
    i386) format=pei-i386 magic='010b[[:space:]]*(PE32)' ;;
    amd64) format=pei-x86-64 magic='020b[[:space:]]*(PE32+)' ;;
  esac
  [[ -f $file ]] || { fail "$file is missing (run make windows)"; return; }
  local name
  name=$(basename "$file")
  # (Whole outputs first: grep -q would stop reading early, and pipefail
  # count the writer's broken pipe as a failure.)
  local header kind
  header=$("$dump" -p "$file")
  kind=$("$dump" -f "$file")
  if grep -q "^Magic[[:space:]]*$magic" <<<"$header" && grep -q "file format $format" <<<"$kind"; then
    pass "$name is a $format DLL"
  else
    fail "$name is not a $format DLL"
  fi
  got=$(objdump=$dump exports_of "$file" | tr '\n' ' ')
  [[ $got == "vorn_tilde_setup " ]] && pass "$name exports: vorn_tilde_setup" ||
    fail "$name exports: ${got:-nothing} (want: vorn_tilde_setup)"
  others=$(objdump=$dump dlls_of "$file" | grep -vxE 'pd\.dll|msvcrt\.dll|KERNEL32\.dll' | tr '\n' ' ')
  grep -qx 'pd.dll' <<<"$(objdump=$dump dlls_of "$file")" && [[ -z $others ]] &&
    pass "$name imports from pd.dll, msvcrt.dll and KERNEL32.dll only" ||
    fail "$name imports: $(objdump=$dump dlls_of "$file" | tr '\n' ' ')"
  code=$("$dump" -d --no-show-raw-insn "$file")
  ymm=$(grep -c '%ymm' <<<"$code" || true)
  zmm=$(grep -c '%zmm' <<<"$code" || true)
  fma=$(grep -cE '\tv?f(n?m(add|sub)|maddsub|msubadd)[0-9a-z]*' <<<"$code" || true)
  [[ $ymm -gt 0 && $zmm -gt 0 ]] && pass "$name holds AVX2 and AVX-512 code ($ymm and $zmm instructions)" ||
    fail "$name lacks the wide kernels (ymm: $ymm, zmm: $zmm instructions)"
  [[ $fma -eq 0 ]] && pass "$name has no fused multiply-add instruction" ||
    fail "$name has $fma fused multiply-add instructions"
}
pd_external "$build/pd/vorn~/vorn~.m_i386" i386 "$objdump"
if [[ -n $build64 ]]; then
  pd_external "$build64/pd/vorn~/vorn~.m_amd64" amd64 "${OBJDUMP64:-x86_64-w64-mingw32-objdump}"
  db=$build64/compile_commands.json
  if [[ -f $db ]]; then
    total=$(grep -c '"command":' "$db")
    bad=$(grep '"command":' "$db" | grep -v -- '-ffp-contract=off'; grep '"command":' "$db" | grep -- '-ffast-math')
    [[ $total -gt 0 && -z $bad ]] && pass "all $total compile commands of the amd64 build have -ffp-contract=off, none -ffast-math" ||
      fail "amd64 compile commands without -ffp-contract=off or with -ffast-math"
  else
    fail "$db is missing (configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)"
  fi
fi

if [[ $failures -ne 0 ]]; then
  echo "test-windows: $failures static check(s) failed"
  exit 1
fi
echo "test-windows: static checks passed"
