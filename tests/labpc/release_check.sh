#!/usr/bin/env bash
# The lab PC's archive on this machine:
#  - `cmake --build BUILD --target labpc-release` twice (the second time with
#    another umask, time zone and locale) gives the same bytes;
#  - its members: the expected names and no others, owner 0/0, one time
#    stamp, modes 0755 for programs, the install script and folders, 0644
#    for the rest; the checksum files agree with the contents; the programs
#    are static stripped i386 executables; VERSION names this commit, musl
#    and the module's kernel_version; the text manual pages are plain;
#  - install.sh under dash and under busybox sh: into a scratch prefix with
#    the modes it promises, again over itself, with a set-user-ID psload
#    for a group (as root), refusals (non-root where root is needed, a
#    damaged file, bad options), and an uninstall that leaves nothing.
#
#   release_check.sh BUILD_DIR ARCHIVE MODULE_O BUSYBOX MISSING
# MISSING non-empty: why the archive can't be made here (skip, 77).
# MODULE_O empty: the build has no module object (no platform headers), so
# the archive must have no module/prebuilt/, and its README and VERSION
# must say so.
# BUSYBOX may be empty (busybox sh is then not tried; dash is).
# Where the archive's i386 programs cannot run here at all (LABTOOLS_I386=
# native on a kernel without 32-bit support, no qemu-i386), it skips.
set -uo pipefail
build=$1 archive=$2 module_o=$3 busybox=$4 missing=$5
here=$(cd "$(dirname "$0")" && pwd)
run_i386=$here/../../tools/run-i386

skip() { echo "SKIP: $*"; exit 77; }
[ -z "$missing" ] || skip "$missing"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

# --- Built twice: the same bytes ---------------------------------------------
rm -f "$archive"
cmake --build "$build" --target labpc-release >"$work/build1.log" 2>&1 || { cat "$work/build1.log"; fail "first build"; exit 1; }
mv "$archive" "$work/first.tar.gz"
(umask 077; TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 cmake --build "$build" --target labpc-release) >"$work/build2.log" 2>&1 ||
  { cat "$work/build2.log"; fail "second build"; exit 1; }
sha_first=$(sha256sum <"$work/first.tar.gz" | cut -d' ' -f1)
sha_second=$(sha256sum <"$archive" | cut -d' ' -f1)
echo "sha256 first build:  $sha_first"
echo "sha256 second build: $sha_second"
if cmp -s "$work/first.tar.gz" "$archive"; then ok "built twice, byte-identical"; else fail "two builds differ"; fi

# --- Members -----------------------------------------------------------------
gzip -t "$archive" || fail "not a gzip file"
name=$(basename "$archive" .tar.gz)
expected="$name/
$name/MD5SUMS
$name/README
$name/SHA256SUMS
$name/VERSION
$name/bin/
$name/bin/portpoke
$name/bin/psload
$name/bin/rangectl
$name/install.sh
$name/man/
$name/man/echorange.4
$name/man/echorange.4.txt
$name/man/portpoke.1
$name/man/portpoke.1.txt
$name/man/psload.1
$name/man/psload.1.txt
$name/man/rangectl.1
$name/man/rangectl.1.txt
$name/module/
$name/module/Makefile
$name/module/echorange.cpp
$name/module/echorange.h"
if [ -n "$module_o" ]; then
  expected="$expected
