#!/usr/bin/env bash
# tools/get-platform against a mirror served on 127.0.0.1, and the platform
# folder it puts together in use:
#  - the mirror: the folder's public sources in the raw-file layout
#    OWNER/REPO/COMMIT/PATH, laid out from the platform folder here and the
#    manifest (make_mirror.py: edited files as their originals), served by
#    python3's http.server (mirror_server.py);
#  - `get-platform --from http://127.0.0.1:PORT DIR`: every file of DIR
#    matches the manifest (`get-platform --check`);
#  - from DIR: the module's build against the real headers
#    (tests/uss/real_build.sh), rtl_layer.o and ioholder.o against the 2.4.18
#    kernel's headers with their check (tests/labpc/layer_object_check.sh),
#    and one boot of each guest kernel (the labpc_boot and
#    labpc_echorange_boot test programs with LABTOOLS_PLATFORM_DIR at DIR);
#  - refusals, each leaving no DIR and no scratch folder: a tampered mirror
#    file (the file, the expected and the found hash, status 1), a file
#    missing from the mirror, a server that stops answering (ends after the
#    timeout with a message), an existing DIR (left untouched), wrong usage.
#
#   platform_fetch.sh SOURCE_DIR PLATFORM_DIR WORK_DIR LABPC_BOOT_TEST ECHORANGE_BOOT_TEST
# Exit status 0 when all passes, 1 otherwise, 77 (skip) with the reason
# where the platform folder, curl or python3 is missing, or the boots skip.
set -uo pipefail
src=$1 platform=$2 work=$3 boot_test=$4 echorange_boot_test=$5
get=$src/tools/get-platform
manifest=$src/tools/platform/platform.hash
here=$(cd "$(dirname "$0")" && pwd)

skip() { echo "SKIP: $*"; exit 77; }
[ -f "$platform/linux-2.4-kernel/bzImage-2.4.37.11-i386" ] || skip "no platform folder at $platform to lay out the mirror from"
command -v curl >/dev/null || skip "no curl (Debian package curl)"
command -v python3 >/dev/null || skip "no python3 (Debian package python3) for the mirror's server"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work"
servers=()
cleanup() {
  for p in "${servers[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
}
trap cleanup EXIT

# start_server FOLDER [OPTION...]: serves FOLDER; sets $port and $server.
start_server() {
  local portfile=$work/port.$RANDOM
  python3 "$here/mirror_server.py" "$1" "$portfile" "${@:2}" --lifetime 900 &
  server=$!
  servers+=("$server")
  # It writes the file once it listens (renamed into place: never half).
  local i
  for i in $(seq 1 300); do
    [ -s "$portfile" ] && break
    kill -0 "$server" 2>/dev/null || { fail "the mirror's server ended at its start"; exit 1; }
    sleep 0.1
  done
  [ -s "$portfile" ] || { fail "the mirror's server did not start within 30 s"; exit 1; }
  port=$(cat "$portfile")
}

# leftovers PARENT: scratch folders get-platform left there.
leftovers() { find "$1" -maxdepth 1 -name '.get-platform.*' | head -n 1; }

python3 "$here/make_mirror.py" "$platform" "$manifest" "$work/mirror" || { fail "laying out the mirror"; exit 1; }
start_server "$work/mirror"
base=http://127.0.0.1:$port
echo "mirror: $(find "$work/mirror" -type f | wc -l) files at $base"

# --- The whole folder from the mirror ----------------------------------------
mkdir "$work/fetched"
dir=$work/fetched/platform
t0=$(date +%s.%N)
"$get" --from "$base" "$dir" >"$work/get.out" 2>&1; st=$?
t1=$(date +%s.%N)
cat "$work/get.out"
printf 'one fetch from the local mirror: %.1f s of wall time\n' "$(echo "$t1 - $t0" | bc 2>/dev/null || python3 -c "print($t1 - $t0)")"
if [ $st != 0 ]; then fail "get-platform --from $base: exit $st"; exit 1; fi
"$get" --check "$dir" && ok "the fetched folder matches the manifest" || fail "the fetched folder does not match the manifest"
[ -L "$dir/linux-2.4.18-rh/include/asm" ] && [ "$(readlink "$dir/linux-2.4.18-rh/include/asm")" = asm-i386 ] &&
  ok "include/asm is the link to asm-i386" || fail "linux-2.4.18-rh/include/asm is not a link to asm-i386"
