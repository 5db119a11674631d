#!/bin/sh
# Installs (or uninstalls) labtools on the lab PC from the unpacked archive.
# Plain POSIX sh: it runs under the shells of the lab PC's time (bash 2 as
# sh, ash, busybox sh, dash) and uses only cp, chmod, chown, mkdir, rm,
# rmdir, sed and id.
#
#   sh install.sh [--prefix DIR] [--psload-group GROUP] [--no-check]
#   sh install.sh [--prefix DIR] --uninstall
#
# What goes where (PREFIX default /usr/local):
#   PREFIX/bin/psload, portpoke, rangectl                 0755
#       with --psload-group GROUP: psload root:GROUP 4750, set-user-ID root,
#       runnable only by root and the members of GROUP
#   PREFIX/share/man/man1/{psload,portpoke,rangectl}.1, man4/echorange.4   0644
#   PREFIX/share/doc/labtools-labpc/: README, VERSION, the pages as text  0644
#   PREFIX/share/labtools-labpc/echorange/: the module's sources, Makefile
#       and prebuilt/echorange.o (where the archive has it)              0644
#   PREFIX/share/labtools-labpc/MANIFEST: every file installed and every
#       folder made, for --uninstall
# An earlier installation under the same prefix (its MANIFEST) is removed
# first.  Before installing, the files are checked against MD5SUMS when
# md5sum is there (--no-check skips it).
#
# Exit status: 0 done, 1 refused or failed (message on standard error),
# 2 wrong usage.

me=install.sh
prefix=/usr/local
group=
action=install
check=yes

usage() {
    echo "usage: sh $me [--prefix DIR] [--psload-group GROUP] [--no-check]" >&2
    echo "       sh $me [--prefix DIR] --uninstall" >&2
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
        --psload-group) [ $# -ge 2 ] || usage; group=$2; shift 2 ;;
        --psload-group=*) group=${1#--psload-group=}; shift ;;
        --uninstall) action=uninstall; shift ;;
        --no-check) check=no; shift ;;
        -h | --help) usage ;;
        *) echo "$me: unknown option: $1" >&2; usage ;;
    esac
