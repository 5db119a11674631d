#!/usr/bin/env bash
# The lab PC runs Linux 2.4.18: a program that makes a system call 2.4 does
# not have gets ENOSYS there and, unless the C library falls back, fails.
# This check runs the lab PC's programs under qemu-i386 -strace (which shows
# every call an i386 program makes, on any machine) on each command line the
# tests can drive, and checks every call against the i386 table of 2.4.17
# (2.4.18 only added calls).
#
# The calls that musl probes and falls back from, with their fallbacks, are
# the only ones allowed beyond the table; each fallback must be in the table.
#
#   syscall_check.sh TABLE PSLOAD32 PORTPOKE32 SAMPLE_TTF NEWER_CALL RANGECTL32
# NEWER_CALL is a program built the same way that makes one call 2.4 lacks
# (sched_getaffinity): the check must catch it, or it proves nothing.
# Exit status 0 when all is well, 1 on a call 2.4 lacks, 77 (skip) when the
# table, the programs or qemu-i386 are missing.
set -u

table=$1 psload=$2 portpoke=$3 sample=$4 newer=$5 rangectl=${6:-}

skip() { echo "SKIP: $*" >&2; exit 77; }
[ -r "$table" ] || skip "no system-call table at $table (../shared/platform is absent)"
[ -n "$psload" ] && [ -x "$psload" ] || skip "psload32 is not built (no static 32-bit toolchain; see cmake's warning)"
[ -n "$portpoke" ] && [ -x "$portpoke" ] || skip "portpoke32 is not built (no static 32-bit toolchain; see cmake's warning)"
[ -n "$rangectl" ] && [ -x "$rangectl" ] || skip "rangectl32 is not built (no static 32-bit toolchain; see cmake's warning)"
qemu=$(command -v qemu-i386) || skip "qemu-i386 is not installed (Debian package qemu-user)"
[ -n "$newer" ] && [ -x "$newer" ] || skip "the check's own negative case ($newer) is not built"
psload=$(realpath "$psload") portpoke=$(realpath "$portpoke") sample=$(realpath "$sample") newer=$(realpath "$newer")
rangectl=$(realpath "$rangectl")

# Probed call -> the call musl uses when the probe answers ENOSYS.
declare -A fallback=(
  [set_thread_area]=modify_ldt   # thread pointer for the main thread (start-up)
  [set_tid_address]=none         # start-up; the thread id stays unknown: raise() then sends nothing,
                                 # so a signal is re-raised with kill(getpid(), sig)
  [exit_group]=exit              # _exit()
  [statx]=fstat64                # fstat(): the 64-bit time stat first
  [clock_gettime64]=clock_gettime
  [clock_gettime]=gettimeofday   # CLOCK_REALTIME only
)

declare -A in_table=()
while read -r number name rest; do
  case "$number" in ''|'#'*) continue ;; esac
  [ "${rest:-}" = ni ] && continue
  in_table[$name]=$number
done < "$table"
[ ${#in_table[@]} -gt 150 ] || { echo "FAIL: $table holds only ${#in_table[@]} calls" >&2; exit 1; }

for probed in "${!fallback[@]}"; do
  if [ -n "${in_table[$probed]:-}" ]; then
    echo "FAIL: $probed is listed as a probed call but Linux 2.4 has it" >&2; exit 1
  fi
  fb=${fallback[$probed]}
  if [ "$fb" != none ] && [ -z "${in_table[$fb]:-}" ] && [ -z "${fallback[$fb]:-}" ]; then
    echo "FAIL: fallback $fb of $probed is not in the 2.4 table" >&2; exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$sample" "$work/sample.ttf"
printf '  1,  2,  3\n' > "$work/short.ttf"
mkdir "$work/notfifo" && touch "$work/notfifo/rtf1" "$work/notfifo/rtf2"
cd "$work"

# calls_of PROGRAM ARGS...: the names of the calls it makes, one a line.
calls_of() {
  rm -f strace.log
  "$qemu" -strace -D strace.log "$@" >/dev/null 2>&1 </dev/null
  sed -n 's/^[0-9][0-9]* \([a-z_0-9]*\)(.*/\1/p' strace.log | sort -u
}

# check LABEL PROGRAM ARGS...: 0 when every call the run makes is in the
# table or a known probe; otherwise 1, with a line per unknown call.
declare -A used=()
check() {
  local label=$1 calls c bad=0
  shift
  calls=$(calls_of "$@")
  if [ -z "$calls" ]; then
    echo "FAIL: $label: qemu-i386 -strace showed no system call" >&2
    return 1
  fi
  for c in $calls; do
    used[$c]=1
    if [ -z "${in_table[$c]:-}" ] && [ -z "${fallback[$c]:-}" ]; then
      echo "FAIL: $label: $c is not a Linux 2.4 system call" >&2
      bad=1
    fi
  done
  return $bad
}

# The negative case first: a call that 2.4 lacks must be caught.
if check "negative case" "$newer" 2>/dev/null; then
  echo "FAIL: the check let sched_getaffinity pass as a Linux 2.4 call" >&2
  exit 1
fi
used=()

status=0
# name|program|arguments...
runs=(
  "usage|$psload"
  "help|$psload|-h"
  "bad option|$psload|-x|sample.ttf"
  "no such file|$psload|-v|missing.ttf"
  "memory mode, port refused|$psload|-v|sample.ttf"
  "sequential mode, port refused|$psload|-v|-mf|1|-w|2|sample.ttf"
  "progress bar, port refused|$psload|-b|-p|1|sample.ttf"
  "lp driver|$psload|-v|-md|1|short.ttf"
  "portpoke read, refused|$portpoke|r|378"
  "portpoke write, refused|$portpoke|w|378|12a5"
  "portpoke bad words|$portpoke|x|1"
  "portpoke word count|$portpoke|r"
  "rangectl usage|$rangectl"
  "rangectl help|$rangectl|-h"
  "rangectl bad sensor|$rangectl|shot|0"
  "rangectl no FIFO|$rangectl|--fifo-dir|missing|shot|1"
  "rangectl not a FIFO|$rangectl|--fifo-dir|notfifo|shot|1"
)
for run in "${runs[@]}"; do
  IFS='|' read -r -a words <<< "$run"
  check "${words[@]}" || status=1
done

# rangectl's whole shot on two named pipes standing in for the RT-FIFOs
# (a reader keeps the command pipe open; no value ever comes): the command
# written, the wait for the answer with its timeout, "No echo".
mkdir fifos
mkfifo fifos/rtf1 fifos/rtf2
(timeout 60 cat fifos/rtf1 >/dev/null 2>&1 &)
check "rangectl shot without answer" "$rangectl" --fifo-dir fifos -t 50 shot 1 || status=1

echo "System calls used (Linux 2.4 number):"
for c in $(printf '%s\n' "${!used[@]}" | sort); do
  if [ -n "${in_table[$c]:-}" ]; then
    echo "  $c ${in_table[$c]}"
  else
    case ${fallback[$c]} in
      none) echo "  $c (not in 2.4; probed; without it the thread id stays unknown)" ;;
      *) echo "  $c (not in 2.4; probed, falls back to ${fallback[$c]})" ;;
    esac
  fi
done
exit $status
