#!/usr/bin/env bash
# tools/echorange-on-qemu's command line, without QEMU: a bad --target or
# rangectl word ends it with status 2 and one message before anything is
# built or booted; -h prints the usage with status 0.
#
# usage: echorange_on_qemu_options.sh TOOL
set -uo pipefail
tool=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A build folder that must stay untouched: nothing is configured or built
# for a command line that is refused.
build="$scratch/build with blanks"
failures=0

check() {  # EXPECTED-STATUS PATTERN-OF-THE-ONE-STDERR-LINE ARGS...
  local want=$1 pattern=$2
  shift 2
  local out err status
  out=$(LABTOOLS_BUILD=$build bash "$tool" "$@" 2>"$scratch/err") && status=0 || status=$?
  err=$(cat "$scratch/err")
  if [ "$status" != "$want" ]; then
    echo "FAIL: $* -> status $status, expected $want; stderr: $err"
    failures=$((failures + 1))
  elif [ "$(printf '%s\n' "$err" | wc -l)" != 1 ] || ! [[ $err =~ $pattern ]]; then
    echo "FAIL: $* -> stderr not one line matching '$pattern': $err"
    failures=$((failures + 1))
  elif [ -n "$out" ]; then
    echo "FAIL: $* -> unexpected standard output: $out"
    failures=$((failures + 1))
  fi
}

bad_target='^echorange-on-qemu: --target takes SENSOR:MM or SENSOR:none \(SENSOR 1-256, MM 0-10000000\): '
check 2 "${bad_target}'0:1000'\$" --target 0:1000 shot 1
check 2 "${bad_target}'257:1000'\$" --target 257:1000 shot 1
check 2 "${bad_target}'1:10000001'\$" --target 1:10000001 shot 1
check 2 "${bad_target}'1:-5'\$" --target 1:-5 shot 1
check 2 "${bad_target}'1:1.5'\$" --target 1:1.5 shot 1
check 2 "${bad_target}'1'\$" --target 1 shot 1
check 2 "${bad_target}'x:none'\$" --target x:none shot 1
check 2 "${bad_target}'2:far'\$" --target 1:1000 --target=2:far shot 1
# The bad one after good ones: still one message.
check 2 "${bad_target}'3:'\$" --target 1:1000 --target 2:none --target 3: shot 1
check 2 '^echorange-on-qemu: --target needs SENSOR:MM or SENSOR:none$' --target
check 2 "^echorange-on-qemu: the guest's command line takes no blanks or empty words: 'a b'\$" shot 'a b'
check 2 "^echorange-on-qemu: the guest's command line takes no blanks or empty words: ''\$" shot ''
check 2 '^echorange-on-qemu: rangectl takes at most 14 words here$' read 1 2 3 4 5 6 7 8 9 10 11 12 13 14

# No rangectl words: the usage, on standard error, status 2.
LABTOOLS_BUILD=$build bash "$tool" --target 1:1000 >"$scratch/out" 2>"$scratch/err"
status=$?
if [ $status != 2 ] || [ -s "$scratch/out" ] || ! grep -q '^  tools/echorange-on-qemu \[--target SENSOR:MM' "$scratch/err"; then
  echo "FAIL: no rangectl words -> status $status"; failures=$((failures + 1))
fi
# -h: the usage on standard output, status 0.
for h in -h --help; do
  LABTOOLS_BUILD=$build bash "$tool" "$h" >"$scratch/out" 2>"$scratch/err"
  status=$?
  if [ $status != 0 ] || [ -s "$scratch/err" ] || ! grep -q '^  tools/echorange-on-qemu \[--target SENSOR:MM' "$scratch/out" ||
     ! grep -q '^Exit status: rangectl' "$scratch/out"; then
    echo "FAIL: $h -> status $status"; failures=$((failures + 1))
  fi
done

# A source tree with no ../shared/platform beside it: status 77 (skip) with
# the reason, before anything is built.
mkdir -p "$scratch/tree with blanks/src/tools"
cp "$tool" "$scratch/tree with blanks/src/tools/"
real_tool=$tool
tool="$scratch/tree with blanks/src/tools/echorange-on-qemu"
check 77 '^echorange-on-qemu: no Linux 2.4.18 kernel at .*/bzImage-2.4.18-14custom \(../shared/platform is absent\)$' \
  --target 1:1000 shot 1
tool=$real_tool

if [ -e "$build" ]; then
  echo "FAIL: a refused command line configured or built something in $build"
  failures=$((failures + 1))
fi
[ $failures = 0 ] && echo "all command lines checked"
exit $((failures > 0))