$name/module/prebuilt/
$name/module/prebuilt/echorange.o"
fi
expected="$expected
$name/module/uss.h"
listing=$(tar tzf "$archive")
if [ "$listing" = "$expected" ]; then ok "members, in sorted order"; else fail "members:"; diff <(echo "$expected") <(echo "$listing"); fi

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$here/../.." log -1 --format=%ct HEAD 2>/dev/null || echo 0)}
bad=$(tar --numeric-owner --full-time -tvzf "$archive" | TZ=UTC awk -v name="$name" '
  { mode = $1; owner = $2; path = $6
    want = "-rw-r--r--"
    if (path ~ /\/$/) want = "drwxr-xr-x"
    else if (path ~ /\/bin\/[a-z]+$/ || path == name "/install.sh") want = "-rwxr-xr-x"
    if (mode != want || owner != "0/0") print path ": " mode " " owner " (want " want " 0/0)"
    stamp[$4 " " $5] = 1 }
  END { n = 0; for (s in stamp) n++; if (n != 1) print n " different time stamps" }')
if [ -z "$bad" ]; then ok "modes, owners 0/0, one time stamp"; else fail "member attributes:"; echo "$bad"; fi
first_stamp=$(TZ=UTC tar --full-time -tvzf "$archive" | head -n 1 | awk '{ print $4 " " $5 }')
want_stamp=$(TZ=UTC date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
[ "$first_stamp" = "$want_stamp" ] && ok "time stamp $first_stamp (SOURCE_DATE_EPOCH)" ||
  fail "time stamp $first_stamp, want $want_stamp"

mkdir "$work/unpacked"
tar -C "$work/unpacked" -xzf "$archive"
top=$work/unpacked/$name
(cd "$top" && sha256sum -c --quiet SHA256SUMS) && ok "sha256sum -c" || fail "sha256sum -c"
(cd "$top" && md5sum -c --quiet MD5SUMS) && ok "md5sum -c" || fail "md5sum -c"
sums=$(cut -d' ' -f3 "$top/SHA256SUMS")
others=$(cd "$top" && find . -type f ! -name SHA256SUMS ! -name MD5SUMS | sed 's|^\./||' | LC_ALL=C sort)
[ "$sums" = "$others" ] && ok "SHA256SUMS covers every other file" || fail "SHA256SUMS lists: $sums"
[ "$(cut -d' ' -f3 "$top/MD5SUMS")" = "$others" ] && ok "MD5SUMS covers every other file" || fail "MD5SUMS' list"

for p in psload portpoke rangectl; do
  d=$(file -b "$top/bin/$p")
  case $d in
    "ELF 32-bit LSB executable, Intel 80386"*"statically linked"*stripped*) ok "file bin/$p: $d" ;;
    *) fail "file bin/$p: $d" ;;
  esac
  [ -z "$(nm "$top/bin/$p" 2>/dev/null)" ] || fail "bin/$p has symbols"
done
"$run_i386" "$top/bin/psload" -h >/dev/null 2>"$work/help"; st=$?
if [ $st = 77 ] && [ $failures = 0 ]; then
  skip "the archive's i386 programs cannot run here: $(cat "$work/help")"
fi
[ $st = 8 ] && head -n 1 "$work/help" | grep -q "^(Help) Usage is .*/bin/psload \[options\] input_file$" &&
  ok "bin/psload -h: exit 8, the help text" || fail "bin/psload -h: exit $st: $(head -n 1 "$work/help")"
if [ -n "$module_o" ]; then
  cmp -s "$top/module/prebuilt/echorange.o" "$module_o" && ok "prebuilt echorange.o is the build's" ||
    fail "prebuilt echorange.o differs from $module_o"
  ! grep -q "has no prebuilt module object" "$top/README" && ! grep -q '@[A-Z_]*@' "$top/README" &&
    grep -q "^module/prebuilt/echorange.o$" "$top/README" && ok "README: the prebuilt object's text" ||
    fail "README: the text for an archive with the prebuilt object"
else
  grep -q "^checksums and a version file.  It has no prebuilt module object$" "$top/README" &&
    grep -q "^This archive has no prebuilt object: the machine that made it had not the$" "$top/README" &&
    grep -q "^    cmake -S . -B build && cmake --build build --target labpc-release$" "$top/README" &&
    ! grep -q "^module/prebuilt/echorange.o$\|@[A-Z_]*@\|insmod PREFIX/share/labtools-labpc/echorange/prebuilt" "$top/README" &&
    ok "README: no prebuilt object, and how to build the module" ||
    fail "README: the text for an archive without the prebuilt object"
