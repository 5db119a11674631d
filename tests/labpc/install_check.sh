#!/usr/bin/env bash
# install.sh of the lab PC's archive against what could make a root install
# touch what is not its own, under dash and under busybox sh (with only
# busybox's applets on PATH, as on the lab PC, where this machine runs i386
# programs):
#  - links: a prefix, a folder on the way or in it that another user owns,
#    that others may write or that is a link, is refused as root with its
#    name; a link where a file goes is replaced, never written through;
#  - MANIFEST: paths relative to the prefix, so a copied prefix uninstalls
#    itself; a line outside the prefix refuses the run;
#  - MD5SUMS: cut short, a line missing, a malformed line, a file it lacks:
#    refused before anything changes;
#  - uninstall keeps what it cannot remove (a folder it may not write, a
#    closed pipe) in MANIFEST, says so and exits 1; a changed file stays; a
#    file that was already gone is said to be;
#  - a file the install did not make is not replaced without --force, and a
#    folder where a file goes is refused;
#  - --psload-group: exact names, numbers that exist, refused before the
#    earlier install is touched;
#  - a second run while one runs is refused; a kill after any step, then a
#    rerun, gives the whole install, and its uninstall leaves nothing.
#
#   install_check.sh ARCHIVE BUSYBOX MISSING
# MISSING non-empty: why the archive can't be made here (skip, 77).
set -uo pipefail
archive=$1 busybox=$2 missing=$3

skip() { echo "SKIP: $*"; exit 77; }
[ -z "$missing" ] || skip "$missing"
[ -f "$archive" ] || skip "no archive at $archive (the labpc_release test makes it)"
command -v dash >/dev/null || skip "dash is not installed"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
is_root=no
[ "$(id -u)" = 0 ] && is_root=yes

work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
chmod 755 "$work"
tar -C "$work" -xzf "$archive"
name=$(basename "$archive" .tar.gz)
# A blank in the archive's path and in every prefix: they must work.
mv "$work/$name" "$work/the archive"
A="$work/the archive"
# Every file of the archive is installed but install.sh; an archive made
# without the prebuilt module object has the module's sources only.
n_files=$(( $(grep -c . "$A/MD5SUMS") - 1 ))
object=module/prebuilt/echorange.o
[ -f "$A/$object" ] || object=module/echorange.cpp

# The shells.  busybox sh with busybox's applets only, where this machine
# runs i386 programs; dash always.
shells=(dash)
if [ -n "$busybox" ] && [ -x "$busybox" ]; then
  if "$busybox" true 2>/dev/null; then
    mkdir "$work/bb"
    cp "$busybox" "$work/bb/busybox"
    "$work/bb/busybox" --install -s "$work/bb"
    shells+=(busybox)
  else
    echo "note: this kernel does not run i386 programs; install.sh is tried under dash only"
  fi
fi
# sh_run SHELL ARGS...: install.sh under SHELL; $out, $err, $st.
sh_run() {
  local sh=$1; shift
  if [ "$sh" = busybox ]; then
    out=$(env PATH="$work/bb" "$work/bb/sh" "$A/install.sh" "$@" 2>"$work/err"); st=$?
  else
    out=$(dash "$A/install.sh" "$@" 2>"$work/err"); st=$?
  fi
  err=$(cat "$work/err")
}
as_nobody=()
if [ $is_root = yes ] && command -v setpriv >/dev/null; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

# tree DIR: every path under DIR with its type, mode, owner and size.
tree() { (cd "$1" && find . -mindepth 1 -printf '%M %U:%G %s %p\n' | LC_ALL=C sort -k5); }
fresh() { rm -rf "$1"; mkdir -p "$1"; chmod 755 "$1"; }

