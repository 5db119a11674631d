# Writes the README for the installed package: the sections of the source
# tree's README.md that are about the programs (what they do, their
# simulators, permissions, installing, the lab PC's archive), without those
# about the source tree (building, tests, the QEMU scripts in tools/, the
# layout).
#
#   cmake -DSOURCE=README.md -DOUTPUT=FILE -P user-readme.cmake
file(READ "${SOURCE}" text)
set(_begin "Three tools for the laboratory PC")
set(_end "\n### The real psload32 on Linux 2.4")
string(FIND "${text}" "${_begin}" from)
string(FIND "${text}" "${_end}" to)
if(from EQUAL -1 OR to EQUAL -1 OR NOT to GREATER from)
  message(FATAL_ERROR "${SOURCE}: the users' sections (from '${_begin}' to '${_end}') are not found")
endif()
math(EXPR length "${to} - ${from}")
string(SUBSTRING "${text}" ${from} ${length} part)
file(WRITE "${OUTPUT}"
"# Lab PC tools: psload, echorange, portpoke

The users' part of the project's README. Its examples run the programs
from a build tree (`build/bin/...`); installed, they are on the PATH, the
examples are in /usr/share/doc/labtools/examples/ and the pictures in
/usr/share/doc/labtools/docs/.

${part}")
