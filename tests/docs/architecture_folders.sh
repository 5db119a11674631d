#!/bin/sh
# Every folder ARCHITECTURE.md names exists in the source tree.  A folder is
# named as `some/path/` (back-quoted, with the trailing slash), from the top
# of the tree; the file says so in its code map.
#
#   architecture_folders.sh SOURCE_DIR
set -eu
top=$1
doc=$top/ARCHITECTURE.md
[ -f "$doc" ] || { echo "no $doc"; exit 1; }
names=$(grep -o '`[A-Za-z0-9_.][A-Za-z0-9_./-]*/`' "$doc" | tr -d '`' | sort -u)
[ -n "$names" ] || { echo "ARCHITECTURE.md names no folder (\`like/this/\`)"; exit 1; }
missing=0
count=0
for d in $names; do
  count=$((count + 1))
  if [ ! -d "$top/$d" ]; then
    echo "ARCHITECTURE.md names $d, which is not a folder of the tree"
    missing=$((missing + 1))
  fi
done
[ "$missing" = 0 ] || exit 1
echo "ARCHITECTURE.md: all $count folders it names exist"
