#!/usr/bin/env bash
# tools/echorange-on-qemu stopped as a user stops it, and refusing before
# the boot:
#   - rangectl's own words are checked before the boot: "shot 300" is
#     status 2 with rangectl's message, and nothing of a boot is printed;
#   - "watch 1 100" without -n, in the lab PC's 2.4.18 kernel under QEMU,
#     prints its lines while it runs; SIGINT (a Ctrl-C) then ends the script
#     with 130, as rangectl ends for it, and nothing it started (the board,
#     QEMU under timeout in its own process group, the followers) is left.
# Skips (77) with the tool's reason where QEMU, the platform or a piece of
# the guest is missing.  One boot.
#
# usage: echorange_on_qemu_interrupted.sh TOOL BUILD_DIR
set -uo pipefail
tool=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

LABTOOLS_BUILD=$build bash "$tool" --target 1:1000 shot 300 >"$scratch/out" 2>"$scratch/err"
status=$?
if [ $status = 77 ]; then
  echo "SKIP: $(cat "$scratch/err")"
  exit 77
fi
[ $status = 2 ] || fail "shot 300: exit status $status, expected 2"
[ ! -s "$scratch/out" ] || fail "shot 300: printed on standard output (a boot?): $(head -c 300 "$scratch/out")"
[ "$(head -n 1 "$scratch/err")" = "rangectl: not a sensor number (1-256): 300" ] ||
  fail "shot 300: not rangectl's refusal: $(head -n 2 "$scratch/err")"

# The script with SIGINT as a terminal's shell leaves it (a command started
# in the background of a script ignores it), so that the test sends what a
# Ctrl-C sends.
LABTOOLS_BUILD=$build perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV or exit 127' \
  bash "$tool" --target 1:1000 watch 1 100 >"$scratch/out" 2>"$scratch/err" &
pid=$!
# Three lines while it runs: the boot takes 10 to 30 s; 300 s bound a hang.
lines=0
for ((i = 0; i < 3000; i++)); do
  lines=$(wc -l <"$scratch/out")
  [ "$lines" -ge 3 ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
descendants() {
  local p
  for p in $(ps -o pid= --ppid "$1"); do
    echo "$p"
    descendants "$p"
  done
}
started=$(descendants $pid)
if [ "$lines" -lt 3 ]; then
  fail "no three watch lines while it ran: $(cat "$scratch/out" "$scratch/err" | head -c 2000)"
  kill -TERM $pid $started 2>/dev/null
  wait $pid
  exit 1
fi
kill -INT $pid
wait $pid
status=$?
[ $status = 130 ] || fail "after SIGINT: exit status $status, expected 130 (128 + SIGINT)"
left=""
for p in $started; do
  kill -0 "$p" 2>/dev/null && left+=" $p($(ps -o comm= -p "$p"))"
done
[ -z "$left" ] || fail "left running after SIGINT:$left"
while IFS= read -r l; do
  [[ $l =~ ^[0-9]+\.[0-9]{3}\ 1\ ([0-9]+|no\ echo)$ ]] || fail "not a watch line: '$l'"
done <"$scratch/out"
grep -q '^--- stopped by SIGINT: the guest was powered off' "$scratch/err" || fail "no word of the stop: $(cat "$scratch/err")"
cat "$scratch/out"
[ $failures = 0 ] && echo "a watch without -n printed $(wc -l <"$scratch/out") lines and stopped on SIGINT with 130"
exit $((failures > 0))
