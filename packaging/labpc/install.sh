#!/bin/sh
# Installs (or uninstalls) labtools on the lab PC from the unpacked archive.
# Plain POSIX sh: it runs under the shells of the lab PC's time (bash 2 as
# sh, ash, busybox sh, dash) and uses only chgrp, chmod, chown, cp, dirname,
# find, grep, id, ln, md5sum (cksum where there is none), mkdir, mv, rm,
# rmdir, sed, tail and wc besides the shell's own echo, kill, printf, read
# and test: all of them applets of the lab PC's busybox too.
#
#   sh install.sh [--prefix DIR] [--psload-group GROUP] [--no-check] [--force]
#   sh install.sh [--prefix DIR] --uninstall [--force]
#
# What goes where (PREFIX default /usr/local):
#   PREFIX/bin/psload, portpoke, rangectl                 0755
#       with --psload-group GROUP: psload root:GROUP 4750, set-user-ID root,
#       runnable only by root and the members of GROUP
#   PREFIX/share/man/man1/{psload,portpoke,rangectl}.1, man4/echorange.4   0644
#   PREFIX/share/doc/labtools-labpc/: README, VERSION, the pages as text  0644
#   PREFIX/share/labtools-labpc/echorange/: the module's sources, Makefile
#       and (where the archive has it) prebuilt/echorange.o              0644
#   PREFIX/share/labtools-labpc/MANIFEST: every file installed (with its
#       MD5 sum) and every folder made, by path relative to PREFIX
#
# Root installs into folders other users may not touch, so that nobody can
# steer its writes: as root, the prefix and every folder on the way to it
# and in it must be root's own, writable by no group and no other user, and
# no symbolic link (above the prefix a sticky folder such as /tmp is fine).
# Nothing is ever written, chowned or chmodded through a path: each file is
# made under a new name in its folder, given its mode there, and renamed
# into place.  A file that is in the way and that an earlier install did not
# put there (or that has changed since) is left alone and the install is
# refused, unless --force; a folder where a file goes is always refused.
# Every check (the group, MD5SUMS, what is in the way) comes before the
# first change, and the files of an earlier install are replaced one by one
# by the new ones, so that a refusal or a failure leaves the earlier install
# working.  MANIFEST is rewritten (new name, rename) before each change, so
# that after a kill at any point a rerun finishes the install or the
# uninstall.  A lock (PREFIX, or the nearest folder above it that exists,
# holds .labtools-labpc-install.lock while the script runs) keeps two runs
# apart.
#
# --uninstall removes only what MANIFEST lists, under the prefix given
# (and the folders it made above it, where they are empty): a file only
# while it has the MD5 sum it was installed with (--force: also a changed
# one).  What stays is listed, MANIFEST keeps it, and the status is 1.
#
# Exit status: 0 done, 1 refused or failed (message on standard error),
# 2 wrong usage.

me=install.sh
prefix=/usr/local
group=
action=install
check=yes
force=no
nl='
'

usage() {
    echo "usage: sh $me [--prefix DIR] [--psload-group GROUP] [--no-check] [--force]" >&2
    echo "       sh $me [--prefix DIR] --uninstall [--force]" >&2
    exit 2
}
die() {
    echo "$me: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case $1 in
        --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
        --prefix=*) prefix=${1#--prefix=}; shift ;;
        --psload-group) [ $# -ge 2 ] || usage; group=$2; group_given=yes; shift 2 ;;
        --psload-group=*) group=${1#--psload-group=}; group_given=yes; shift ;;
        --uninstall) action=uninstall; shift ;;
        --no-check) check=no; shift ;;
        --force) force=yes; shift ;;
        -h | --help) usage ;;
        *) echo "$me: unknown option: $1" >&2; usage ;;
    esac
done
case $prefix in
    /*) ;;
    *) echo "$me: the prefix must be an absolute path: $prefix" >&2; exit 2 ;;
esac
case $prefix in
    *"$nl"* | */./* | */. | */../* | */..)
        echo "$me: the prefix must be a plain path (no . or .. in it, no line break): $prefix" >&2; exit 2 ;;
esac
[ "$prefix" = / ] || prefix=`echo "$prefix" | sed 's:/*$::'`
[ -n "$prefix" ] || prefix=/
case $group in
    *:* | *" "* | *"$nl"*) echo "$me: not a group name: $group" >&2; exit 2 ;;