[ -z "$(leftovers "$work/fetched")" ] && ok "no scratch folder left" || fail "left $(leftovers "$work/fetched")"

# --- The fetched folder in use -------------------------------------------------
if bash "$src/tests/uss/real_build.sh" --out "$work/echorange.o" "$dir" "$src/uss" >"$work/real_build.log" 2>&1; then
  ok "the module built against the fetched headers and checked (real_build.sh)"
else
  cat "$work/real_build.log"; fail "the module's build against the fetched headers"
fi
make_layer=(make -s -f "$src/linux24_layer/Makefile" KERNEL_INCLUDE="$dir/linux-2.4.18-rh/include" OUT="$work/layer")
if "${make_layer[@]}" rtl_layer.o >"$work/layer.log" 2>&1 &&
   "${make_layer[@]}" SRC="$src/tests/labpc" ioholder.o >>"$work/layer.log" 2>&1 &&
   bash "$src/tests/labpc/layer_object_check.sh" "$dir/linux-2.4.18-rh/System.map-2.4.18-14custom" 2.4.18-14custom \
        "$work/layer/rtl_layer.o" --exports "$src/uss/platform-symbols.txt" >>"$work/layer.log" 2>&1; then
  ok "rtl_layer.o and ioholder.o built against the fetched 2.4.18 headers, checked against its System.map"
else
  cat "$work/layer.log"; fail "rtl_layer against the fetched headers"
fi
boots_skipped=""
for t in "$boot_test" "$echorange_boot_test"; do
  LABTOOLS_PLATFORM_DIR=$dir LABPC_RTL_LAYER=$work/layer/rtl_layer.o LABPC_IOHOLDER=$work/layer/ioholder.o \
    LABPC_ECHORANGE_O=$work/echorange.o "$t" >"$work/boot.log" 2>&1; st=$?
  case $st in
    0) ok "$(basename "$t"): booted from the fetched folder: $(grep -c '^\[       OK \]' "$work/boot.log") cases passed" ;;
    77) boots_skipped="$boots_skipped $(basename "$t"): $(grep -m1 -i 'skip' "$work/boot.log")" ;;
    *) tail -n 40 "$work/boot.log"; fail "$(basename "$t") from the fetched folder: exit $st" ;;
  esac
done

# --- Refusals --------------------------------------------------------------------
# expect_refusal WHAT STATUS REGEX DIR ARGS...: get-platform exits STATUS with a
# last line matching REGEX, and leaves no DIR and no scratch folder.
expect_refusal() {
  local what=$1 want=$2 regex=$3 target=$4
  shift 4
  local out st
  out=$(timeout 300 "$get" "$@" 2>&1); st=$?
  last=$(tail -n 1 <<<"$out")
  echo "$what: exit $st: $last"
  if [ "$st" = "$want" ] && grep -Eq "$regex" <<<"$last" && [ ! -e "$target" ] &&
     [ -z "$(leftovers "$(dirname "$target")")" ]; then
    ok "$what"
  else
    fail "$what: exit $st (want $want), no DIR: $([ -e "$target" ] && echo no || echo yes), $out"
  fi
}

# A tampered file: one header of the 2.4.17 tree with a byte more.
origin=$(awk '$1 == "sha256" && $3 == "linux-2.4.17/include/linux/sched.h" { print $4 }' "$manifest")
want=$(awk '$1 == "sha256" && $3 == "linux-2.4.17/include/linux/sched.h" { print $2 }' "$manifest")
cp "$work/mirror/$origin" "$work/sched.h.orig"
echo >>"$work/mirror/$origin"
found=$(sha256sum <"$work/mirror/$origin" | cut -d' ' -f1)
expect_refusal "a tampered file" 1 \
  "^get-platform: linux-2\.4\.17/include/linux/sched\.h: SHA-256 mismatch: expected $want, found $found \(from $base/$origin\); nothing is kept$" \
  "$work/tampered/platform" --from "$base" "$work/tampered/platform"
cp "$work/sched.h.orig" "$work/mirror/$origin"

# A file missing from the mirror.
origin=$(awk '$1 == "sha256" && $3 == "rtlinux-3.2-pre3/rtl_fifo.c" { print $4 }' "$manifest")
mv "$work/mirror/$origin" "$work/rtl_fifo.c.orig"
expect_refusal "a file missing from the mirror" 1 \
  "^get-platform: rtlinux-3\.2-pre3/rtl_fifo\.c \(${origin//./\\.}\): not found at $base \(HTTP 404\); nothing is kept$" \
  "$work/missing/platform" --from "$base" "$work/missing/platform"
