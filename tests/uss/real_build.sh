#!/usr/bin/env bash
# Builds the module with uss/Makefile against the real platform headers
# (Linux 2.4.17 configured as the lab PC, RTLinux 3.2-pre3) and checks the
# object as check-freestanding.sh checks its own compile: exactly the
# platform's symbols, no C++ runtime, no _GLOBAL_OFFSET_TABLE_, no 64-bit
# division helper, no floating point, an echo handler that calls only the
# clock, the put and the mask, kernel_version=2.4.18-rtl3.1 in .modinfo.
# The compile must give no warning in the module's own files.
#
# rtl.mk is written from the platform's rtl.mk.in the way RTLinux's
# configuration writes it, into a scratch folder that also gets a copy of
# uss/; make runs in that copy.
#
# usage: real_build.sh [--probe SOURCE | --out OBJECT] PLATFORM_DIR USS_DIR [MAKE_ARGUMENT...]
#   PLATFORM_DIR  the folder holding linux-2.4.17/ and rtlinux-3.2-pre3/
#   MAKE_ARGUMENT added to make's command line (the tests use it to show
#                 what goes wrong without the Makefile's own flags)
#   --probe       instead of the module, only compiles SOURCE with the
#                 Makefile's compiler and flags (platform_agreement.cpp)
#   --out         keeps the object, once every check has passed, as OBJECT
#                 (the build's echorange_labpc: the object the lab PC
#                 builds, for loading into a real 2.4 kernel)
# Exit status 0 when the build and every check pass, 1 otherwise, 77 (skip)
# when the platform folder or a 32-bit C++ compiler is not there.
set -uo pipefail

probe=""
out=""
if [ "${1:-}" = "--probe" ] && [ $# -ge 2 ]; then
    probe="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
    shift 2
elif [ "${1:-}" = "--out" ] && [ $# -ge 2 ]; then
    out="$2"
    shift 2
fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--probe SOURCE | --out OBJECT] PLATFORM_DIR USS_DIR [MAKE_ARGUMENT...]" >&2
    exit 1
fi
platform="$1"
uss="$(cd "$2" && pwd)"
shift 2

rtl="$platform/rtlinux-3.2-pre3"
linux="$platform/linux-2.4.17"
if [ ! -f "$rtl/rtl.mk.in" ] || [ ! -d "$linux/include/linux" ]; then
    echo "SKIP: the lab PC's platform headers are not there ($platform: rtlinux-3.2-pre3/rtl.mk.in, linux-2.4.17/include)"
    exit 77
fi
rtl="$(cd "$rtl" && pwd)"
linux="$(cd "$linux" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if ! echo 'int x;' | g++ -m32 -x c++ -c - -o "$work/probe.o" 2>/dev/null; then
    echo "SKIP: g++ -m32 cannot compile here (no 32-bit x86 support in the compiler)"
    exit 77
fi

# rtl.mk as the configuration writes it: both trees by absolute path.
sed -e "s|@RTL_DIR@|$rtl|g" -e "s|@LINUX_DIR@|$linux|g" "$rtl/rtl.mk.in" >"$work/rtl.mk"
if grep -q '@[A-Z_]*@' "$work/rtl.mk"; then
    echo "FAILED: rtl.mk.in has placeholders left: $(grep -o '@[A-Z_]*@' "$work/rtl.mk" | sort -u | tr '\n' ' ')"
    exit 1
fi
mkdir "$work/uss"
cp "$uss"/echorange.cpp "$uss"/echorange.h "$uss"/uss.h "$uss"/Makefile "$work/uss/"

if [ -n "$probe" ]; then
    # The Makefile's compiler and flags, as make works them out.
    printf 'include Makefile\nprint-compile:\n\t@echo $(MODULE_CXX) $(MODULE_CXXFLAGS)\n' >"$work/uss/print.mk"
    compile=$(make -s -C "$work/uss" -f print.mk RTL_DIR="$work" print-compile) || exit 1
    echo "running: $compile -fsyntax-only $probe"
    if ! $compile -fsyntax-only "$probe"; then
        echo "FAILED: $(basename "$probe") does not compile against the real headers"
        exit 1
    fi
    echo "$(basename "$probe") compiles against the real headers"
    exit 0
fi

cmd=(make -C "$work/uss" RTL_DIR="$work" "$@")
echo "running: ${cmd[*]}"
"${cmd[@]}" >"$work/make.log" 2>&1
status=$?
sed 's/^/  | /' "$work/make.log"
if [ $status -ne 0 ]; then
    echo "FAILED: make ended with status $status"
    exit 1
fi

failed=0
own=$(grep -E '(^|/)(echorange\.cpp|echorange\.h|uss\.h):[0-9]+(:[0-9]+)?: (warning|error)' "$work/make.log")
if [ -n "$own" ]; then
    echo "FAILED: warnings in the module's own files:"
    echo "$own" | sed 's/^/    /'
    failed=1
fi
headers=$(grep -c ': warning:' "$work/make.log")
echo "warnings from the platform headers: $headers"

obj="$work/uss/echorange.o"
echo "undefined symbols of echorange.o:"
nm -u "$obj" | awk '{print "    " $NF}'
echo ".modinfo of echorange.o:"
readelf -p .modinfo "$obj" 2>/dev/null | sed -n 's/^ *\[ *[0-9a-f]*\] *//p' | sed 's/^/    /'

if ! bash "$uss/check-freestanding.sh" --symbols "$uss/platform-symbols.txt" --object "$obj"; then
    failed=1
fi
if [ $failed -eq 0 ] && [ -n "$out" ]; then
    mkdir -p "$(dirname "$out")" && cp "$obj" "$out.tmp" && mv "$out.tmp" "$out" || exit 1
    echo "kept as $out"
fi
exit $failed