esac
[ -n "${group_given:-}" ] && [ -z "$group" ] && { echo "$me: not a group name: (empty)" >&2; exit 2; }
[ "$action" = uninstall ] && [ -n "$group" ] && usage
[ "$action" = uninstall ] && [ "$check" = no ] && usage

here=`dirname "$0"`
here=`cd "$here" && pwd` || die "cannot find the archive's folder"
uid=`id -u`
umask 022

# parent PATH: the folder PATH is in, as $parentp (dirname without a
# process: this runs for every file).
parent() {
    parentp=${1%/*}
    [ -n "$parentp" ] || parentp=/
}
# abs REL: PREFIX/REL as $absp, for a path of MANIFEST (".", "..", "../.."
# are the prefix and the folders above it).
abs() {
    case $1 in
        .) absp=$prefix ;;
        .. | ../*) absp=$prefix; ab_r=$1
             while [ -n "$ab_r" ]; do parent "$absp"; absp=$parentp; ab_r=${ab_r#..}; ab_r=${ab_r#/}; done ;;
        *) [ "$prefix" = / ] && absp=/$1 || absp=$prefix/$1 ;;
    esac
}
share_rel=share/labtools-labpc
abs $share_rel
share=$absp
manifest=$share/MANIFEST

# The nearest folder of PATH that exists.
existing() {
    p=$1
    while [ ! -d "$p" ]; do
        p=`dirname "$p"`
    done
    echo "$p"
}

# Root is needed for a set-user-ID root psload, and wherever the prefix is
# not writable by the user who runs this.
need_root() {
    [ "$uid" -eq 0 ] && return 0
    die "$*: run it as root"
}

# is PATH TEST...: find's TEST holds for PATH itself.  (find, not ls: the
# lab PC's busybox ls crashes on some 2.4 kernels.)
is() {
    is_p=$1
    shift
    [ -n "`find "$is_p" -maxdepth 0 "$@" 2>/dev/null`" ]
}
# has_entries DIR: DIR is not empty.
has_entries() {
    for he in "$1"/* "$1"/.[!.]* "$1"/..?*; do
        [ -e "$he" ] || [ -h "$he" ] && return 0
    done
    return 1
}

# safe_dir PATH WHERE: refuses a link or a non-folder at PATH, and as root a
# folder that another user could change (WHERE "above": a sticky folder,
# whose entries only their owners may replace, is fine above the prefix).
safe_dir() {
    [ -h "$1" ] && die "$1 is a symbolic link: refused (give the real folder, and no link on the way)"
    [ -d "$1" ] || die "$1 is there but is not a folder: refused"
    [ "$uid" -eq 0 ] || return 0
    is "$1" -user 0 || die "$1 belongs to another user than root, who could change what root installs there: refused"
    [ "$2" = above ] && is "$1" -perm -1000 && return 0
    if is "$1" -perm -020 || is "$1" -perm -002; then
        die "$1 can be written by users other than root (its group or all): refused as root (chmod go-w it first)"
    fi
    return 0
}

# The folders the install uses, below the prefix, parents first.
subdirs="bin share share/man share/man/man1 share/man/man4 share/doc share/doc/labtools-labpc
$share_rel $share_rel/echorange $share_rel/echorange/prebuilt"

# check_paths: the prefix, the folders above it that exist, and those in it
# (as far as they exist).
check_paths() {
    p=
    saved_ifs=$IFS
    IFS=/
    set -f
    for part in $prefix; do
        [ -n "$part" ] || continue
        above=${p:-/}
        p=$p/$part
        IFS=$saved_ifs
        [ -e "$above" ] && [ "$uid" -eq 0 ] && safe_dir "$above" above
        IFS=/
    done
    IFS=$saved_ifs
    set +f
    if [ -e "$prefix" ] || [ -h "$prefix" ]; then
        if [ "$uid" -eq 0 ]; then
            safe_dir "$prefix" in
        else
            [ -d "$prefix" ] || die "$prefix is there but is not a folder: refused"
        fi
    fi
    for d in $subdirs; do
        abs $d
        p=$absp
        [ -e "$p" ] || [ -h "$p" ] || continue
        safe_dir "$p" in
    done
}

# check_entries: every folder on the way to what $entries lists, from the
# prefix down, passes safe_dir, and so does every folder it lists.
check_entries() {
    while IFS= read -r ce_line; do
        case $ce_line in
            "d "*) ce_rel=${ce_line#d } ;;
            ?" "*) ce_rel=${ce_line#? }; ce_rel=${ce_rel#* } ;;
            *) continue ;;
        esac
        case $ce_rel in
            . | .. | ../*) continue ;;
        esac
        ce_p=$prefix
        ce_saved=$IFS
        IFS=/
        set -f
        for ce_part in $ce_rel; do
            IFS=$ce_saved
            [ "$ce_p" = / ] && ce_p=/$ce_part || ce_p=$ce_p/$ce_part
            abs "$ce_rel"
            if [ "$ce_p" = "$absp" ] && [ "${ce_line%% *}" != d ]; then
                break
            fi
            [ -e "$ce_p" ] || [ -h "$ce_p" ] || break
            safe_dir "$ce_p" in
            IFS=/
        done
        IFS=$ce_saved
        set +f
    done <<EOF
$entries
EOF
}

# --- The hashes -------------------------------------------------------------
# hash FILE: the MD5 sum (32 hex digits), or where md5sum is missing
# "cksum:CRC:SIZE"; empty if neither works.
if command -v md5sum >/dev/null 2>&1; then
    hasher=md5sum
elif command -v cksum >/dev/null 2>&1; then
    hasher=cksum
else
    hasher=
fi
hash_md5() { md5sum <"$1" 2>/dev/null | sed -n 's/^\([0-9a-f]\{32\}\) .*/\1/p'; }
hash_cksum() { cksum <"$1" 2>/dev/null | sed -n 's/^\([0-9]*\) \([0-9]*\).*/cksum:\1:\2/p'; }
hash() {
    case $hasher in
        md5sum) hash_md5 "$1" ;;
        cksum) hash_cksum "$1" ;;
    esac
}
# same_hash FILE HASH: FILE (a plain file) has HASH, computed the way HASH was.
same_hash() {
    case $2 in
        cksum:*) command -v cksum >/dev/null 2>&1 && [ "`hash_cksum "$1"`" = "$2" ] ;;
        -) return 0 ;;
        *) [ "$hasher" = md5sum ] && [ "`hash_md5 "$1"`" = "$2" ] ;;
    esac
}