fi
for f in echorange.cpp echorange.h uss.h Makefile; do
  cmp -s "$top/module/$f" "$here/../../uss/$f" || fail "module/$f differs from uss/$f"
done

version=$(sed -n 's/^project(labtools VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
commit=$(git -C "$here/../.." rev-parse HEAD 2>/dev/null || echo unknown)
v=$top/VERSION
grep -qx "labtools for the lab PC, version $version (i386)" "$v" || fail "VERSION: no version $version line"
grep -q "^Source commit: $commit" "$v" || fail "VERSION: not commit $commit"
grep -q "^Build date: $want_stamp UTC (SOURCE_DATE_EPOCH=$epoch)$" "$v" || fail "VERSION: build date"
grep -q "^  C library: musl 1\.2\.[0-9]* (Debian musl-dev:i386 " "$v" || fail "VERSION: C library"
grep -q "^  compiler: .*[0-9]" "$v" || fail "VERSION: compiler"
if [ -n "$module_o" ]; then
  grep -q "kernel_version=2\.4\.18-rtl3\.1$" "$v" || fail "VERSION: module kernel_version"
else
  grep -q "^Module object: not included (no module/prebuilt/echorange.o): the machine that made it had not the lab PC's platform headers$" "$v" &&
    grep -q "^  build it from module/ on the lab PC" "$v" || fail "VERSION: no word that the module object is not included"
fi
[ $failures = 0 ] && ok "VERSION: $(sed -n 2p "$v")"
[ "$name" = "labtools-labpc-$version-i386" ] || fail "archive name $name, version $version"

for t in "$top"/man/*.txt; do
  if LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f-\xff]' "$t"; then fail "$(basename "$t") has control or non-ASCII bytes"; fi
  head -n 1 "$t" | grep -q "^[A-Z]*([14])  *Lab tools  *[A-Z]*([14])$" || fail "$(basename "$t"): header $(head -n 1 "$t")"
done
grep -q "^SYNOPSIS" "$top/man/rangectl.1.txt" && ok "text manual pages" || fail "rangectl.1.txt has no SYNOPSIS"

# --- install.sh --------------------------------------------------------------
shells=()
command -v dash >/dev/null && shells+=("dash")
if [ -n "$busybox" ] && [ -x "$busybox" ]; then
  # Its applets stand in for the tools when it runs; the script's own
  # commands come from PATH either way.
  shells+=("$run_i386 $busybox sh")
fi
[ ${#shells[@]} -gt 0 ] || fail "neither dash nor busybox to run install.sh with"

as_nobody=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

# tree DIR: every path under DIR with its mode, owner and group.
tree() { (cd "$1" && find . -mindepth 1 -printf '%M %u:%g %p\n' | LC_ALL=C sort -k3); }

for sh in "${shells[@]}"; do
  label=${sh##*/}
  p=$work/prefix-${label// /-}
  mkdir "$p"
  chmod 755 "$p"
  # shellcheck disable=SC2086
  out=$($sh "$top/install.sh" --prefix "$p/" 2>&1); st=$?
  [ $st = 0 ] || { fail "$label: install exit $st: $out"; continue; }
  echo "$out" | grep -qx "checked the files against MD5SUMS" || fail "$label: no checksum line: $out"
  me=$(id -un):$(id -gn)
  prebuilt_tree="" files_installed=17
  if [ -n "$module_o" ]; then
    prebuilt_tree="
drwxr-xr-x $me ./share/labtools-labpc/echorange/prebuilt
-rw-r--r-- $me ./share/labtools-labpc/echorange/prebuilt/echorange.o"
    files_installed=18
  fi
  want="drwxr-xr-x $me ./bin
-rwxr-xr-x $me ./bin/portpoke
-rwxr-xr-x $me ./bin/psload
-rwxr-xr-x $me ./bin/rangectl
drwxr-xr-x $me ./share
drwxr-xr-x $me ./share/doc
drwxr-xr-x $me ./share/doc/labtools-labpc
-rw-r--r-- $me ./share/doc/labtools-labpc/README
-rw-r--r-- $me ./share/doc/labtools-labpc/VERSION
-rw-r--r-- $me ./share/doc/labtools-labpc/echorange.4.txt
-rw-r--r-- $me ./share/doc/labtools-labpc/portpoke.1.txt
-rw-r--r-- $me ./share/doc/labtools-labpc/psload.1.txt
-rw-r--r-- $me ./share/doc/labtools-labpc/rangectl.1.txt
drwxr-xr-x $me ./share/labtools-labpc
-rw-r--r-- $me ./share/labtools-labpc/MANIFEST
drwxr-xr-x $me ./share/labtools-labpc/echorange
-rw-r--r-- $me ./share/labtools-labpc/echorange/Makefile
-rw-r--r-- $me ./share/labtools-labpc/echorange/echorange.cpp
-rw-r--r-- $me ./share/labtools-labpc/echorange/echorange.h$prebuilt_tree
-rw-r--r-- $me ./share/labtools-labpc/echorange/uss.h
drwxr-xr-x $me ./share/man
drwxr-xr-x $me ./share/man/man1
-rw-r--r-- $me ./share/man/man1/portpoke.1
-rw-r--r-- $me ./share/man/man1/psload.1
-rw-r--r-- $me ./share/man/man1/rangectl.1
drwxr-xr-x $me ./share/man/man4
-rw-r--r-- $me ./share/man/man4/echorange.4"
  got=$(tree "$p")
  [ "$got" = "$want" ] && ok "$label: installed files and modes" || { fail "$label: installed tree:"; diff <(echo "$want") <(echo "$got"); }
  cmp -s "$p/bin/rangectl" "$top/bin/rangectl" || fail "$label: bin/rangectl is not the archive's"
  [ "$(grep -c '^f ' "$p/share/labtools-labpc/MANIFEST")" = $files_installed ] || fail "$label: MANIFEST: $(cat "$p/share/labtools-labpc/MANIFEST")"

  # Again over itself: the same tree.
  # shellcheck disable=SC2086
  $sh "$top/install.sh" --prefix "$p" >/dev/null 2>&1 && [ "$(tree "$p")" = "$want" ] &&
    ok "$label: installed again over itself" || fail "$label: second install"

  # A file of someone else's in a folder it made stays, with that folder.
  echo mine >"$p/share/man/man1/other.1"
  # shellcheck disable=SC2086
  out=$($sh "$top/install.sh" --prefix "$p" --uninstall 2>&1); st=$?
  left=$(tree "$p")
  [ $st = 0 ] && [ "$left" = "drwxr-xr-x $me ./share
drwxr-xr-x $me ./share/man
drwxr-xr-x $me ./share/man/man1
-rw-r--r-- $me ./share/man/man1/other.1" ] && ok "$label: uninstall removed what it installed, kept the rest" ||
    { fail "$label: uninstall (exit $st), left:"; echo "$left"; echo "$out"; }
  rm -r "$p/share"
  # shellcheck disable=SC2086
  out=$($sh "$top/install.sh" --prefix "$p" --uninstall 2>&1); st=$?
  [ $st = 1 ] && [ "$out" = "install.sh: nothing of labtools-labpc is installed under $p (no $p/share/labtools-labpc/MANIFEST)" ] &&
    ok "$label: uninstall of nothing refused" || fail "$label: uninstall of nothing: exit $st: $out"

  # Wrong usage: exit 2, nothing made.
  for args in "--bogus" "--prefix relative/dir" "--prefix" "--psload-group a:b" "--uninstall --psload-group lab"; do
    # shellcheck disable=SC2086
    $sh "$top/install.sh" $args >/dev/null 2>&1; st=$?
    [ $st = 2 ] || fail "$label: install.sh $args: exit $st, want 2"
  done
  [ -z "$(ls -A "$p")" ] && ok "$label: wrong usage: exit 2" || fail "$label: wrong usage left $(ls -A "$p")"

  # A damaged file: refused before anything is installed.
  cp -a "$top" "$work/damaged"
  printf 'X' | dd of="$work/damaged/bin/rangectl" bs=1 seek=100 conv=notrunc 2>/dev/null
  # shellcheck disable=SC2086
  out=$($sh "$work/damaged/install.sh" --prefix "$p" 2>&1); st=$?
  [ $st = 1 ] && echo "$out" | grep -q "^install.sh: the files do not match MD5SUMS: copy the archive again$" &&
    echo "$out" | grep -q "bin/rangectl: FAILED" && [ -z "$(ls -A "$p")" ] &&
    ok "$label: a damaged file is refused, nothing installed" || fail "$label: damaged file: exit $st: $out"
  rm -rf "$work/damaged"

  if [ "$(id -u)" = 0 ]; then
    # psload set-user-ID root for a group (root's own group here).
    # shellcheck disable=SC2086
    out=$($sh "$top/install.sh" --prefix "$p" --psload-group "$(id -gn)" 2>&1); st=$?
    line=$(cd "$p" && find bin/psload -printf '%m %U %G')
    [ $st = 0 ] && [ "$line" = "4750 0 $(id -g)" ] && ok "$label: --psload-group: psload 4750 root:$(id -gn)" ||
      fail "$label: --psload-group: exit $st, $line: $out"
    # shellcheck disable=SC2086
    $sh "$top/install.sh" --prefix "$p" --psload-group no-such-group-here >/dev/null 2>&1; st=$?
    [ $st = 1 ] && [ "$(cd "$p" && find bin/psload -printf '%m')" = 4750 ] && ok "$label: unknown group refused" ||
      fail "$label: unknown group: exit $st"
    # shellcheck disable=SC2086
    $sh "$top/install.sh" --prefix "$p" --uninstall >/dev/null 2>&1
    [ -z "$(ls -A "$p")" ] || fail "$label: uninstall after --psload-group left $(ls -A "$p")"
  fi

  if [ ${#as_nobody[@]} -gt 0 ]; then
    # An ordinary user: refused where root is needed, nothing made.
    chmod 755 "$work"
    # shellcheck disable=SC2086
    out=$("${as_nobody[@]}" $sh "$top/install.sh" 2>&1); st=$?
    [ $st = 1 ] && [ "$out" = "install.sh: /usr/local is not writable by you: run it as root" ] &&
      ok "$label: non-root into /usr/local refused" || fail "$label: non-root into /usr/local: exit $st: $out"
    chmod 777 "$p"
    # shellcheck disable=SC2086
    out=$("${as_nobody[@]}" $sh "$top/install.sh" --prefix "$p" --psload-group lab 2>&1); st=$?
    [ $st = 1 ] && [ "$out" = "install.sh: --psload-group makes psload set-user-ID root: run it as root" ] &&
      [ -z "$(ls -A "$p")" ] && ok "$label: non-root --psload-group refused" ||
      fail "$label: non-root --psload-group: exit $st: $out"
    # shellcheck disable=SC2086
    "${as_nobody[@]}" $sh "$top/install.sh" --prefix "$p/user" >/dev/null 2>&1; st=$?
    [ $st = 0 ] && [ -x "$p/user/bin/psload" ] && ok "$label: non-root into its own prefix" ||
      fail "$label: non-root into its own prefix: exit $st"
    rm -rf "$p/user"
    chmod 755 "$p"
  fi
done

echo "$failures failure(s)"
[ $failures = 0 ]
