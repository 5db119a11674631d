#!/usr/bin/env bash
# The lab PC's archive from a build that has no platform folder, as on a
# fresh clone anywhere: a second build tree configured with
# LABTOOLS_PLATFORM_DIR at an empty folder must still give the target
# labpc-release, and its archive (no module/prebuilt/echorange.o; README and
# VERSION saying so) passes release_check.sh: built twice with the same
# bytes, its members, install.sh.
#
#   release_noplatform.sh SOURCE_DIR WORK_DIR BUSYBOX MISSING [CMAKE_ARGUMENT...]
# WORK_DIR is made anew (the build tree and the empty folder go there).
# MISSING non-empty: why the main build makes no archive (skip, 77).
# CMAKE_ARGUMENT: the main build's compilers, launcher and the musl and
# busybox it already fetched, so that nothing is downloaded again.
set -uo pipefail
src=$1 work=$2 busybox=$3 missing=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
[ -z "$missing" ] || { echo "SKIP: $missing"; exit 77; }

rm -rf "$work"
mkdir -p "$work/empty-platform"
if ! cmake -S "$src" -B "$work/build" -DLABTOOLS_PLATFORM_DIR="$work/empty-platform" \
       -DLABTOOLS_REQUIRE_PLATFORM=OFF -DLABTOOLS_BENCHMARKS=OFF "$@" >"$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  echo "FAIL: configuring with an empty platform folder"
  exit 1
fi
# What the configuration says of the archive.
line=$(grep "The lab PC's archive" "$work/configure.log")
echo "configure: $line"
case $line in
  *"-- The lab PC's archive (target labpc-release): without module/prebuilt/echorange.o, since the lab PC's platform headers are not in $work/empty-platform"*) ;;
  *) echo "FAIL: the configuration does not say that the archive has no prebuilt module object"; exit 1 ;;
esac
version=$(sed -n 's/^project(labtools VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
bash "$here/release_check.sh" "$work/build" "$work/build/labtools-labpc-$version-i386.tar.gz" "" "$busybox" ""
st=$?
[ $st = 0 ] && rm -rf "$work"
exit $st