# --- MANIFEST ---------------------------------------------------------------
# $entries holds it in memory, one line each:
#   d REL         a folder the install made
#   f HASH REL    a file it installed, and its hash
#   p HASH REL    the earlier file at REL while its replacement is under way
# REL is relative to the prefix: ".", "..", "../.." for the prefix and the
# folders above it that the install made.  MANIFEST of labtools 1.0.0 had
# absolute paths without hashes: those under the prefix are taken as such.
entries=
header="# labtools-labpc: what install.sh installed under the prefix (relative paths)"

# valid_rel REL: a path below the prefix, or the prefix or a folder above.
valid_rel() {
    case $1 in
        . | .. | ../.. | ../../.. | ../../../.. | ../../../../..) return 0 ;;
        "" | /* | */ | *//* | ./* | */./* | */. | ../* | */../* | */..) return 1 ;;
    esac
    return 0
}

# read_manifest FILE: its lines into $entries; refuses a line it cannot
# take as a path under the prefix.
read_manifest() {
    [ -h "$1" ] && die "$1 is a symbolic link: refused"
    [ -f "$1" ] || die "$1 is not a plain file: refused"
    n=0
    while IFS= read -r line || [ -n "$line" ]; do
        n=$((n + 1))
        case $line in
            "" | "#"*) continue ;;
            "f /"* | "d /"*)
                kind=${line%% *} path=${line#? }
                rel=
                case $path in
                    "$prefix") rel=. ;;
                    "${prefix%/}"/?*) rel=${path#"${prefix%/}"/} ;;
                    *) if [ "$kind" = d ]; then
                           # A folder made above the prefix.
                           a=$prefix r=.
                           while [ "$a" != / ] && [ -z "$rel" ]; do
                               a=`dirname "$a"`
                               [ "$r" = . ] && r=.. || r=../$r
                               [ "$path" = "$a" ] && rel=$r
                           done
                       fi
                       [ -n "$rel" ] || die "$1 lists $path, which is not under $prefix: refused (nothing was removed)" ;;
                esac
                [ "$kind" = f ] && line="f - $rel" || line="d $rel" ;;
        esac
        case $line in
            "d "*) rel=${line#d } ;;
            "f "?*" "?* | "p "?*" "?*) rel=${line#? }; rel=${rel#* } ;;
            *) die "$1: line $n is not a MANIFEST line: refused (nothing was removed): $line" ;;
        esac
        valid_rel "$rel" || die "$1 lists $rel, which is not a path under $prefix: refused (nothing was removed)"
        add_entry "$line"
    done <"$1"
}