done
case $prefix in
    /*) ;;
    *) echo "$me: the prefix must be an absolute path: $prefix" >&2; exit 2 ;;
esac
[ "$prefix" = / ] || prefix=`echo "$prefix" | sed 's:/*$::'`
case $group in
    *:* | *" "*) echo "$me: not a group name: $group" >&2; exit 2 ;;
esac
[ "$action" = uninstall ] && [ -n "$group" ] && usage

here=`dirname "$0"`
here=`cd "$here" && pwd` || die "cannot find the archive's folder"
uid=`id -u`
share=$prefix/share/labtools-labpc
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
if [ -n "$group" ]; then
    need_root "--psload-group makes psload set-user-ID root"
fi
top=`existing "$prefix"`
[ -w "$top" ] || need_root "$top is not writable by you"

# Removes what MANIFEST lists: the files, then the folders made for them,
# deepest first, as far as they are empty (other files stay, and so do
# their folders).
uninstall() {
    [ -f "$manifest" ] || die "nothing of labtools-labpc is installed under $prefix (no $manifest)"
    [ -w "$share" ] || need_root "$share is not writable by you"
    sed -n 's/^f //p' "$manifest" | while IFS= read -r f; do
        rm -f "$f" && echo "removed $f"
    done
    dirs=`sed -n 's/^d //p' "$manifest" | sed -n '1!G;h;$p'`
    rm -f "$manifest"
    echo "$dirs" | while IFS= read -r d; do
        [ -n "$d" ] && rmdir "$d" 2>/dev/null && echo "removed $d/"
    done
    return 0
}

if [ "$action" = uninstall ]; then
    uninstall
    exit 0
fi

for f in bin/psload bin/portpoke bin/rangectl MD5SUMS VERSION README; do
    [ -f "$here/$f" ] || die "$here/$f is missing: run this script from the unpacked archive"
done
if [ "$check" = yes ]; then
    if command -v md5sum >/dev/null 2>&1; then
        out=`cd "$here" && md5sum -c MD5SUMS 2>&1` || {
            echo "$out" | grep -v ': OK$' >&2
            die "the files do not match MD5SUMS: copy the archive again"
        }
        echo "checked the files against MD5SUMS"
    else
        echo "no md5sum here: the files are not checked (see README)"
    fi
fi
if [ -n "$group" ] && ! grep "^$group:" /etc/group >/dev/null 2>&1; then
    case $group in
        *[!0-9]*) die "no group $group in /etc/group" ;;
    esac
fi

[ -f "$manifest" ] && uninstall >/dev/null

# Makes DIR and the folders above it that are missing (mode 0755), adding
# each to $made.
made=
make_dirs() {
    path=
    saved_ifs=$IFS
    IFS=/
    set -f
    for part in $1; do
        [ -n "$part" ] || continue
        path=$path/$part
        if [ ! -d "$path" ]; then
            mkdir "$path" || die "cannot make $path"
            chmod 755 "$path"
            made="$made$path
"
        fi
    done
    set +f
    IFS=$saved_ifs
}

bindir=$prefix/bin
mandir=$prefix/share/man
docdir=$prefix/share/doc/labtools-labpc
moddir=$share/echorange
# The prebuilt module object is in the archive only where its build had the
# platform's headers.
prebuilt=$moddir
[ ! -f "$here/module/prebuilt/echorange.o" ] || prebuilt=$moddir/prebuilt
for d in "$bindir" "$mandir/man1" "$mandir/man4" "$docdir" "$prebuilt"; do
    make_dirs "$d"
done
umask 022
: >"$manifest" || die "cannot write $manifest"
chmod 644 "$manifest"
printf '%s' "$made" | sed -n 's/^./d &/p' >>"$manifest"

# put FILE DEST MODE: copies FILE of the archive to DEST (replacing it) with
# MODE and records it.
put() {
    rm -f "$2"
    cp "$here/$1" "$2" || die "cannot copy $1 to $2"
    echo "f $2" >>"$manifest"
    chmod "$3" "$2" || die "cannot set mode $3 on $2"
    echo "installed $2 ($3)"
}

if [ -n "$group" ]; then
    # The owner and group first: changing them clears the set-user-ID bit.
    rm -f "$bindir/psload"
    cp "$here/bin/psload" "$bindir/psload" || die "cannot copy bin/psload to $bindir/psload"
    echo "f $bindir/psload" >>"$manifest"
    chmod 700 "$bindir/psload"
    chown 0 "$bindir/psload" && chgrp "$group" "$bindir/psload" ||
        die "cannot give $bindir/psload to root and group $group"
    chmod 4750 "$bindir/psload" || die "cannot make $bindir/psload set-user-ID"
    echo "installed $bindir/psload (4750, set-user-ID root, group $group)"
else
    put bin/psload "$bindir/psload" 755
fi
put bin/portpoke "$bindir/portpoke" 755
put bin/rangectl "$bindir/rangectl" 755
for p in psload.1 portpoke.1 rangectl.1; do
    put "man/$p" "$mandir/man1/$p" 644
done
put man/echorange.4 "$mandir/man4/echorange.4" 644
for f in README VERSION man/psload.1.txt man/portpoke.1.txt man/rangectl.1.txt man/echorange.4.txt; do
    put "$f" "$docdir/`basename $f`" 644
done
for f in echorange.cpp echorange.h uss.h Makefile; do
    put "module/$f" "$moddir/$f" 644
done
[ "$prebuilt" = "$moddir" ] || put module/prebuilt/echorange.o "$moddir/prebuilt/echorange.o" 644
echo "installed $manifest (for: sh $me --prefix $prefix --uninstall)"
exit 0
