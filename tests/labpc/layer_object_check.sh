#!/usr/bin/env bash
# Checks rtl_layer.o (and other modules built the same way) as the 2.4.18
# kernel's insmod will see it, without booting anything:
#   - every undefined symbol is one the kernel exports (its __ksymtab in
#     System.map; references carry the kernel's symbol versions) or
#     __this_module, which insmod supplies: no __stack_chk_fail, no
#     _GLOBAL_OFFSET_TABLE_, no libgcc helpers (__udivdi3, ...);
#   - no section a 2.4 insmod cannot take or should not get
#     (.note.gnu.property, .eh_frame, COMDAT groups, TLS, .ctors);
#   - .modinfo has kernel_version=<the kernel's release>;
#   - with --exports SYMBOLS-FILE: every symbol the file lists (the echorange
#     module's platform symbols) is exported by the kernel or by the object,
#     and the object exports nothing the kernel already has.
#
# usage: layer_object_check.sh SYSTEM_MAP RELEASE OBJECT [--exports FILE]
# Exit status 0 when every check passes, 1 otherwise, 77 when SYSTEM_MAP or
# OBJECT is not there.
set -uo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 SYSTEM_MAP RELEASE OBJECT [--exports FILE]" >&2
    exit 1
fi
map=$1 release=$2 obj=$3
exports=""
[ "${4:-}" = "--exports" ] && exports=${5:-}
[ -f "$map" ] || { echo "SKIP: no System.map at $map (../shared/platform is absent)"; exit 77; }
[ -f "$obj" ] || { echo "SKIP: no object $obj (not built here)"; exit 77; }

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

kernel_exports=$(sed -n 's/^[0-9a-f]* R __ksymtab_//p' "$map" | sort -u)

while read -r sym; do
    [ "$sym" = "__this_module" ] && continue
    base=$(printf '%s\n' "$sym" | sed 's/_R[0-9a-f]\{8\}$//')
    if ! grep -qx -- "$base" <<<"$kernel_exports"; then
        fail "$(basename "$obj") needs $sym, which the kernel does not export"
    fi
done < <(nm -u "$obj" | awk '{print $NF}')

while read -r sec; do
    case "$sec" in
        .note.gnu.property | .eh_frame* | .group | .tbss* | .tdata* | .ctors* | .init_array* | .text.__x86*)
            fail "$(basename "$obj") has section $sec" ;;
    esac
done < <(readelf -SW "$obj" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\) .*/\1/p')

if ! readelf -p .modinfo "$obj" 2>/dev/null | grep -q "kernel_version=$release\$"; then
    fail "$(basename "$obj") has no kernel_version=$release in .modinfo"
fi

if [ -n "$exports" ]; then
    own=$(readelf -p .kstrtab "$obj" 2>/dev/null | sed -n 's/^ *\[ *[0-9a-f]*\] *//p' | sort -u)
    while read -r sym; do
        if ! grep -qx -- "$sym" <<<"$kernel_exports" && ! grep -qx -- "$sym" <<<"$own"; then
            fail "$sym is exported neither by the kernel nor by $(basename "$obj")"
        fi
    done < <(grep -v '^[[:space:]]*\(#\|$\)' "$exports" | awk '$1 != "__this_module" {print $1}')
    while read -r sym; do
        [ -n "$sym" ] || continue
        if grep -qx -- "$sym" <<<"$kernel_exports"; then
            fail "$(basename "$obj") exports $sym, which the kernel has already"
        fi
    done <<<"$own"
    echo "exported by $(basename "$obj"): $(tr '\n' ' ' <<<"$own")"
fi

if [ $failures -gt 0 ]; then
    exit 1
fi
echo "$(basename "$obj"): $(nm -u "$obj" | wc -l) undefined symbols, all exported by the kernel (or insmod's __this_module); kernel_version=$release"
exit 0
