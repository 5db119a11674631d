#!/usr/bin/env bash
# tools/labpc-guest's boot at its limits, two short boots of the Linux 2.4
# kernel under QEMU:
#   - a RAM disk over the kernel's 8 MB default (a 9 MB file in it, as a
#     large design for psload-on-qemu is) boots: the RAM disk is sized to
#     the image, and /init answers;
#   - a guest whose kernel panics (an /init that is no program: "No init
#     found") ends with status 123 and the panic named, not at the time
#     limit (124).
# Skips (77) with the reason where the kernel, QEMU, the e2fs tools or the
# guest's /init are missing.
#
# usage: guest_limits.sh LABPC_GUEST GUEST_INIT
set -uo pipefail
guest=$1
init=$2
[ -n "$init" ] && [ -f "$init" ] || { echo "SKIP: the guest's /init (guest_init) is not built here"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir "$scratch/big" "$scratch/panic"
cp "$init" "$scratch/big/init"
chmod 0755 "$scratch/big/init"
echo dmesg >"$scratch/big/commands"
yes 0123456789abcdef | head -c 9437184 >"$scratch/big/filler"
echo 'not a program' >"$scratch/panic/init"
echo dmesg >"$scratch/panic/commands"
for d in big panic; do
  bash "$guest" image "$scratch/$d" "$scratch/$d.img" 2>"$scratch/err"
  status=$?
  if [ $status = 77 ]; then
    echo "SKIP: $(cat "$scratch/err")"
    exit 77
  fi
  [ $status = 0 ] || { echo "FAIL: the image of $d: $(cat "$scratch/err")"; exit 1; }
done

LABPC_TIMEOUT=280 bash "$guest" boot "$scratch/big.img" "$scratch/console" "$scratch/results" 2>"$scratch/err"
status=$?
if [ $status = 77 ]; then
  echo "SKIP: $(cat "$scratch/err")"
  exit 77
fi
[ $status = 0 ] || fail "the large RAM disk: boot status $status: $(cat "$scratch/err"; grep -a 'RAMDISK\|panic' "$scratch/console")"
log=$(bash "$guest" print "$scratch/results" 1 2>&1) || fail "the large RAM disk: no answer of /init: $log"
blocks=$(printf '%s\n' "$log" | sed -n 's/.*RAMDISK: Loading \([0-9]*\) blocks.*/\1/p')
[ -n "$blocks" ] && [ "$blocks" -gt 8192 ] || fail "the large RAM disk: not loaded whole: $(printf '%s\n' "$log" | grep RAMDISK)"

LABPC_TIMEOUT=280 bash "$guest" boot "$scratch/panic.img" "$scratch/console" "$scratch/results" 2>"$scratch/err"
status=$?
[ $status = 123 ] || fail "the panic: boot status $status, expected 123 (124 is the time limit)"
grep -q "^labpc-guest: the guest's kernel panicked: Kernel panic: No init found" "$scratch/err" ||
  fail "the panic is not named: $(cat "$scratch/err")"

[ $failures = 0 ] && echo "a RAM disk of $blocks blocks booted; a kernel panic ended the boot with 123"
exit $((failures > 0))