expect_refusal "a file missing from a local folder" 1 \
  "^get-platform: rtlinux-3\.2-pre3/rtl_fifo\.c \(${origin//./\\.}\): not in $work/mirror \(no such file there\); nothing is kept$" \
  "$work/missing/platform" --from "$work/mirror" "$work/missing/platform"
mv "$work/rtl_fifo.c.orig" "$work/mirror/$origin"

# A server that answers 20 requests and then nothing: the run ends after the
# timeout for that file.
start_server "$work/mirror" --stall-after 20
expect_refusal "a server that stops answering" 1 \
  "^get-platform: [^ ]+ \([^ ]+\): no answer from http://127\.0\.0\.1:$port within 3 s \(curl: \(28\) .*\); nothing is kept$" \
  "$work/stalled/platform" --from "http://127.0.0.1:$port" --timeout 3 "$work/stalled/platform"

# Interrupted while it fetches (SIGTERM while the server hangs): it ends at
# once, leaving nothing.
mkdir -p "$work/interrupted"
"$get" --from "http://127.0.0.1:$port" --timeout 600 "$work/interrupted/platform" >"$work/term.out" 2>&1 &
getter=$!
for i in $(seq 1 600); do
  [ -n "$(leftovers "$work/interrupted")" ] && [ -s "$(leftovers "$work/interrupted")/curl.conf" ] && break
  sleep 0.1
done
kill -TERM "$getter"
wait "$getter"; st=$?
[ $st = 143 ] && [ "$(tail -n 1 "$work/term.out")" = "get-platform: terminated; nothing is left of it" ] &&
  [ ! -e "$work/interrupted/platform" ] && [ -z "$(leftovers "$work/interrupted")" ] &&
  ok "terminated while fetching: exit 143, nothing left" ||
  fail "terminated while fetching: exit $st, $(cat "$work/term.out"), left: $(ls -A "$work/interrupted")"

# An existing folder: untouched.
before=$(cd "$dir" && find . | sort | md5sum)
out=$("$get" --from "$base" "$dir" 2>&1); st=$?
[ $st = 1 ] && [ "$out" = "get-platform: $dir already exists: it is left as it is (remove it first, or name another DIR)" ] &&
  [ "$(cd "$dir" && find . | sort | md5sum)" = "$before" ] && ok "an existing folder is refused and left as it is" ||
  fail "existing folder: exit $st: $out"

# --check on a folder with one changed file and one file too many.
chmod u+w "$dir/rtlinux-3.2-pre3/include/rtl.h" "$dir/rtlinux-3.2-pre3"
echo >>"$dir/rtlinux-3.2-pre3/include/rtl.h"
: >"$dir/rtlinux-3.2-pre3/stray.h"
out=$("$get" --check "$dir" 2>&1); st=$?
[ $st = 1 ] && grep -q "^get-platform: rtlinux-3\.2-pre3/include/rtl\.h: SHA-256 mismatch: expected [0-9a-f]\{64\}, found [0-9a-f]\{64\}$" <<<"$out" &&
  grep -qx "get-platform: rtlinux-3.2-pre3/stray.h: in the folder but not in the manifest" <<<"$out" &&
  grep -qx "get-platform: $dir: 2 of 2184 files do not match the manifest" <<<"$out" &&
  ok "--check names a changed file and a stray one" || fail "--check on a changed folder: exit $st: $out"

# Usage.
out=$("$get" -h); st=$?
[ $st = 0 ] && [ "$(head -n 1 <<<"$out")" = "usage: tools/get-platform [--from BASE] [--timeout SECONDS] [DIR]" ] &&
  ok "-h: the usage" || fail "-h: exit $st: $out"
"$get" --bogus >/dev/null 2>&1; st=$?
[ $st = 2 ] && ok "an unknown option: exit 2" || fail "an unknown option: exit $st"
"$get" --timeout 0 "$work/x" >/dev/null 2>&1; st=$?
[ $st = 2 ] && [ ! -e "$work/x" ] && ok "--timeout 0: exit 2" || fail "--timeout 0: exit $st"

echo "$failures failure(s)"
[ $failures = 0 ] || exit 1
[ -z "$boots_skipped" ] || skip "the boots from the fetched folder were skipped:$boots_skipped"
rm -rf "$work"
exit 0
