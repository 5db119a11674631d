#!/usr/bin/env bash
# One real run of tools/echorange-on-qemu: a shot on sensor 1 against a
# target at 1 m, in the lab PC's 2.4.18 kernel under QEMU.  Checks the exit
# status, that the distance is never below the target's (the emulation
# only adds delay; no upper bound is asserted, it depends on the host's
# load), the kernel log of the layer's load and unload, and the board's log:
# exactly one fire byte, 0, and its echo.  Skips (77) with the tool's reason
# where QEMU, the platform or a piece of the guest is missing.
#
# usage: echorange_on_qemu_run.sh TOOL BUILD_DIR
set -uo pipefail
tool=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

LABTOOLS_BUILD=$build bash "$tool" --target 1:1000 --target 2:none shot 1 >"$scratch/out" 2>"$scratch/err"
status=$?
if [ $status = 77 ]; then
  cat "$scratch/err"
  exit 77
fi
cat "$scratch/out" "$scratch/err"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ $status = 0 ] || fail "exit status $status, expected 0 (rangectl's for an echoed shot)"
distance=$(head -n 1 "$scratch/out")
if ! [[ $distance =~ ^[0-9]+$ ]]; then
  fail "rangectl's first line is not a distance: '$distance'"
elif [ "$distance" -lt 1000 ]; then
  fail "distance $distance mm is shorter than the target (1000 mm)"
fi
section() { sed -n "/^--- $1\$/,/^---/p" "$scratch/out" | sed '1d;$d'; }
section "the kernel log" | grep -q '^rtl_layer: RTLinux services over Linux .*reporting release 2.4.18-rtl3.1$' ||
  fail "the kernel log has no load message of the layer"
section "the kernel log" | grep -qx 'rtl_layer: unloaded' || fail "the kernel log has no unload message of the layer"
board=$(section "the board's log")
fires=$(printf '%s\n' "$board" | grep -E '^[0-9]+\.[0-9]{3} fire on channel' | sed 's/^[^ ]* //')
[ "$fires" = "fire on channel 0" ] || fail "the board's fires were not exactly one on channel 0: '$fires'"
printf '%s\n' "$board" | grep -qE '^[0-9]+\.[0-9]{3} echo on channel 0( \(sent [0-9.]+ ms late\))?$' ||
  fail "the board's log has no echo on channel 0"
printf '%s\n' "$board" | grep -qE '^[0-9]+\.[0-9]{3} closed: 1 fire, 1 echo, 0 stray, 0 in flight dropped$' ||
  fail "the board's last line is not its closing count"
grep -qE '^--- boot, ranging and power-off: [0-9]+\.[0-9] s$' "$scratch/out" || fail "no wall time of the boot"
[ $failures = 0 ] && echo "one shot through the real module checked"
exit $((failures > 0))
