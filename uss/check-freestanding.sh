#!/usr/bin/env bash
# Stands in for the real target (RTLinux 3.1 on Linux 2.4.18, i386), which is
# not available here: compiles a module source for 32-bit x86 the way a
# kernel module is compiled - freestanding, no exceptions, no RTTI, no
# standard headers, no floating-point registers - against the declarations
# of the platform interface in bench/rtlinux/include, and inspects the
# object:
#   - its undefined symbols are exactly the platform entry points listed in
#     platform-symbols.txt: no C++ runtime (operator new, __cxa_*,
#     personality routines, typeinfo), no libgcc helpers (__udivdi3 and
#     friends: a 2.4 kernel does not export them, 64-by-32 division goes
#     through do_div; soft-float routines);
#   - the entry points and everything the platform calls are defined with C
#     names; no static constructors or destructors, no exception tables, no
#     COMDAT groups or TLS;
#   - no x87/SSE/MMX instruction anywhere (the build also uses
#     -mno-80387 -mgeneral-regs-only, so floating point in the source turns
#     into libgcc calls, which the symbol check rejects);
#   - the echo handler intr_handler calls nothing but the clock, the FIFO
#     put and the interrupt mask (it must not block or allocate);
#   - .modinfo carries kernel_version=2.4.18-rtl3.1.
#
# With --object, the same checks are made on an object built elsewhere (the
# module built by uss/Makefile against the real platform headers) instead
# of compiling SOURCE.  Its flags are not ours, so unwind data alone
# (.eh_frame, which today's compilers emit by default and insmod loads as
# plain data) is let through there; exception tables are not, and a
# personality routine would show as an undefined symbol.
#
# usage: check-freestanding.sh [--cxx COMPILER] [--include DIR]
#                              [--symbols FILE] SOURCE
#        check-freestanding.sh [--symbols FILE] --object OBJECT
# Exit status 0 when every check passes, 1 (with the reasons) otherwise.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
cxx=g++
include="$here/../bench/rtlinux/include"
symbols="$here/platform-symbols.txt"
source=""
object=""
usage="usage: $0 [--cxx COMPILER] [--include DIR] [--symbols FILE] SOURCE | --object OBJECT"
while [ $# -gt 0 ]; do
    case "$1" in
        --cxx) cxx="$2"; shift 2 ;;
        --include) include="$2"; shift 2 ;;
        --symbols) symbols="$2"; shift 2 ;;
        --object) object="$2"; shift 2 ;;
        -*) echo "$usage" >&2; exit 1 ;;
        *) source="$1"; shift ;;
    esac
done
if [ -z "$source" ] && [ -z "$object" ]; then
    echo "$usage" >&2
    exit 1
fi

name="$(basename "${object:-$source}")"
failures=()
fail() { failures+=("$1"); }

tools=(nm objdump readelf)
[ -n "$object" ] || tools+=("$cxx")
for tool in "${tools[@]}"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "freestanding check FAILED: $tool not found (binutils and g++ are needed)"
        exit 1
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
obj="$work/module.o"

# What a 2.4 module build does with C++, plus what keeps the object free of
# anything the kernel cannot resolve.
flags=(
    -m32 -march=i586 -O2
    -ffreestanding -nostdinc -nostdinc++
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-pic -fno-pie -fno-stack-protector -fcf-protection=none
    -mno-80387 -mgeneral-regs-only -mpreferred-stack-boundary=2
    -D__KERNEL__ -DMODULE
    -Wall -Wextra -Werror
    -I "$include" -I "$here" -I "$(dirname "$source")"
)
if [ -n "$object" ]; then
    if ! cp "$object" "$obj" 2>/dev/null; then
        echo "freestanding check FAILED: no object $object"
        exit 1
    fi
elif ! "$cxx" "${flags[@]}" -c "$source" -o "$obj" 2>"$work/cc.log"; then
    echo "freestanding check FAILED: $name does not compile as an i386 kernel module:"
    sed 's/^/    /' "$work/cc.log"
    exit 1
fi

# --- undefined symbols ------------------------------------------------------
nm -u "$obj" | awk '{print $NF}' | sort -u >"$work/undefined"
grep -v '^[[:space:]]*\(#\|$\)' "$symbols" | awk '{print $1}' | sort -u >"$work/expected"