# add_entry LINE: adds LINE unless it is there.
add_entry() {
    case $nl$entries in
        *"$nl$1$nl"*) ;;
        *) entries=$entries$1$nl ;;
    esac
}
# drop_entries KIND REL: removes the KIND lines of REL.
drop_entries() {
    kept=
    while IFS= read -r line; do
        [ -n "$line" ] || continue
        case $line in
            "$1 $2" | "$1 "*" $2") ;;
            *) kept=$kept$line$nl ;;
        esac
    done <<EOF
$entries
EOF
    entries=$kept
}
# entry_hash KIND REL: the hash recorded for REL as $eh, empty if none.
entry_hash() {
    eh=
    while IFS= read -r line; do
        case $line in
            "$1 "*" $2") line=${line#? }; eh=${line%% *}; return 0 ;;
        esac
    done <<EOF
$entries
EOF
    return 0
}

# write_manifest: $entries to MANIFEST (or, while the folder for it is not
# made yet, to the lock's journal), under a new name and renamed, so that a
# kill leaves the old list or the new one.
write_manifest() {
    if [ -d "$share" ]; then
        to=$manifest
    else
        journal_dir
        to=$journal/MANIFEST
    fi
    if [ -e "$to.new" ] || [ -h "$to.new" ]; then
        rm -f "$to.new" || die "cannot remove $to.new"
    fi
    [ ! -d "$to" ] || [ -h "$to" ] || die "$to is a folder: refused"
    # (mode 644 by the umask)
    { echo "$header"; [ "$to" = "$manifest" ] || echo "# prefix: $prefix"; printf '%s' "$entries"; } >"$to.new" &&
        mv -f "$to.new" "$to" || die "cannot write $to"
    # Once MANIFEST is in its place, the journal has done its work.
    if [ "$to" = "$manifest" ]; then
        for j in "$journal" "$adopted_journal"; do
            [ -n "$j" ] && [ -d "$j" ] || continue
            rm -f "$j/MANIFEST" "$j/MANIFEST.new" && rmdir "$j" || die "cannot remove the journal $j"
        done
        journal= journal_used= adopted_journal=
    fi
}

# --- The lock -------------------------------------------------------------
# .labtools-labpc-install.lock, a file holding the process ID, in the prefix
# or in the nearest folder above it that exists: written whole in a folder
# of this run's own (.labtools-labpc-install.PID) and linked (ln, which
# fails where the name exists) to its place.  Beside it,
# while folders are made before the prefix's MANIFEST can be, the journal
# .labtools-labpc-install.d/MANIFEST.  A lock whose process is gone is left
# from a kill; its journal is taken over by the rerun for the same prefix.
lockname=.labtools-labpc-install.lock
journalname=.labtools-labpc-install.d
lock=
journal=
journal_used=
adopted_journal=
in_dir() { [ "$1" = / ] && echo "/$2" || echo "$1/$2"; }
lock_pid() {
    lp=
    [ -f "$1" ] && [ ! -h "$1" ] && read -r lp <"$1" 2>/dev/null
    case $lp in
        "" | *[!0-9]*) ;;
        *) echo "$lp" ;;
    esac
}
alive() { [ -n "$1" ] && [ "$1" != $$ ] && { kill -0 "$1" 2>/dev/null || [ -d "/proc/$1" ]; }; }

cleanup() {
    [ -z "${tmp:-}" ] || rm -f "$tmp"
    release_lock
}
release_lock() {
    if [ -n "$lock" ] && [ "`lock_pid "$lock"`" = $$ ]; then
        rm -f "$lock"
    fi
    lock=
}
trap cleanup EXIT
# A reader that goes away (SIGPIPE) ends the run as a failure, after the
# step whose line it missed, which MANIFEST already shows.
trap 'exit 1' HUP INT PIPE TERM

