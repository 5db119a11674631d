#!/usr/bin/env bash
# Every file of the platform folder matches the manifest
# (tools/platform/platform.hash), and the folder holds no file the manifest
# does not name: `tools/get-platform --check`.  Skipped (77) where the folder
# holds none of the platform's four parts (absent, or empty).
#
#   platform_manifest.sh SOURCE_DIR PLATFORM_DIR
set -uo pipefail
src=$1 platform=$2
found=0
for part in linux-2.4-kernel linux-2.4.17 linux-2.4.18-rh rtlinux-3.2-pre3; do
  [ -e "$platform/$part" ] && found=1
done
if [ $found = 0 ]; then
  echo "SKIP: no platform folder at $platform (none of linux-2.4-kernel, linux-2.4.17, linux-2.4.18-rh, rtlinux-3.2-pre3)"
  exit 77
fi
echo "README.md, the folder's description, is not platform material: the manifest leaves it out"
exec "$src/tools/get-platform" --check "$platform"
