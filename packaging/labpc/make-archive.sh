#!/usr/bin/env bash
# Makes the archive for the lab PC (target labpc-release):
#
#   make-archive.sh OUT.tar.gz WORK VERSION SOURCE_DIR PSLOAD32 PORTPOKE32 RANGECTL32
#                   ECHORANGE_O MUSL_ROOT CXX STRIP [WHY_NO_MODULE]
#
# OUT.tar.gz unpacks to labtools-labpc-VERSION-i386/ (see README.in there).
# ECHORANGE_O "none": the build had no platform headers to compile the
# module against (WHY_NO_MODULE says why); the archive then has no
# module/prebuilt/, and its README and VERSION say so.
# The same sources and programs give the same bytes: names sorted, owner and
# group 0, every time stamp SOURCE_DATE_EPOCH (from the environment, else
# the time of the source commit), modes set here, gzip without name or time.
set -euo pipefail
export LC_ALL=C TZ=UTC

out=$1 work=$2 version=$3 src=$4 psload=$5 portpoke=$6 rangectl=$7 module_o=$8 musl=$9 cxx=${10} strip=${11}
why_no_module=${12:-}
prebuilt=yes
[ "$module_o" != none ] || prebuilt=no
here=$(cd "$(dirname "$0")" && pwd)
name=labtools-labpc-$version-i386
stage=$work/$name

# Where the source came from: the commit, and whether the files that go
# into the archive differ from it.
commit="unknown (not a git checkout)"
if git -C "$src" rev-parse --verify -q HEAD >/dev/null 2>&1; then
  commit=$(git -C "$src" rev-parse HEAD)
  if [ -n "$(git -C "$src" status --porcelain -- downloader porttool rangectl portio uss man packaging/labpc \
               cmake CMakeLists.txt 2>/dev/null)" ]; then
    commit="$commit, with uncommitted changes to the packaged sources"
  fi
  epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct HEAD)}
else
  epoch=${SOURCE_DATE_EPOCH:-0}
fi
case $epoch in '' | *[!0-9]*) echo "make-archive.sh: SOURCE_DATE_EPOCH is not a number: $epoch" >&2; exit 1 ;; esac

umask 022
rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/man" "$stage/module"

# The programs under their real names, without symbols.
"$strip" --strip-all -o "$stage/bin/psload" "$psload"
"$strip" --strip-all -o "$stage/bin/portpoke" "$portpoke"
"$strip" --strip-all -o "$stage/bin/rangectl" "$rangectl"
chmod 755 "$stage"/bin/*

# The module: sources to build on the lab PC, and the object built here
# (as it is: insmod needs its symbols).
for f in echorange.cpp echorange.h uss.h Makefile; do
  cp "$src/uss/$f" "$stage/module/$f"
done
if [ $prebuilt = yes ]; then
  mkdir "$stage/module/prebuilt"
  cp "$module_o" "$stage/module/prebuilt/echorange.o"
fi

# The manual pages as roff, and as plain text for a lab PC without man.
for p in psload.1 portpoke.1 rangectl.1 echorange.4; do
  cp "$src/man/$p" "$stage/man/$p"
  groff -t -man -Tascii -P-bcou "$src/man/$p" >"$stage/man/$p.txt" 2>"$work/groff.err"
  if [ -s "$work/groff.err" ]; then
    echo "make-archive.sh: groff on $p:" >&2
    cat "$work/groff.err" >&2
    exit 1
  fi
done

# README.in's blocks between "@IF_PREBUILT@" / "@IF_NO_PREBUILT@" and
# "@END@": the one that fits this archive.
sed -e "s/@VERSION@/$version/g" "$here/README.in" | awk -v prebuilt=$prebuilt '
  $0 == "@IF_PREBUILT@" { keep = (prebuilt == "yes"); inblock = 1; next }
  $0 == "@IF_NO_PREBUILT@" { keep = (prebuilt == "no"); inblock = 1; next }
  $0 == "@END@" { inblock = 0; next }
  !inblock || keep' >"$stage/README"
cp "$here/install.sh" "$stage/install.sh"
chmod 755 "$stage/install.sh"

musl_version=$(gzip -dc "$musl/usr/share/doc/musl-dev/changelog.Debian.gz" 2>/dev/null |
               sed -n '1s/^musl (\([^)]*\)).*/\1/p')
kernel_version=""
[ $prebuilt = no ] || kernel_version=$(strings -a "$module_o" | sed -n 's/^kernel_version=//p' | head -n 1)
{
  echo "labtools for the lab PC, version $version (i386)"
  echo "Source commit: $commit"
  echo "Build date: $(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC') (SOURCE_DATE_EPOCH=$epoch)"
  echo "Programs (bin/): static i386 ELF executables (i686 code: Pentium II or newer), stripped"
  echo "  compiler: $("$cxx" --version | head -n 1), -m32 -fno-pie -fno-exceptions -fno-rtti, no libstdc++"
  echo "  linker: $(ld --version | head -n 1), -static -no-pie"
  echo "  C library: musl ${musl_version%%-*} (Debian musl-dev:i386 ${musl_version:-unknown}), linked statically"
  if [ $prebuilt = yes ]; then
    echo "Module object (module/prebuilt/echorange.o): module/Makefile with $("$cxx" --version | head -n 1) -m32"
    echo "  against the headers of Linux 2.4.17 configured as the lab PC and of RTLinux 3.2-pre3,"
    echo "  checked symbol by symbol; kernel_version=${kernel_version:-missing}"
  else
    echo "Module object: not included (no module/prebuilt/echorange.o): ${why_no_module:-no platform headers}"
    echo "  build it from module/ on the lab PC (make RTL_DIR=...; see README, \"The module\")"
  fi
} >"$stage/VERSION"

# Checksums of every other file, by path from the archive's folder.
(
  cd "$stage"
  files=$(find . -type f ! -name SHA256SUMS ! -name MD5SUMS | sed 's|^\./||' | sort)
  # shellcheck disable=SC2086
  sha256sum $files >SHA256SUMS
  # shellcheck disable=SC2086
  md5sum $files >MD5SUMS
)
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f ! -perm -u+x -exec chmod 644 {} +

tar -C "$work" --sort=name --format=ustar --owner=0 --group=0 --numeric-owner \
    --mtime="@$epoch" -cf - "$name" | gzip -9n >"$out.tmp"
mv "$out.tmp" "$out"
echo "wrote $out"