take_lock() {
    top=`existing "$prefix"`
    l=`in_dir "$top" $lockname`
    # Left by a run killed while it took its lock.
    for m in "$top"/.labtools-labpc-install.[0-9]*; do
        [ -d "$m" ] && [ ! -h "$m" ] && ! alive "${m##*.}" && is "$m" -user "$uid" || continue
        rm -f "$m/pid"
        rmdir "$m" 2>/dev/null
    done
    mine=`in_dir "$top" .labtools-labpc-install.$$`
    (umask 077 && mkdir "$mine") || die "cannot make $mine"
    echo $$ >"$mine/pid" || die "cannot write $mine/pid"
    if ! ln "$mine/pid" "$l" 2>/dev/null; then
        pid=`lock_pid "$l"`
        if alive "$pid"; then
            rm -f "$mine/pid"
            rmdir "$mine"
            die "another install.sh runs for this prefix (process $pid, lock $l): try again when it has ended"
        fi
        if [ -z "$pid" ]; then
            rm -f "$mine/pid"
            rmdir "$mine"
            die "$l is in the way (not a lock of install.sh): refused"
        fi
        rm -f "$l"
        ln "$mine/pid" "$l" 2>/dev/null || die "cannot take the lock $l"
    fi
    lock=$l
    rm -f "$mine/pid"
    rmdir "$mine"
    # A run that made the folders up to here holds its lock further up.
    a=$top
    while [ "$a" != / ]; do
        a=`dirname "$a"`
        l=`in_dir "$a" $lockname`
        if [ -e "$l" ] || [ -h "$l" ]; then
            pid=`lock_pid "$l"`
            alive "$pid" && die "another install.sh runs for this prefix (process $pid, lock $l): try again when it has ended"
            [ -z "$pid" ] || rm -f "$l"
        fi
    done
    # Journals left by a kill: those for this prefix are taken over.
    a=$top
    while :; do
        j=`in_dir "$a" $journalname`
        if [ -e "$j" ] || [ -h "$j" ]; then
            [ -h "$j" ] && die "$j is a symbolic link: refused"
            [ -d "$j" ] && is "$j" -user "$uid" || die "$j is not a journal of install.sh: refused"
            if [ -f "$j/MANIFEST" ] && [ "`sed -n 2p "$j/MANIFEST"`" = "# prefix: $prefix" ]; then
                adopted_journal=$j
            elif [ -f "$j/MANIFEST" ]; then
                die "an install into another prefix (`sed -n 's/^# prefix: //p' "$j/MANIFEST"`) was stopped: run it again first, or remove $j"
            else
                rmdir "$j" 2>/dev/null
            fi
        fi
        [ "$a" = / ] && break
        a=`dirname "$a"`
    done
}

# journal_dir: the lock's journal folder, made for this run (mode 700).
journal_dir() {
    [ -n "$journal_used" ] && return 0
    if [ -n "$adopted_journal" ]; then
        journal=$adopted_journal
    else
        journal=`in_dir "$top" $journalname`
        (umask 077 && mkdir "$journal") || die "cannot make $journal"
    fi
    journal_used=yes
}

