# Describes Windows jobs for winrun.sh (sourced by the scripts that make them).
#
#   winjob_init JOBS
#       starts an empty folder of jobs
#   winjob_program JOBS FILE [SUBFOLDER]
#       makes FILE, and the DLLs beside it, available to jobs as
#       SUBFOLDER/NAME (SUBFOLDER: the name of FILE's folder)
#   winjob JOBS NAME [-e VAR=VALUE]... [-i FILE]... [-o NAME]... [-w WEIGHT] -- PROGRAM [ARG...]
#       one job: PROGRAM (as winjob_program made it available) with its
#       arguments and environment, run in a folder of its own that holds
#       copies of the input FILEs (a folder is copied with its contents);
#       the output NAMEs are brought back. WEIGHT is how long it runs,
#       roughly (heavier jobs start first). @JOBDIR@ in an argument stands
#       for the job's folder, as an absolute Windows path (winjobs.sh).
# winjobs.sh documents the folder's layout.

winjob_init() {
  rm -rf "$1"
  mkdir -p "$1/programs" "$1/inputs"
}

winjob_program() {
  local jobs=$1 file=$2 sub=${3:-$(basename "$(dirname "$2")")}
  mkdir -p "$jobs/programs/$sub"
  cp "$file" "$jobs/programs/$sub/"
  local dll
  for dll in "$(dirname "$file")"/*.dll "$(dirname "$file")"/*.mxe; do
    [[ -f $dll ]] && cp "$dll" "$jobs/programs/$sub/"
  done
  return 0
}

winjob() {
  local jobs=$1 name=$2
  shift 2
  [[ $name =~ ^[A-Za-z0-9._+-]+$ ]] || { echo "winjob: bad job name '$name'" >&2; return 1; }
  [[ ! -e $jobs/$name ]] || { echo "winjob: job '$name' given twice" >&2; return 1; }
  mkdir -p "$jobs/$name"
  local desc=$jobs/$name/job
  : >"$desc"
  while [[ $# -gt 0 && $1 != -- ]]; do
    case $1 in
      -e) echo "env $2" >>"$desc" ;;
      -i) local base
          base=$(basename "$2")
          [[ -e $2 ]] || { echo "winjob: $name: no input $2" >&2; return 1; }
          # One copy of an input that several jobs read.
          [[ -e $jobs/inputs/$base ]] && diff -rq "$2" "$jobs/inputs/$base" >/dev/null ||
            { [[ ! -e $jobs/inputs/$base ]] || { echo "winjob: two inputs named $base" >&2; return 1; }
              cp -r "$2" "$jobs/inputs/$base"; }
          echo "input inputs/$base" >>"$desc" ;;
      -o) echo "output $2" >>"$desc" ;;
      -w) echo "weight $2" >>"$desc" ;;
      *) echo "winjob: unknown option $1" >&2; return 1 ;;
    esac
    shift 2
  done
  [[ ${1:-} == -- && $# -ge 2 ]] || { echo "winjob: $name: no program" >&2; return 1; }
  shift
  [[ -f $jobs/programs/$1 ]] || { echo "winjob: $name: no program $1 (winjob_program)" >&2; return 1; }
  echo "program $1" >>"$desc"
  shift
  local a
  for a in "$@"; do
    [[ $a != *$'\n'* ]] || { echo "winjob: $name: an argument holds a line break" >&2; return 1; }
    echo "arg $a" >>"$desc"
  done
}