while read -r sym; do
    case "$sym" in
        __divdi3|__udivdi3|__moddi3|__umoddi3|__udivmoddi4|__divmoddi4)
            fail "64-bit division helper $sym: a 2.4 kernel does not export libgcc's helpers; divide 64 by 32 bits with do_div" ;;
        _Z*|__cxa_*|__gxx_*|_Unwind_*|__dso_handle)
            fail "C++ runtime symbol $sym: the kernel has no C++ runtime (new/delete, exceptions, RTTI, static constructors, guards)" ;;
        __stack_chk_*|_GLOBAL_OFFSET_TABLE_|__x86.get_pc_thunk*)
            fail "toolchain symbol $sym: a 2.4 module has no stack protector and no PIC" ;;
        *)
            if [[ "$sym" =~ ^__[a-z]+(sf|df|xf|tf)[0-9a-z]*$ ]]; then
                fail "floating-point helper $sym: floating point is used (the module must not touch the FPU)"
            else
                fail "undefined symbol $sym is not a platform entry point the module is meant to use"
            fi ;;
    esac
done < <(comm -23 "$work/undefined" "$work/expected")

while read -r sym; do
    fail "platform entry point $sym is not used: a platform call went missing, or $(basename "$symbols") is out of date"
done < <(comm -13 "$work/undefined" "$work/expected")

# --- defined symbols: C linkage for what the platform calls ------------------
nm -g --defined-only "$obj" | awk '{print $NF}' | sort -u >"$work/defined"
for entry in init_module cleanup_module; do
    grep -qx "$entry" "$work/defined" || fail "entry point $entry is not defined with C linkage"
done
while read -r sym; do
    fail "global symbol $sym has C++ linkage: entry points and routines the platform calls need extern \"C\""
done < <(grep '^_Z' "$work/defined")

# --- sections -----------------------------------------------------------------
readelf -SW "$obj" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\) .*/\1/p' >"$work/sections"
while read -r sec; do
    case "$sec" in
        .ctors*|.dtors*|.init_array*|.fini_array*|.preinit_array*)
            fail "section $sec: static constructors/destructors, which insmod never runs" ;;
        .gcc_except_table*)
            fail "section $sec: exception tables" ;;
        .eh_frame*)
            [ -n "$object" ] || fail "section $sec: unwind tables" ;;
        .group|.tbss*|.tdata*|.text.__x86*)
            fail "section $sec: COMDAT groups, TLS or PIC thunks are not for a 2.4 module" ;;
    esac
done <"$work/sections"
if ! readelf -p .modinfo "$obj" 2>/dev/null | grep -q 'kernel_version=2\.4\.18-rtl3\.1'; then
    fail "the .modinfo section lacks kernel_version=2.4.18-rtl3.1"
fi

# --- no floating-point, MMX or SSE instructions ------------------------------
objdump -d --no-show-raw-insn "$obj" >"$work/disasm"
awk -F'\t' '/^ +[0-9a-f]+:\t/ { split($2, w, " "); if (w[1] ~ /^f/ || $2 ~ /%(st|mm[0-7]|xmm|ymm)/) print "    " $0 }' \
    "$work/disasm" >"$work/fpu"
if [ -s "$work/fpu" ]; then
    fail "floating-point/MMX/SSE instructions in the object:$(printf '\n'; head -5 "$work/fpu")"
fi

# --- the echo handler calls only the clock, the put and the mask -------------
objdump -dr --no-show-raw-insn "$obj" | awk '
    /^[0-9a-f]+ <intr_handler>:/ { inside = 1; next }
    /^[0-9a-f]+ <.*>:/ { inside = 0 }
    inside && /R_386_(PC32|PLT32)/ { print $NF }' | sort -u >"$work/handler_calls"
if grep -q . "$work/disasm" && ! grep -q '<intr_handler>:' "$work/disasm"; then
    fail "no intr_handler in the object"
fi
while read -r callee; do
    case "$callee" in
        gethrtime|rtf_put|rtl_hard_disable_irq|distance_mm) ;;
        *) fail "intr_handler calls $callee: the echo handler may only read the clock, put on RT-FIFO 2 and mask IRQ 11" ;;
    esac
done <"$work/handler_calls"

if [ -z "$(readelf -h "$obj" 2>/dev/null | grep 'Machine:.*80386')" ]; then
    fail "not an i386 object"
fi
if [ ${#failures[@]} -gt 0 ]; then
    echo "freestanding check FAILED for $name (i386, as a Linux 2.4 module):"
    for f in "${failures[@]}"; do
        echo "  - $f"
    done
    exit 1
fi

echo "freestanding check passed for $name (i386, as a Linux 2.4 module):"
echo "  $(wc -l <"$work/undefined") undefined symbols, exactly the platform entry points of $(basename "$symbols")"
echo "  no C++ runtime, no 64-bit division helpers, no floating point, no static constructors"
echo "  intr_handler calls only: $(tr '\n' ' ' <"$work/handler_calls")"
exit 0