for sh in "${shells[@]}"; do
  P="$work/pre fix $sh"
  fresh "$P"
  sh_run "$sh" --prefix "$P"
  [ $st = 0 ] || fail "$sh: plain install: exit $st: $err"
  full=$(tree "$P")
  man=$P/share/labtools-labpc/MANIFEST
  [ "$(grep -c '^f [0-9a-f]\{32\} [a-z]' "$man")" = "$n_files" ] && ! grep -q "^. $P\|^. /" "$man" &&
    ok "$sh: MANIFEST: $n_files files with their MD5 sums, by paths relative to the prefix" || fail "$sh: MANIFEST: $(cat "$man")"

  # An empty prefix, one with .. in it, an empty group: usage errors.
  usage_ok=yes
  sh_run "$sh" --prefix ""
  [ $st = 2 ] && [ "$(echo "$err" | head -n 1)" = "install.sh: the prefix must be an absolute path: " ] || usage_ok="--prefix '': $st $err"
  sh_run "$sh" --prefix "$P/../elsewhere"
  [ $st = 2 ] && [ ! -e "$work/elsewhere" ] || usage_ok="--prefix with ..: $st $err"
  sh_run "$sh" --prefix "$P" --psload-group ""
  [ $st = 2 ] && [ "$err" = "install.sh: not a group name: (empty)" ] || usage_ok="--psload-group '': $st $err"
  [ "$usage_ok" = yes ] && [ "$(tree "$P")" = "$full" ] && ok "$sh: an empty prefix, a prefix with .., an empty group: exit 2" ||
    fail "$sh: usage: $usage_ok"

  # --- 1: links ------------------------------------------------------------
  if [ $is_root = yes ]; then
    echo "root's own" >"$work/rootfile"
    chmod 600 "$work/rootfile"
    # Another user owns bin/ and swaps psload for a link to a root file.
    chown 65534 "$P/bin"
    rm "$P/bin/psload"
    ln -s "$work/rootfile" "$P/bin/psload"
    sh_run "$sh" --prefix "$P" --psload-group "$(id -gn)"
    [ $st = 1 ] && [ "$err" = "install.sh: $P/bin belongs to another user than root, who could change what root installs there: refused" ] &&
      [ "$(cat "$work/rootfile")" = "root's own" ] && [ "$(stat -c %a "$work/rootfile")" = 600 ] &&
      ok "$sh: 1: a bin/ another user owns is refused by name; the linked root file is untouched" ||
      fail "$sh: 1: user-owned bin/: exit $st: $err; $(stat -c %a "$work/rootfile") $(cat "$work/rootfile")"
    sh_run "$sh" --prefix "$P" --uninstall
    [ $st = 1 ] && [ -e "$work/rootfile" ] && [ -e "$P/bin/rangectl" ] && ok "$sh: 1: its uninstall is refused as well" ||
      fail "$sh: 1: uninstall with user-owned bin/: exit $st: $out $err"
    chown 0 "$P/bin"
    chmod 775 "$P/bin"
    sh_run "$sh" --prefix "$P" --force
    [ $st = 1 ] && [ "$err" = "install.sh: $P/bin can be written by users other than root (its group or all): refused as root (chmod go-w it first)" ] &&
      ok "$sh: 1: a bin/ its group may write is refused by name" || fail "$sh: 1: group-writable bin/: exit $st: $err"
    chmod 755 "$P/bin"
    # In a folder that is root's alone, a link where a file goes is the
    # user's own doing: refused, and with --force replaced, not followed.
    sh_run "$sh" --prefix "$P"
    [ $st = 1 ] && echo "$err" | grep -qx "install.sh: $P/bin/psload is not the file install.sh installed (now a link or not a plain file)" &&
      ok "$sh: 1: a link where psload goes is refused without --force" || fail "$sh: 1: link at bin/psload: exit $st: $err"
    sh_run "$sh" --prefix "$P" --force --psload-group "$(id -gn)"
    [ $st = 0 ] && [ ! -h "$P/bin/psload" ] && cmp -s "$P/bin/psload" "$A/bin/psload" &&
      [ "$(stat -c %a:%U "$P/bin/psload")" = 4750:root ] &&
      [ "$(cat "$work/rootfile")" = "root's own" ] && [ "$(stat -c %a "$work/rootfile")" = 600 ] &&
      ok "$sh: 1: --force replaces the link itself; the root file keeps its bytes and mode 600" ||
      fail "$sh: 1: --force over a link: exit $st: $err; $(stat -c %a "$work/rootfile")"
    sh_run "$sh" --prefix "$P"
    [ $st = 0 ] && [ "$(tree "$P")" = "$full" ] || fail "$sh: 1: install back: exit $st: $err"

    # A dangling link at MANIFEST.
    mv "$man" "$work/MANIFEST.saved"
    ln -s "$work/made-outside" "$man"
    sh_run "$sh" --prefix "$P"
    [ $st = 1 ] && [ "$err" = "install.sh: $man is a symbolic link: refused" ] && [ ! -e "$work/made-outside" ] &&
      ok "$sh: 1: a link at MANIFEST is refused and its target not made" || fail "$sh: 1: link at MANIFEST: exit $st: $err"
    rm "$man"
    mv "$work/MANIFEST.saved" "$man"

    # share/ a link to another folder: nothing is written or removed there.
    Q="$work/q $sh"
    fresh "$Q"
    mv "$P/share" "$Q/share"
    ln -s "$Q/share" "$P/share"
    before=$(tree "$Q")
    sh_run "$sh" --prefix "$P"
    [ $st = 1 ] && [ "$err" = "install.sh: $P/share is a symbolic link: refused (give the real folder, and no link on the way)" ] &&
      [ "$(tree "$Q")" = "$before" ] && ok "$sh: 1: a share/ that is a link is refused by name, nothing written there" ||
      fail "$sh: 1: share/ a link: exit $st: $err"
    rm "$P/share"
    mv "$Q/share" "$P/share"
    # The prefix itself a link, as root.
    ln -s "$P" "$work/link $sh"
    sh_run "$sh" --prefix "$work/link $sh"
    [ $st = 1 ] && [ "$err" = "install.sh: $work/link $sh is a symbolic link: refused (give the real folder, and no link on the way)" ] &&
      ok "$sh: 1: a prefix that is a link is refused as root" || fail "$sh: 1: prefix a link: exit $st: $err"
    rm "$work/link $sh"
  fi
  sh_run "$sh" --prefix "$P"
  [ $st = 0 ] && [ "$(tree "$P")" = "$full" ] || fail "$sh: reinstall after 1: exit $st: $err"

  # --- 2: MANIFEST's paths -------------------------------------------------
  C="$work/copy $sh"
  cp -a "$P" "$C"
  sh_run "$sh" --prefix "$C" --uninstall
  [ $st = 0 ] && [ -z "$(ls -A "$C")" ] && [ "$(tree "$P")" = "$full" ] &&
    [ "$(echo "$out" | grep -c "^removed $C/")" = "$(echo "$out" | wc -l)" ] &&
    echo "$out" | grep -qx "removed $C/bin/psload" &&
    ok "$sh: 2: a cp -a copy uninstalls itself, the original stays whole" ||
    fail "$sh: 2: uninstall of a copy: exit $st: $out $err"
  echo "f /outside/precious" >>"$man"
  echo "precious" >"$work/precious"
  sh_run "$sh" --prefix "$P"
  [ $st = 1 ] && [ "$err" = "install.sh: $man lists /outside/precious, which is not under $P: refused (nothing was removed)" ] &&
    ok "$sh: 2: a MANIFEST line outside the prefix refuses the install" || fail "$sh: 2: planted line: exit $st: $err"
  sed -i '$d' "$man"
  echo "f 0123456789abcdef0123456789abcdef share/../../precious" >>"$man"
  sh_run "$sh" --prefix "$P" --uninstall
  [ $st = 1 ] && [ "$err" = "install.sh: $man lists share/../../precious, which is not a path under $P: refused (nothing was removed)" ] &&
    [ "$(tree "$P" | grep -v MANIFEST)" = "$(echo "$full" | grep -v MANIFEST)" ] &&
    ok "$sh: 2: a MANIFEST line climbing out refuses the uninstall, nothing removed" || fail "$sh: 2: climbing line: exit $st: $err"
  sed -i '$d' "$man"

  # --- 3: MD5SUMS ----------------------------------------------------------
  cp "$A/MD5SUMS" "$work/MD5SUMS.good"
  cp "$A/$object" "$work/object.good"
  cp "$A/bin/psload" "$work/psload.good"
  E="$work/empty $sh"
  fresh "$E"
  check_md5() {  # LABEL WANT-ERROR-LINE (a basic regular expression)
    sh_run "$sh" --prefix "$E"
    [ $st = 1 ] && echo "$err" | grep -qx "$2" && [ -z "$(ls -A "$E")" ] && ! echo "$out" | grep -q checked &&
      ok "$sh: 3: $1: refused, nothing installed" || fail "$sh: 3: $1: exit $st: $out // $err"
    cp "$work/MD5SUMS.good" "$A/MD5SUMS"
    cp "$work/object.good" "$A/$object"
    cp "$work/psload.good" "$A/bin/psload"
  }
  head -c 700 "$work/MD5SUMS.good" >"$A/MD5SUMS"
  printf 'X' | dd of="$A/$object" bs=1 seek=200 conv=notrunc 2>/dev/null
  check_md5 "MD5SUMS cut to 700 bytes, $object changed" \
    "install.sh: MD5SUMS is cut short (its last line has no end): copy the archive again"
  head -c 700 "$work/MD5SUMS.good" | sed '$d' >"$A/MD5SUMS"
  check_md5 "MD5SUMS cut after a whole line" "install.sh: MD5SUMS does not list [a-z].*: copy the archive again"
  grep -v ' bin/psload$' "$work/MD5SUMS.good" >"$A/MD5SUMS"
  printf 'X' | dd of="$A/bin/psload" bs=1 seek=300 conv=notrunc 2>/dev/null
  check_md5 "psload's line deleted and psload changed" "install.sh: MD5SUMS does not list bin/psload: copy the archive again"
  sed 's/^\([0-9a-f]*\)  bin\/psload$/\1 bin\/psload/' "$work/MD5SUMS.good" >"$A/MD5SUMS"
  check_md5 "an improperly formatted line" "install.sh: MD5SUMS has lines that are not checksum lines: copy the archive again"
  { cat "$work/MD5SUMS.good"; echo "0123456789abcdef0123456789abcdef  bin/extra"; } >"$A/MD5SUMS"
  check_md5 "a line for a file the archive lacks" \
    "install.sh: MD5SUMS lists bin/extra, which the archive does not have: copy the archive again"
  { cat "$work/MD5SUMS.good"; grep ' README$' "$work/MD5SUMS.good"; } >"$A/MD5SUMS"
  check_md5 "a file listed twice" "install.sh: MD5SUMS lists README more than once: copy the archive again"
  : >"$A/MD5SUMS"
  check_md5 "an empty MD5SUMS" "install.sh: MD5SUMS is empty: copy the archive again"
  printf 'X' | dd of="$A/bin/rangectl" bs=1 seek=100 conv=notrunc 2>/dev/null
  sh_run "$sh" --prefix "$E"
  [ $st = 1 ] && echo "$err" | grep -qx "bin/rangectl: FAILED" && [ -z "$(ls -A "$E")" ] &&
    ok "$sh: 3: one changed file: refused, nothing installed" || fail "$sh: 3: changed rangectl: exit $st: $err"
  tar -C "$work" -xzf "$archive" "$name/bin/rangectl"
  mv "$work/$name/bin/rangectl" "$A/bin/rangectl"
  rm -r "$work/${name:?}"

  # --- 4: what an uninstall cannot remove stays listed -----------------------
  # Standard output a pipe nobody reads any more: the run ends at its first
  # line, MANIFEST lists exactly what is still there, a rerun finishes.
  U="$work/pipe $sh"
  fresh "$U"
  sh_run "$sh" --prefix "$U"
  rm -f "$work/fifo"
  mkfifo "$work/fifo"
  exec 5<>"$work/fifo" 6>"$work/fifo"
  exec 5<&-
  if [ "$sh" = busybox ]; then
    env PATH="$work/bb" "$work/bb/sh" "$A/install.sh" --prefix "$U" --uninstall >&6 2>"$work/err"; st=$?
  else
    dash "$A/install.sh" --prefix "$U" --uninstall >&6 2>"$work/err"; st=$?
  fi
  exec 6>&-
  rm -f "$work/fifo"
  listed=$(sed -n 's/^f [^ ]* //p' "$U/share/labtools-labpc/MANIFEST" 2>/dev/null | LC_ALL=C sort)
  there=$(cd "$U" && find . -type f ! -name MANIFEST | sed 's:^\./::' | LC_ALL=C sort)
  [ $st = 1 ] && [ -n "$listed" ] && [ "$listed" = "$there" ] &&
    ok "$sh: 4: uninstall into a closed pipe: exit 1, MANIFEST lists the $(echo "$there" | wc -l) files that are left" ||
    fail "$sh: 4: closed pipe: exit $st; listed: $listed; there: $there"
  sh_run "$sh" --prefix "$U" --uninstall
  [ $st = 0 ] && [ -z "$(ls -A "$U")" ] && ok "$sh: 4: ... and a rerun removes them all" || fail "$sh: 4: rerun after the pipe: exit $st: $err"
  if [ ${#as_nobody[@]} -gt 0 ] && [ "$sh" = dash ]; then
    V="$work/user $sh"
    fresh "$V"
    chown 65534:65534 "$V"
    "${as_nobody[@]}" dash "$A/install.sh" --prefix "$V/p" >/dev/null 2>&1 || fail "$sh: 4: install as a user"
    chmod 555 "$V/p/bin"
    o=$("${as_nobody[@]}" dash "$A/install.sh" --prefix "$V/p" --uninstall 2>"$work/err"); st=$?
    err=$(cat "$work/err")
    want_err="install.sh: these stay, and $V/p/share/labtools-labpc/MANIFEST lists them:
  $V/p/bin/psload
  $V/p/bin/portpoke
  $V/p/bin/rangectl"
    [ $st = 1 ] && [ "$err" = "$want_err" ] && echo "$o" | grep -qx "could not remove $V/p/bin/psload" &&
      [ "$(grep -c '^f ' "$V/p/share/labtools-labpc/MANIFEST")" = 3 ] &&
      ok "$sh: 4: as a user with bin/ read-only: exit 1, the three programs listed and kept in MANIFEST" ||
      fail "$sh: 4: read-only bin/: exit $st: $o // $err"
    chmod 755 "$V/p/bin"
    "${as_nobody[@]}" dash "$A/install.sh" --prefix "$V/p" --uninstall >/dev/null 2>&1; st=$?
    [ $st = 0 ] && [ ! -e "$V/p" ] && ok "$sh: 4: ... and once bin/ is writable again, all of it goes" ||
      fail "$sh: 4: rerun as a user: exit $st"
  fi

  # --- 5: user data --------------------------------------------------------
  echo "# my change" >>"$P/share/labtools-labpc/echorange/Makefile"
  rm "$P/share/doc/labtools-labpc/README"
  sh_run "$sh" --prefix "$P"
  [ $st = 1 ] && echo "$err" | grep -qx "install.sh: $P/share/labtools-labpc/echorange/Makefile has changed since install.sh installed it" &&
    grep -q "^# my change" "$P/share/labtools-labpc/echorange/Makefile" &&
    ok "$sh: 5: a reinstall over an edited Makefile is refused" || fail "$sh: 5: reinstall over an edit: exit $st: $err"
  sh_run "$sh" --prefix "$P" --uninstall
  [ $st = 1 ] && echo "$out" | grep -qx "kept $P/share/labtools-labpc/echorange/Makefile: it has changed since it was installed (--force removes it)" &&
    echo "$out" | grep -qx "already gone: $P/share/doc/labtools-labpc/README" &&
    ! echo "$out" | grep -q "removed $P/share/doc/labtools-labpc/README" &&
    [ "$(grep -c '^f ' "$man")" = 1 ] && grep -q "^# my change" "$P/share/labtools-labpc/echorange/Makefile" &&
    [ "$(cd "$P" && find . -type f | LC_ALL=C sort)" = "./share/labtools-labpc/MANIFEST
./share/labtools-labpc/echorange/Makefile" ] &&
    ok "$sh: 5: uninstall keeps the edited Makefile (and says so), calls README already gone, exits 1" ||
    fail "$sh: 5: uninstall with an edit: exit $st: $out // $err"
  sh_run "$sh" --prefix "$P" --uninstall --force
  [ $st = 0 ] && [ -z "$(ls -A "$P")" ] && ok "$sh: 5: --uninstall --force removes the edited file too" ||
    fail "$sh: 5: --force uninstall: exit $st: $out $err"
  mkdir "$P/bin"
  echo "my own portpoke" >"$P/bin/portpoke"
  sh_run "$sh" --prefix "$P"
  [ $st = 1 ] && [ "$err" = "install.sh: $P/bin/portpoke is there, and an earlier install.sh did not put it there
install.sh: refused, nothing changed (move those away, or --force to replace the files)" ] &&
    [ "$(ls -A "$P")" = bin ] && [ "$(ls -A "$P/bin")" = portpoke ] && [ "$(cat "$P/bin/portpoke")" = "my own portpoke" ] &&
    ok "$sh: 5: a portpoke of the user's own is not replaced; nothing installed" || fail "$sh: 5: own portpoke: exit $st: $err"
  sh_run "$sh" --prefix "$P" --force
  [ $st = 0 ] && cmp -s "$P/bin/portpoke" "$A/bin/portpoke" && ok "$sh: 5: --force replaces it" || fail "$sh: 5: --force: exit $st: $err"
  sh_run "$sh" --prefix "$P" --uninstall
  [ $st = 0 ] && [ "$(ls -A "$P")" = bin ] && [ -z "$(ls -A "$P/bin")" ] &&
    ok "$sh: 5: its uninstall leaves the bin/ that was there before" || fail "$sh: 5: uninstall after --force: exit $st: $(ls -A "$P")"
  rmdir "$P/bin"

  # --- 6: a folder where a file goes ---------------------------------------
  mkdir -p "$P/bin/psload" "$P/share/man/man1/rangectl.1"
  sh_run "$sh" --prefix "$P" --force
  [ $st = 1 ] && [ "$err" = "install.sh: $P/bin/psload is a folder, where the file bin/psload goes
install.sh: $P/share/man/man1/rangectl.1 is a folder, where the file man/rangectl.1 goes
install.sh: refused, nothing changed (move those away, or --force to replace the files)" ] &&
    [ -z "$(ls -A "$P/bin/psload")" ] && [ ! -e "$man" ] && ok "$sh: 6: folders where psload and rangectl.1 go are refused, also with --force" ||
    fail "$sh: 6: folder where a file goes: exit $st: $out // $err"
  rm -r "$P/bin" "$P/share"

  # --- 7: --psload-group ---------------------------------------------------
  if [ $is_root = yes ]; then
    sh_run "$sh" --prefix "$P" --psload-group "$(id -gn)"
    [ $st = 0 ] || fail "$sh: 7: group install: exit $st: $err"
    grouped=$(tree "$P")
    for g in 'r..t.*' '^root$' 99999 "$(id -gn)x"; do
      sh_run "$sh" --prefix "$P" --psload-group "$g"
      [ $st = 1 ] && [ "$err" = "install.sh: no group $g in /etc/group" ] && [ "$(tree "$P")" = "$grouped" ] &&
        ok "$sh: 7: --psload-group '$g' refused; the earlier install untouched" || fail "$sh: 7: group '$g': exit $st: $err"
    done
    sh_run "$sh" --prefix "$P" --psload-group "$(id -g)"
    [ $st = 0 ] && [ "$(stat -c %a:%u:%g "$P/bin/psload")" = "4750:0:$(id -g)" ] &&
      ok "$sh: 7: a group number that exists is taken" || fail "$sh: 7: group $(id -g): exit $st: $err"
    sh_run "$sh" --prefix "$P" --uninstall
    [ $st = 0 ] && [ -z "$(ls -A "$P")" ] || fail "$sh: 7: uninstall: exit $st: $err"
  fi
done

# --- 8: one run at a time, and a kill after any step -----------------------
# Stand-ins for the commands install.sh runs that change something: each
# counts its calls, and the one named in SHIM_CMD, at its SHIM_AT-th call,
# either waits for the test (SHIM_HOLD) or, once done, kills the whole run.
mkdir "$work/shim"
for c in mkdir mv cp chmod chown chgrp ln rm rmdir; do
  cat >"$work/shim/$c" <<'EOF'
#!/bin/sh
name=${0##*/}
PATH=$SHIM_REAL_PATH "$name" "$@"
st=$?
if [ "$name" = "$SHIM_CMD" ]; then
  n=$(cat "$SHIM_STATE/n" 2>/dev/null || echo 0)
  n=$((n + 1))
  echo $n >"$SHIM_STATE/n"
  if [ "$n" = "$SHIM_AT" ]; then
    if [ -n "${SHIM_HOLD:-}" ]; then
      echo held >"$SHIM_STATE/said"
      read -r _ <"$SHIM_STATE/go"
    else
      kill -9 "-$(cat "$SHIM_STATE/pgid")"
    fi
  fi
fi
exit $st
EOF
  chmod 755 "$work/shim/$c"
done
mkdir "$work/state"
# shimmed CMD AT ARGS...: install.sh under dash in a session of its own.
shimmed() {
  local cmd=$1 at=$2; shift 2
  rm -f "$work/state/n"
  SHIM_REAL_PATH=$PATH SHIM_CMD=$cmd SHIM_AT=$at SHIM_STATE=$work/state PATH="$work/shim:$PATH" \
    setsid -w sh -c 'echo $$ >"$SHIM_STATE/pgid"; exec dash "$0" "$@"' "$A/install.sh" "$@"
}
K="$work/kill"
fresh "$K"
top_made="$K/new dir/prefix"
# The whole install, counted, for the tree it gives.
shimmed mkdir 0 --prefix "$top_made" >/dev/null 2>&1 || fail "8: counted install"
mkdirs=$(cat "$work/state/n")
want_tree=$(tree "$K")
for c in mv cp chmod; do
  shimmed $c 0 --prefix "$top_made" >/dev/null 2>&1
  eval "n_$c=\$(cat \"$work/state/n\")"
done
dash "$A/install.sh" --prefix "$top_made" --uninstall >/dev/null 2>&1
[ -z "$(ls -A "$K")" ] || fail "8: uninstall of the counted install left $(ls -A "$K")"
# After every mkdir, and after a few other steps spread over the run (the
# first rename of MANIFEST into its folder, a file's copy, its mode, its
# rename, the last rename).
points=""
for i in $(seq 1 "$mkdirs"); do points="$points mkdir:$i"; done
points="$points mv:1 mv:$((n_mv / 2)) mv:$((n_mv / 2 + 1)) mv:$n_mv cp:$((n_cp / 2)) chmod:$((n_chmod / 2))"
good=0 total=0
for pt in $points; do
  total=$((total + 1))
  shimmed "${pt%%:*}" "${pt#*:}" --prefix "$top_made" >/dev/null 2>&1; st=$?
  why=""
  [ $st = 137 ] || why="the run was not killed (exit $st)"
  m="$top_made/share/labtools-labpc/MANIFEST"
  if [ -f "$m" ] && [ -n "$(sort "$m" | uniq -d)" ]; then why="$why; duplicate lines: $(sort "$m" | uniq -d)"; fi
  dash "$A/install.sh" --prefix "$top_made" >"$work/rerun" 2>&1; st=$?
  [ $st = 0 ] || why="$why; rerun exit $st: $(cat "$work/rerun")"
  [ "$(tree "$K")" = "$want_tree" ] || why="$why; tree after the rerun: $(diff <(echo "$want_tree") <(tree "$K"))"
  [ -z "$(sort "$m" | uniq -d)" ] || why="$why; duplicates after the rerun"
  dash "$A/install.sh" --prefix "$top_made" --uninstall >"$work/un" 2>&1; st=$?
  [ $st = 0 ] && [ -z "$(ls -A "$K")" ] || why="$why; uninstall exit $st left: $(cd "$K" && find . | head)"
  if [ -z "$why" ]; then good=$((good + 1)); else fail "8: killed after $pt: $why"; fresh "$K"; fi
done
[ $good = "$total" ] && ok "8: killed after each of $total steps ($mkdirs mkdirs): the rerun completes, no duplicate, uninstall leaves nothing ($good of $total)"

# Two at once: the first holds after its third mkdir (its journal, "new
# dir" and the prefix are made, so the second finds the prefix there and
# the first one's lock above it); the second is refused.  The first run's
# shim says "held" on the fifo said, and waits for "go"; when the first run
# ends, "ended" and its status follow.
rm -f "$work/state/said" "$work/state/go"
mkfifo "$work/state/said" "$work/state/go"
( SHIM_HOLD=yes shimmed mkdir 3 --prefix "$top_made" >"$work/first" 2>&1; echo "ended $?" >"$work/state/said" ) &
read -r said <"$work/state/said"
second_st=none second_err=
if [ "$said" = held ]; then
  sh_run dash --prefix "$top_made"
  second_st=$st second_err=$err
  echo go >"$work/state/go"
  read -r said <"$work/state/said"
fi
wait
first_st=${said#ended }
[ "$second_st" = 1 ] && [ "$second_err" = "install.sh: another install.sh runs for this prefix (process $(cat "$work/state/pgid"), lock $K/.labtools-labpc-install.lock): try again when it has ended" ] &&
  [ $first_st = 0 ] && [ "$(tree "$K")" = "$want_tree" ] && [ -z "$(sort "$top_made/share/labtools-labpc/MANIFEST" | uniq -d)" ] &&
  ok "8: a second run while the first makes its folders is refused; the first completes" ||
  fail "8: two at once: second exit $second_st: $second_err; first exit $first_st: $(cat "$work/first")"
dash "$A/install.sh" --prefix "$top_made" --uninstall >/dev/null 2>&1
[ -z "$(ls -A "$K")" ] || fail "8: uninstall after two at once left $(ls -A "$K")"

echo "$failures failure(s)"
[ $failures = 0 ]