# --- Uninstall --------------------------------------------------------------
# remove_entries: removes what $entries lists, files first, then folders
# (deepest first) as far as they are empty; rewrites MANIFEST after each
# step; sets $left to what stays.
remove_entries() {
    left=
    files=`printf '%s' "$entries" | sed -n 's/^f [^ ]* //p'`
    while IFS= read -r rel; do
        [ -n "$rel" ] || continue
        abs "$rel"; f=$absp
        entry_hash f "$rel"; want=$eh
        entry_hash p "$rel"; prev=$eh
        if [ ! -e "$f" ] && [ ! -h "$f" ]; then
            drop_entries f "$rel"; drop_entries p "$rel"; write_manifest
            echo "already gone: $f"
            continue
        fi
        if [ -h "$f" ] || [ ! -f "$f" ]; then
            echo "kept $f: it is no longer the file install.sh installed (now a link or not a plain file)"
            left="$left$f$nl"
            continue
        fi
        if [ "$force" = no ] && ! same_hash "$f" "$want" && { [ -z "$prev" ] || ! same_hash "$f" "$prev"; }; then
            if [ -z "$hasher" ]; then
                echo "kept $f: no md5sum here to tell whether it has changed (--force removes it)"
            else
                echo "kept $f: it has changed since it was installed (--force removes it)"
            fi
            left="$left$f$nl"
            continue
        fi
        if rm -f "$f" 2>/dev/null && [ ! -e "$f" ]; then
            drop_entries f "$rel"; drop_entries p "$rel"; write_manifest
            echo "removed $f"
        else
            echo "could not remove $f"
            left="$left$f$nl"
        fi
    done <<EOF
$files
EOF
    # The folders, deepest first; the one of MANIFEST and those above it
    # after MANIFEST itself.  While files stay, a folder that is not empty
    # stays listed (it may hold them).
    kept_files=$left
    dirs=`printf '%s' "$entries" | sed -n 's/^d //p' | sed -n '1!G;h;$p'`
    while IFS= read -r rel; do
        [ -n "$rel" ] || continue
        case $rel in
            "$share_rel" | share | . | .. | ../*) continue ;;
        esac
        remove_dir "$rel"
    done <<EOF
$dirs
EOF
    [ -z "$left" ] || return 0
    rm -f "$manifest" || { echo "could not remove $manifest"; left="$left$manifest$nl"; return 0; }
    # The prefix itself and what is above it are left once the lock (which
    # may be in the prefix) is gone.
    for rel in "$share_rel" share . .. ../.. ../../.. ../../../.. ../../../../..; do
        [ "$rel" = . ] && release_lock
        case $nl$entries in
            *"${nl}d $rel$nl"*) remove_dir "$rel" final ;;
        esac
    done
    # Folders that could not go: MANIFEST lists them again, where it can.
    [ -z "$left" ] || [ ! -d "$share" ] || write_manifest
}

# remove_dir REL [final]: removes the folder if it is empty.
remove_dir() {
    abs "$1"; d=$absp
    if [ ! -d "$d" ] || [ -h "$d" ]; then
        drop_entries d "$1"
        [ -n "${2:-}" ] || write_manifest
        return 0
    fi
    if rmdir "$d" 2>/dev/null; then
        drop_entries d "$1"
        [ -n "${2:-}" ] || write_manifest
        echo "removed $d/"
    elif [ -n "$kept_files" ] && [ -z "${2:-}" ] && has_entries "$d"; then
        return 0
    elif has_entries "$d"; then
        # Others' files in a folder the install made: it stays for them.
        drop_entries d "$1"
        [ -n "${2:-}" ] || write_manifest
        echo "kept $d/: other files are in it"
    else
        echo "could not remove $d/"
        left="$left$d/$nl"
    fi
}

if [ "$action" = uninstall ]; then
    [ -e "$manifest" ] || [ -h "$manifest" ] ||
        die "nothing of labtools-labpc is installed under $prefix (no $manifest)"
    [ -w "$share" ] || need_root "$share is not writable by you"
    check_paths
    take_lock
    read_manifest "$manifest"
    check_entries
    remove_entries
    if [ -n "$left" ]; then
        echo "$me: these stay, and $manifest lists them:" >&2
        printf '%s' "$left" | sed 's/^/  /' >&2
        exit 1
    fi
    exit 0
fi

# --- Install: every check first -------------------------------------------
# The archive's files and where each goes.
install_list="bin/psload bin/psload 755
bin/portpoke bin/portpoke 755
bin/rangectl bin/rangectl 755
man/psload.1 share/man/man1/psload.1 644
man/portpoke.1 share/man/man1/portpoke.1 644
man/rangectl.1 share/man/man1/rangectl.1 644
man/echorange.4 share/man/man4/echorange.4 644
README share/doc/labtools-labpc/README 644
VERSION share/doc/labtools-labpc/VERSION 644
man/psload.1.txt share/doc/labtools-labpc/psload.1.txt 644
man/portpoke.1.txt share/doc/labtools-labpc/portpoke.1.txt 644
man/rangectl.1.txt share/doc/labtools-labpc/rangectl.1.txt 644
man/echorange.4.txt share/doc/labtools-labpc/echorange.4.txt 644
module/echorange.cpp $share_rel/echorange/echorange.cpp 644
module/echorange.h $share_rel/echorange/echorange.h 644
module/uss.h $share_rel/echorange/uss.h 644
module/Makefile $share_rel/echorange/Makefile 644
module/prebuilt/echorange.o $share_rel/echorange/prebuilt/echorange.o 644"
# The prebuilt object is optional: an archive made without it installs the
# sources only.
[ -f "$here/module/prebuilt/echorange.o" ] || [ -h "$here/module/prebuilt/echorange.o" ] ||
    install_list=`echo "$install_list" | grep -v '^module/prebuilt/'`
sources=`echo "$install_list" | sed 's/ .*//'`

if [ -n "$group" ]; then
    need_root "--psload-group makes psload set-user-ID root"
fi
top=`existing "$prefix"`
[ -w "$top" ] || need_root "$top is not writable by you"

for f in $sources MD5SUMS install.sh; do
    [ -f "$here/$f" ] || die "$here/$f is missing: run this script from the unpacked archive"
done

# The group, by its exact name or number (as chgrp takes it).
if [ -n "$group" ]; then
    found=
    if [ -r /etc/group ]; then
        while IFS=: read -r g_name g_pw g_id g_rest || [ -n "$g_name" ]; do
            if [ "$g_name" = "$group" ] || [ "$g_id" = "$group" ]; then
                found=yes
                break
            fi
        done </etc/group
    fi
    if [ -z "$found" ] && command -v getent >/dev/null 2>&1 && getent group "$group" >/dev/null 2>&1; then
        found=yes
    fi
    [ -n "$found" ] || die "no group $group in /etc/group"
fi

# MD5SUMS: a whole line per file of the archive (every file but MD5SUMS and
# SHA256SUMS, nothing else, each once), and md5sum -c says OK to each.
sums=
if [ "$check" = yes ] && [ "$hasher" = md5sum ]; then
    m=$here/MD5SUMS
    [ -s "$m" ] || die "MD5SUMS is empty: copy the archive again"
    [ "`tail -c 1 "$m" | wc -l`" -eq 1 ] || die "MD5SUMS is cut short (its last line has no end): copy the archive again"
    bad=`grep -v -n '^[0-9a-f]\{32\} [ *][A-Za-z0-9._][A-Za-z0-9._/-]*$' "$m"`
    [ -z "$bad" ] || die "MD5SUMS has lines that are not checksum lines: copy the archive again$nl$bad"
    listed=`sed 's/^.\{32\} .//' "$m"`
    for f in $listed; do
        [ "`echo "$listed" | grep -c -x -F -e "$f"`" -eq 1 ] || die "MD5SUMS lists $f more than once: copy the archive again"
        case /$f/ in
            */../* | */./* | *//*) die "MD5SUMS lists $f, not a file of the archive: copy the archive again" ;;
        esac
        [ -f "$here/$f" ] && [ ! -h "$here/$f" ] || die "MD5SUMS lists $f, which the archive does not have: copy the archive again"
    done
    present=`cd "$here" && find . -type f ! -name MD5SUMS ! -name SHA256SUMS | sed 's:^\./::'`
    for f in $present; do
        echo "$listed" | grep -q -x -F -e "$f" || die "MD5SUMS does not list $f: copy the archive again"
    done
    out=`cd "$here" && md5sum -c MD5SUMS 2>&1`
    st=$?
    if [ $st -ne 0 ] || [ -n "`echo "$out" | grep -v ': OK$'`" ] ||
        [ "`echo "$out" | grep -c ': OK$'`" -ne "`echo "$listed" | grep -c .`" ]; then
        echo "$out" | grep -v ': OK$' >&2
        die "the files do not match MD5SUMS: copy the archive again"
    fi
    sums=`sed 's/^\(.\{32\}\) ./\1 /' "$m"`
    echo "checked the files against MD5SUMS"
elif [ "$check" = yes ]; then
    echo "no md5sum here: the files are not checked (see README)"
fi
[ -n "$hasher" ] || die "neither md5sum nor cksum is here to record what is installed"

# The folders, and the lock against a second run.
check_paths
take_lock

# An earlier install, and a journal of a stopped one: what they list is
# this install's own.
if [ -e "$manifest" ] || [ -h "$manifest" ]; then
    read_manifest "$manifest"
fi
[ -z "$adopted_journal" ] || read_manifest "$adopted_journal/MANIFEST"
check_entries

# What is in the way: a folder where a file goes, or a file (or link) that
# is not this install's own.
refused=
while read -r src rel mode; do
    abs "$rel"; dest=$absp
    if [ -d "$dest" ] && [ ! -h "$dest" ]; then
        refused="$refused$dest is a folder, where the file $src goes$nl"
        continue
    fi
    [ -e "$dest" ] || [ -h "$dest" ] || continue
    [ "$force" = yes ] && continue
    entry_hash f "$rel"; want=$eh
    entry_hash p "$rel"; prev=$eh
    if [ -z "$want" ]; then
        refused="$refused$dest is there, and an earlier install.sh did not put it there$nl"
    elif [ -h "$dest" ] || [ ! -f "$dest" ]; then
        refused="$refused$dest is not the file install.sh installed (now a link or not a plain file)$nl"
    elif ! same_hash "$dest" "$want" && { [ -z "$prev" ] || ! same_hash "$dest" "$prev"; }; then
        refused="$refused$dest has changed since install.sh installed it$nl"
    fi
done <<EOF
$install_list
EOF
[ -e "$manifest" ] && [ -d "$manifest" ] && refused="$refused$manifest is a folder$nl"
if [ -n "$refused" ]; then
    printf '%s' "$refused" | sed "s/^/$me: /" >&2
    die "refused, nothing changed (move those away, or --force to replace the files)"
fi

# --- Install: the changes ---------------------------------------------------
# The folders, each recorded before it is made.
need=
a=$prefix
r=.
while [ ! -d "$a" ]; do
    need="$r $need"
    a=`dirname "$a"`
    r=`[ "$r" = . ] && echo .. || echo "../$r"`
done
for d in $subdirs; do
    case $d in
        */prebuilt) echo "$install_list" | grep -q '/prebuilt/' || continue ;;
    esac
    need="$need $d"
