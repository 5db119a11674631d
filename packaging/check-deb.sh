#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree and checks it:
# control fields, the file list, that its dependencies are met on this
# machine, and, from a copy extracted to a scratch root (never installed
# into the system), that the programs run and the manual pages render
# cleanly; the licence and changelog files; and lintian's verdict where
# lintian is installed (an error fails the check).
#
#   check-deb.sh BUILD_DIR EXPECTED_FILES WORK_DIR
#
# EXPECTED_FILES holds one "KIND PATH" line per file the package must carry
# (KIND: bin, exec (a program outside bin/), lib, man or data; PATH relative
# to the install prefix).
# Exit status: 0 all checks passed, 1 a check failed, 77 tools missing.
set -uo pipefail

build=$1
expected=$2
work=$3

for tool in cpack dpkg-deb dpkg-query dpkg; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool not found"
    exit 77
  fi
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work"

# --- build the package --------------------------------------------------------
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
shopt -s nullglob
debs=("$work"/out/*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
  cat "$work/cpack.log"
  echo "FAIL: expected one .deb, found ${#debs[@]}"
  exit 1
fi
deb=${debs[0]}
ok "cpack built $(basename "$deb")"

# --- control fields -----------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
arch=$(dpkg --print-architecture)
[ "$(field Package)" = labtools ] || fail "Package is '$(field Package)', not labtools"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[ -n "$(field Version)" ] || fail "no Version"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[ -n "$(field Description)" ] || fail "no Description"
[[ "$(field Suggests)" == *libcap2-bin* ]] || fail "Suggests '$(field Suggests)' does not name libcap2-bin (setcap)"
depends=$(field Depends)
[[ "$depends" == *libc6* ]] || fail "Depends '$depends' does not name libc6"
[ "$(basename "$deb")" = "labtools_$(field Version)_$arch.deb" ] || fail "file name $(basename "$deb")"
ok "control: $(field Package) $(field Version) $(field Architecture), Depends: $depends"

# Every dependency must be met by what is installed here (a Debian 12
# machine), so that dpkg -i would accept the package.
IFS=',' read -ra deps <<<"$depends"
for dep in "${deps[@]}"; do
  met=0
  IFS='|' read -ra alts <<<"$dep"
  for alt in "${alts[@]}"; do
    if [[ "$alt" =~ ^[[:space:]]*([a-z0-9][a-z0-9.+-]*)(:[a-z0-9]+)?[[:space:]]*(\((<<|<=|=|>=|>>)[[:space:]]*([^\)[:space:]]+)\))?[[:space:]]*$ ]]; then
      name=${BASH_REMATCH[1]}
      op=${BASH_REMATCH[4]}
      ver=${BASH_REMATCH[5]}
      have=$(dpkg-query -W -f='${Status} ${Version}\n' "$name" 2>/dev/null | awk '$3 == "installed" { print $4; exit }')
      if [ -n "$have" ]; then
        if [ -z "$op" ]; then
          met=1
        else
          case $op in '<<') dop=lt ;; '<=') dop=le ;; '=') dop=eq ;; '>=') dop=ge ;; '>>') dop=gt ;; esac
          dpkg --compare-versions "$have" "$dop" "$ver" && met=1
        fi
      fi
    else
      fail "cannot read dependency '$alt'"
    fi
  done
  [ $met = 1 ] || fail "dependency '$dep' is not met on this machine"
done

# --- file list ----------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents.txt" || fail "dpkg-deb -c"
prefix=/usr
declare -A listed=()
while read -r mode owner _size _date _time path _rest; do
  listed["${path#.}"]="$mode $owner"
done <"$work/contents.txt"

declare -A want_bin=()
while read -r kind path; do
  [ -n "$kind" ] || continue
  entry=${listed["$prefix/$path"]:-}
  if [ -z "$entry" ]; then
    fail "package lacks $prefix/$path"
    continue
  fi
  set -- $entry
  case $kind in
    bin|exec)
      [ $kind = bin ] && want_bin["$prefix/$path"]=1
      [ "$1" = -rwxr-xr-x ] || fail "$prefix/$path has mode $1"
      ;;
    man|data|lib)
      [ "$1" = -rw-r--r-- ] || fail "$prefix/$path has mode $1"
      ;;
  esac
  [ "$2" = root/root ] || fail "$prefix/$path is owned by $2"
done <"$expected"
# Nothing but the expected programs in bin/ (no 32-bit builds, no test programs).
for path in "${!listed[@]}"; do
  case $path in
    "$prefix"/bin/?*) [ -n "${want_bin[$path]:-}" ] || fail "unexpected program $path" ;;
  esac
done
ok "dpkg-deb -c: $(grep -c '^-' "$work/contents.txt") files"

# cmake --install puts the same files in place as the package.
if cmake --install "$build" --prefix "$work/stage$prefix" >"$work/install.log" 2>&1; then
  (cd "$work/stage" && find . -type f | sed 's/^\.//' | sort) >"$work/installed.txt"
  for path in "${!listed[@]}"; do
    [[ ${listed[$path]} == -* ]] && echo "$path"
  done | sort >"$work/packaged.txt"
  if ! diff -u "$work/installed.txt" "$work/packaged.txt" >"$work/install.diff"; then
    cat "$work/install.diff"
    fail "cmake --install and the package differ"
  fi
else
  cat "$work/install.log"
  fail "cmake --install"
fi

# --- extract and run ----------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
bin=$root$prefix/bin

# run NAME ARGS...: runs a program with stdin from /dev/null; sets out, err, rc.
run() {
  "$@" </dev/null >"$work/out.txt" 2>"$work/err.txt"
  rc=$?
  out=$(cat "$work/out.txt")
  err=$(cat "$work/err.txt")
}

if [ -n "${want_bin[$prefix/bin/psload]:-}" ]; then
  psload=$bin/psload
  # A 64-bit program on a 64-bit machine: ELF class byte 2.
  if [ "$arch" = amd64 ]; then
    class=$(od -An -tu1 -j4 -N1 "$psload" | tr -d ' ')
    [ "$class" = 2 ] || fail "psload is not a 64-bit ELF program (class $class)"
  fi

  run "$psload" -h
  cat >"$work/help.expected" <<EOF
(Help) Usage is $psload [options] input_file
 Options:
    -v              Verbose (Default: Off)
                      Display information of download process.
    -b              Display progress bar (Default: Off)
                      Can you see download process.
    -p <number>     Parallel port base address (Default: 0 (0x378))
                      0: 0x378
                      1: 0x278
                      2: 0x3BC
    -d <number>     Dummy port address (Default: 0 (0x80))
                      0: 0x80
                      Nothing more yet.
    -w <value>      Wait loop counts of DCLK (Default: 0)
                      Waiting time rise AND down of DCLK.
                      Count 1 is about 1usec.
    -mf <number>    File read mode (Default: 0 (File to memory))
                      0: File -> Memory -> Parallel port
                      1: File -> Parallel port
    -md <number>    Port access mode(Default: 0 (Direct access))
                      0: Direct access I/O port
                      1: Use lp driver to access I/O port
                      **Caution** Number 1 is *not* imprimented yet.
    -h              Print this message
 Example :
    $psload -v -b -p 2 -w 10 -mf 1 hogehoge.ttf
EOF
  lines=$(wc -l <"$work/err.txt")
  first=$(head -n1 "$work/err.txt")
  [ "$rc" = 8 ] || fail "psload -h: exit status $rc, not 8"
  [ -z "$out" ] || fail "psload -h wrote to standard output: $out"
  [ "$lines" = 26 ] || fail "psload -h: $lines lines on standard error, not 26"
  [ "$first" = "(Help) Usage is $psload [options] input_file" ] || fail "psload -h: first line '$first'"
  if diff -u "$work/help.expected" "$work/err.txt" >"$work/help.diff"; then
    ok "extracted psload -h: 26 lines on stderr, status 8"
  else
    cat "$work/help.diff"
    fail "psload -h text differs"
  fi
  # The help text and the manual page name the same options.
  helpopts=$(sed -n 's/^    \(-[a-z]*\) .*/\1/p' "$work/err.txt")
  [ -n "$helpopts" ] || fail "no options found in the help text"
  echo "$helpopts" >"$work/help-options.txt"

  run "$psload"
  [ "$rc" = 8 ] || fail "psload without arguments: status $rc, not 8"
  [ "$(wc -l <"$work/err.txt")" = 10 ] || fail "psload without arguments: $(wc -l <"$work/err.txt") usage lines, not 10"
  [ "$(head -n1 "$work/err.txt")" = "Usage is $psload [options] input_file" ] || fail "usage first line '$(head -n1 "$work/err.txt")'"

  # An unopenable data file ends before any port is touched.
  run "$psload" "$work/no-such.ttf"
  [ "$rc" = 8 ] && [ "$err" = "Error: Can't open $work/no-such.ttf for reading" ] ||
    fail "psload with a missing file: status $rc, stderr '$err'"
  ok "extracted psload: usage text and missing file"
fi

if [ -n "${want_bin[$prefix/bin/portpoke]:-}" ]; then
  # Only command lines that end before any port permission is asked for.
  run "$bin/portpoke"
  [ "$rc" = 255 ] && [ -z "$out$err" ] || fail "portpoke without arguments: status $rc, output '$out$err'"
  run "$bin/portpoke" x 378
  [ "$rc" = 255 ] && [ "$out" = "First argument must be 'r' or 'w'." ] && [ -z "$err" ] ||
    fail "portpoke x 378: status $rc, stdout '$out', stderr '$err'"
  ok "extracted portpoke: refusals"
fi

# The simulators, on the sample configuration the package carries.
sample=$root$prefix/share/doc/labtools/examples/sample.ttf
if [ -n "${want_bin[$prefix/bin/psload-sim]:-}" ] && [ -f "$sample" ]; then
  run "$bin/psload-sim" --sim-report="$work/sim-report.txt" -v "$sample"
  if [ "$rc" = 0 ] && [ -z "$err" ] && [[ "$out" == *$'\nDownload Success.\n'* ]] &&
     grep -qx 'device_state user-mode' "$work/sim-report.txt" &&
     [ "$(sed -n 's/^expected_bits //p' "$work/sim-report.txt")" = "$(sed -n 's/^received_bits //p' "$work/sim-report.txt")" ]; then
    ok "extracted psload-sim configures the simulated FPGA from the packaged sample.ttf"
  else
    echo "$out"; echo "$err"; cat "$work/sim-report.txt" 2>/dev/null
    fail "psload-sim -v sample.ttf: status $rc"
  fi
fi
if [ -n "${want_bin[$prefix/bin/portpoke-sim]:-}" ]; then
  run "$bin/portpoke-sim" --sim-set=378=12ab r 378
  [ "$rc" = 0 ] && [ "$out" = 12AB ] && [ -z "$err" ] ||
    fail "portpoke-sim --sim-set=378=12ab r 378: status $rc, stdout '$out', stderr '$err'"
  ok "extracted portpoke-sim reads a simulated register"
fi

if [ -n "${want_bin[$prefix/bin/ttfgen]:-}" ]; then
  run "$bin/ttfgen" --version
  version_line=$out
  want="^ttfgen \\(labtools\\) $(field Version), source commit ([0-9a-f]+(-modified)?|unknown)\$"
  [ "$rc" = 0 ] && [[ "$version_line" =~ $want ]] || fail "ttfgen --version: status $rc, stdout '$out'"
  run "$bin/ttfgen" -n 95
  [ "$rc" = 0 ] && [ "$(printf '%s\n' "$out" | wc -l)" = 2 ] && [ "$(printf '%s' "$out" | tr -cd , | wc -c)" = 94 ] ||
    fail "ttfgen -n 95: status $rc, not two lines of 95 values"
  ok "extracted ttfgen: $version_line; -n 95 writes 92 + 3 values"
fi

if [ -n "${want_bin[$prefix/bin/echorange-sim]:-}" ]; then
  scenario=$root$prefix/share/doc/labtools/examples/echorange.scenario
  if [ -f "$scenario" ]; then
    run "$bin/echorange-sim" "$scenario"
    # The run loads the module, reads values from /dev/rtf2 and ends with
    # the kernel log and the summary.
    if [ "$rc" = 0 ] && [ -z "$err" ] && grep -q '^0\.000000000 # insmod: 0$' "$work/out.txt" &&
       grep -Eq '^[0-9]+\.[0-9]{9} -?[0-9]+$' "$work/out.txt" && grep -q '^--- kernel log ---$' "$work/out.txt"; then
      ok "extracted echorange-sim runs the packaged echorange.scenario"
    else
      echo "$out"; echo "$err"
      fail "echorange-sim echorange.scenario: status $rc"
    fi
  fi
  # It must load the module object from the package, not one left in a
  # build tree (the dynamic loader names every object it opens).
  printf 'duration 1ms\n' >"$work/short.scenario"
  LD_DEBUG=files "$bin/echorange-sim" "$work/short.scenario" </dev/null >/dev/null 2>"$work/ld.txt"
  module=$(grep -o 'file=[^ ]*echorange[^ ]*\.so' "$work/ld.txt" | head -n1)
  module=${module#file=}
  [ -n "$module" ] && module=$(readlink -f "$module")
  packaged_module=$(awk '$1 == "lib" { print $2; exit }' "$expected")
  if [ -n "$packaged_module" ] && [ "$module" = "$(readlink -f "$root$prefix")/$packaged_module" ]; then
    ok "extracted echorange-sim loads the packaged module"
  else
    fail "echorange-sim loaded '$module', not the packaged module"
  fi
fi

if [ -n "${want_bin[$prefix/bin/rangectl]:-}" ]; then
  run "$bin/rangectl" --fifo-dir "$work/no-such-dir" shot 1
  [ "$rc" = 3 ] && [ -z "$out" ] && [[ "$err" == *"$work/no-such-dir/rtf2: no such FIFO"* ]] ||
    fail "rangectl with missing FIFOs: status $rc, stdout '$out', stderr '$err'"
  run "$bin/rangectl" watch 1 0
  [ "$rc" = 2 ] && [[ "$err" == *"usage: rangectl"* ]] || fail "rangectl watch 1 0: status $rc, stderr '$err'"
  ok "extracted rangectl: refusals"
  # Against the packaged module, served by the packaged echorange-sim.
  served=$root$prefix/share/doc/labtools/examples/rangefinder.scenario
  if [ -n "${want_bin[$prefix/bin/echorange-sim]:-}" ] && [ -f "$served" ]; then
    "$bin/echorange-sim" --serve "$work/rf" --speed 20 "$served" </dev/null >"$work/serve.log" 2>&1 &
    server=$!
    for _ in $(seq 100); do
      grep -q '# serving' "$work/serve.log" && break
      sleep 0.05
    done
    run "$bin/rangectl" --fifo-dir "$work/rf" shot 1 -t 2000
    kill -TERM $server
    wait $server
    src=$?
    if [ "$rc" = 0 ] && [ "$out" = 1500 ] && [ $src = 0 ] && grep -q '# write 1 1 0$' "$work/serve.log"; then
      ok "extracted rangectl fires a shot on the module served by the extracted echorange-sim"
    else
      cat "$work/serve.log"
      fail "rangectl shot 1 against echorange-sim --serve: status $rc, stdout '$out', stderr '$err', server status $src"
    fi
  fi
fi

# --- manual pages -------------------------------------------------------------
if command -v man >/dev/null; then
  render() { MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$1"; }
elif command -v groff >/dev/null; then
  render() { zcat -f "$1" | groff -t -man -Tutf8 -ww -rLL=80n; }
else
  render=""
  echo "note: neither man nor groff found; manual pages not rendered"
fi
while read -r kind path; do
  [ "$kind" = man ] || continue
  page=$root$prefix/$path
  [ -f "$page" ] || continue
  name=$(basename "$path"); name=${name%.gz}
  if declare -F render >/dev/null; then
    render "$page" >"$work/page.txt" 2>"$work/page.err"
    prc=$?
    if [ $prc -ne 0 ] || [ -s "$work/page.err" ]; then
      cat "$work/page.err"
      fail "$name does not render cleanly (status $prc)"
      continue
    fi
    grep -q '^NAME' "$work/page.txt" && grep -q '^SYNOPSIS' "$work/page.txt" ||
      fail "$name has no NAME or SYNOPSIS section"
    if [ "$name" = psload.1 ] && [ -f "$work/help-options.txt" ]; then
      # Each option of the help text has its own entry under OPTIONS: a tag
      # line holding the option and its placeholder, or the option and then
      # the description.
      sed -n '/^OPTIONS/,/^[A-Z]/p' "$work/page.txt" >"$work/page-options.txt"
      while read -r opt; do
        grep -Eq -- "^       $opt( [a-z_]+\$| {2,}[^ ])" "$work/page-options.txt" ||
          fail "psload(1) has no entry for option $opt under OPTIONS"
      done <"$work/help-options.txt"
    fi
  fi
  if command -v lexgrog >/dev/null; then
    lexgrog "$page" >/dev/null 2>&1 || fail "$name: lexgrog cannot read its NAME line"
  fi
  ok "$name renders without warnings"
done <"$expected"

# --- licence and changelog ---------------------------------------------------
doc=$root$prefix/share/doc/labtools
if [ -f "$doc/copyright" ]; then
  head -n1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in the machine-readable format"
  grep -q '^License: GPL-2+$' "$doc/copyright" || fail "copyright names no GPL-2+ licence"
fi
if [ -f "$doc/changelog.gz" ]; then
  top=$(zcat "$doc/changelog.gz" | head -n1)
  [[ "$top" == "labtools ($(field Version)) "* ]] ||
    fail "the changelog's latest entry '$top' is not for version $(field Version)"
  ok "changelog.gz starts with: $top"
fi
# The README's users' sections, whose pictures are beside them.
readme=$doc/README.md.gz
if [ -f "$readme" ]; then
  zcat "$readme" >"$work/readme.md"
  for heading in '## psload: configuring the FPGA' '## echorange: the range-finder module' \
                 '## rangectl: the range finder from the shell' '## portpoke: one I/O port from the shell' \
                 '## Port access and permissions'; do
    grep -qxF "$heading" "$work/readme.md" || fail "README.md.gz has no section '$heading'"
  done
  grep -qxF '## Tests, fuzzing, benchmarks' "$work/readme.md" && fail "README.md.gz has the source tree's test section"
  for picture in $(grep -o '](docs/[^)]*\.png)' "$work/readme.md" | sed 's/^](//; s/)$//'); do
    [ -f "$doc/$picture" ] || fail "README.md.gz shows $picture, which the package lacks"
  done
  ok "README.md.gz: the users' sections, $(wc -l <"$work/readme.md") lines, with their pictures"
fi
# Installed, echorange-sim's help names the examples where the package put them.
if [ -n "${want_bin[$prefix/bin/echorange-sim]:-}" ]; then
  run "$bin/echorange-sim" --help
  named=$(readlink -f "$doc/examples/echorange.scenario")
  [ "$rc" = 0 ] && [[ "$out" == *"The scenario format is described in $named."* ]] &&
    ok "extracted echorange-sim --help names $prefix/share/doc/labtools/examples/echorange.scenario" ||
    fail "echorange-sim --help does not name the packaged example ($named): '$(printf '%s' "$out" | tail -n1)'"
fi

# No maintainer scripts: the package has no shared library for ldconfig to
# know about (the module object is loaded by path), and nothing to set up.
dpkg-deb --ctrl-tarfile "$deb" | tar -t >"$work/control-files.txt"
for script in preinst postinst prerm postrm; do
  grep -qx "\./$script" "$work/control-files.txt" && fail "the package has a $script script"
done

# --- lintian, where it is installed --------------------------------------------
if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1
  lrc=$?
  sed 's/^/lintian: /' "$work/lintian.txt"
  if [ $lrc -eq 0 ]; then
    ok "lintian: no errors ($(grep -c '^W: ' "$work/lintian.txt") warnings, $(grep -c '^I: ' "$work/lintian.txt") notes, $(grep -c '^O: ' "$work/lintian.txt") overridden)"
  else
    fail "lintian reports errors (status $lrc)"
  fi
else
  echo "note: lintian is not installed; the package was not linted (Debian package lintian)"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
