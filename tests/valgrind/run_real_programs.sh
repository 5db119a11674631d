#!/usr/bin/env bash
# Runs the real programs' black-box command lines under valgrind: any memory
# error or leak fails the test.  On this kind of machine the kernel refuses
# port access, so the runs end in the programs' refusal paths; a machine that
# grants it is skipped (we do not poke real hardware from a test).
# Neither program ever exits with status 1 by itself (psload: 0 or 8,
# portpoke: 0 or 255), so status 1 is valgrind's.
#   run_real_programs.sh PSLOAD PORTPOKE SAMPLE_TTF IOPERM_PROBE
# Exit status 77 (skipped) where port access would be granted.
set -u
psload=$1
portpoke=$2
sample=$3
probe=$4

if "$probe"; then
  echo "this machine grants port access: not running the real programs here"
  exit 77
fi

if ! command -v valgrind >/dev/null; then
  echo "valgrind not installed"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '  1,  2,  3\n' > "$work/small.ttf"
printf '  1,  7 ,  3\n' > "$work/bad.ttf"

failures=0
run() {
  local log="$work/vg.log"
  valgrind -q --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
           --errors-for-leak-kinds=definite,indirect,possible --log-file="$log" "$@" >/dev/null 2>&1
  local rc=$?
  if [ "$rc" -eq 1 ] || [ -s "$log" ]; then
    echo "FAIL (valgrind): $*"
    cat "$log"
    failures=$((failures + 1))
  else
    echo "ok   (exit $rc): $*"
  fi
}

run "$psload"
run "$psload" -h
run "$psload" -x a.ttf
run "$psload" -w
run "$psload" "$work/missing.ttf"
run "$psload" -v "$sample"
run "$psload" -v -b "$sample"
run "$psload" -v -mf 1 "$sample"
run "$psload" -v -mf 7 "$sample"
run "$psload" -v -md 1 "$sample"
run "$psload" -v -md 2 "$sample"
run "$psload" -v "$work/small.ttf"
run "$psload" -v "$work/bad.ttf"
run "$psload" -v -mf 1 "$work/small.ttf"

run "$portpoke"
run "$portpoke" r 378
run "$portpoke" w 378 1234
run "$portpoke" x 378
run "$portpoke" r zz

echo "$failures failures"
[ "$failures" -eq 0 ]