done
for rel in $need; do
    abs "$rel"; d=$absp
    [ -d "$d" ] && continue
    add_entry "d $rel"
    write_manifest
    mkdir "$d" || die "cannot make $d"
    [ "$uid" -eq 0 ] && safe_dir "$d" in
done
write_manifest

# sum_of SRC: its MD5 sum in MD5SUMS, as $sumv.
sum_of() {
    sumv=
    while read -r s n; do
        [ "$n" = "$1" ] && { sumv=$s; return 0; }
    done <<EOF
$sums
EOF
}

# put SRC REL MODE: the archive's SRC as PREFIX/REL with MODE: copied under
# a new name in the folder, checked, given its mode (and for psload with a
# group its owner and group first, since chown clears set-user-ID), recorded,
# and renamed over what was there.
put() {
    abs "$2"; dest=$absp
    parent "$dest"
    tmp=$parentp/.${dest##*/}.labtools-new
    if [ -e "$tmp" ] || [ -h "$tmp" ]; then
        rm -f "$tmp" || die "cannot remove $tmp"
    fi
    cp "$here/$1" "$tmp" || die "cannot copy $1 to $tmp"
    h=`hash "$tmp"`
    if [ -n "$sums" ]; then
        sum_of "$1"
        want=$sumv
        [ "$h" = "$want" ] || die "$1 changed while it was installed (it no longer matches MD5SUMS)"
    fi
    [ -n "$h" ] || die "cannot compute the hash of $tmp"
    if [ "$3" = group ]; then
        chmod 700 "$tmp" && chown 0 "$tmp" && chgrp "$group" "$tmp" ||
            die "cannot give $tmp to root and group $group"
        chmod 4750 "$tmp" || die "cannot make $tmp set-user-ID"
    else
        chmod "$3" "$tmp" || die "cannot set mode $3 on $tmp"
    fi
    old=
    if [ -f "$dest" ] && [ ! -h "$dest" ]; then
        old=`hash "$dest"`
    fi
    drop_entries f "$2"
    drop_entries p "$2"
    add_entry "f $h $2"
    [ -z "$old" ] || [ "$old" = "$h" ] || add_entry "p $old $2"
    write_manifest
    if [ -h "$dest" ]; then
        rm -f "$dest" || die "cannot remove the link $dest"
    fi
    [ -d "$dest" ] && die "$dest is a folder, where the file $1 goes"
    mv -f "$tmp" "$dest" || die "cannot rename $tmp to $dest"
    tmp=
    if [ -n "$old" ] && [ "$old" != "$h" ]; then
        drop_entries p "$2"
        write_manifest
    fi
    if [ "$3" = group ]; then
        echo "installed $dest (4750, set-user-ID root, group $group)"
    else
        echo "installed $dest ($3)"
    fi
}

while read -r src rel mode; do
    [ "$src" = bin/psload ] && [ -n "$group" ] && mode=group
    put "$src" "$rel" "$mode"
done <<EOF
$install_list
EOF

# Files of the earlier install that this one has not: removed now.
new_rels=`echo "$install_list" | sed 's/^[^ ]* \(.*\) [^ ]*$/\1/'`
for rel in `printf '%s' "$entries" | sed -n 's/^f [^ ]* //p'`; do
    echo "$new_rels" | grep -q -x -F -e "$rel" && continue
    abs "$rel"; f=$absp
    entry_hash f "$rel"; want=$eh
    if [ ! -e "$f" ] && [ ! -h "$f" ]; then
        drop_entries f "$rel"
    elif [ -f "$f" ] && [ ! -h "$f" ] && same_hash "$f" "$want" && rm -f "$f"; then
        drop_entries f "$rel"
        echo "removed $f (not in this version)"
    else
        echo "kept $f of the earlier install: it has changed (MANIFEST still lists it)"
    fi
    drop_entries p "$rel"
done
write_manifest
echo "installed $manifest (for: sh $me --prefix $prefix --uninstall)"
exit 0
