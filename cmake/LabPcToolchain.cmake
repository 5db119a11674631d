# The lab PC's programs: static 32-bit x86 executables that start on its
# Linux 2.4.18 and on every later i386 or x86-64 Linux.
#
# Why not the usual -m32 build: a dynamic program needs the symbol versions
# and the GNU hash table of today's glibc, which the lab PC's 2002 C library
# and dynamic loader don't have; a static glibc (or dietlibc) program needs
# set_thread_area, which Linux 2.4 lacks, and dies at start.  musl 1.2.3
# probes that call and falls back to modify_ldt (and from exit_group to exit),
# so a static musl program starts there.
#
# musl comes from Debian's musl-dev:i386, unpacked into the build tree:
# installing it beside g++-multilib is refused by dpkg, and the build needs
# only its headers, start files and libc.a.  tools/setup adds the i386
# architecture so that `apt-get download` finds it.  Our sources are compiled
# with g++ -m32 against musl's headers (libstdc++'s headers only for the
# <cstdio>-style names), without exceptions and RTTI, and linked without
# libstdc++: the programs use nothing of the C++ runtime.
#
# Sets LABTOOLS_LABPC (ON when the programs can be built) and defines
#   add_lab_pc_program(<target> <sources>...)
# Where it can't be done, LABTOOLS_LABPC is OFF with a warning, and the tests
# that need the programs skip.

set(LABTOOLS_MUSL_DEB "musl-dev:i386" CACHE STRING "Debian package that provides musl for i386")
set(LABTOOLS_MUSL_ROOT "${CMAKE_BINARY_DIR}/musl-i386" CACHE PATH
    "Where musl-dev:i386 is unpacked (dpkg -x); fetched with apt-get download when empty")

set(LABTOOLS_LABPC OFF)

function(_labpc_fail reason)
  message(WARNING "The lab PC's static 32-bit programs (psload32, portpoke32) are not built: ${reason}")
endfunction()

function(_labpc_setup)
  set(lib "${LABTOOLS_MUSL_ROOT}/usr/lib/i386-linux-musl")
  set(inc "${LABTOOLS_MUSL_ROOT}/usr/include/i386-linux-musl")

  if(NOT EXISTS "${lib}/libc.a")
    find_program(APT_GET apt-get)
    find_program(DPKG dpkg)
    if(NOT APT_GET OR NOT DPKG)
      _labpc_fail("no apt-get/dpkg to fetch ${LABTOOLS_MUSL_DEB}")
      return()
    endif()
    set(dl "${CMAKE_BINARY_DIR}/musl-i386-deb")
    file(REMOVE_RECURSE "${dl}")
    file(MAKE_DIRECTORY "${dl}")
    message(STATUS "Fetching ${LABTOOLS_MUSL_DEB} for the lab PC's programs")
    execute_process(COMMAND ${APT_GET} download ${LABTOOLS_MUSL_DEB}
                    WORKING_DIRECTORY "${dl}" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
    file(GLOB debs "${dl}/*.deb")
    if(NOT rc EQUAL 0 OR NOT debs)
      string(STRIP "${err}" err)
      _labpc_fail("apt-get download ${LABTOOLS_MUSL_DEB} failed (run tools/setup, which adds the i386 architecture): ${err}")
      return()
    endif()
    list(GET debs 0 deb)
    execute_process(COMMAND ${DPKG} -x "${deb}" "${LABTOOLS_MUSL_ROOT}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${lib}/libc.a")
      _labpc_fail("dpkg -x ${deb} gave no ${lib}/libc.a")
      return()
    endif()
  endif()

  # The compiler's own 32-bit pieces (g++-multilib): libgcc for 64-bit
  # division and the like, the static start/end files, and the C++ header
  # directories.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 -print-libgcc-file-name
                  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 -print-file-name=crtbeginT.o
                  OUTPUT_VARIABLE crtbegin OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 -print-file-name=crtend.o
                  OUTPUT_VARIABLE crtend OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${libgcc}" OR NOT EXISTS "${libgcc}" OR NOT IS_ABSOLUTE "${crtbegin}"
     OR NOT IS_ABSOLUTE "${crtend}")
    _labpc_fail("${CMAKE_CXX_COMPILER} has no 32-bit libgcc/crtbeginT.o (install g++-multilib)")
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 -x c++ -E -v -
                  INPUT_FILE /dev/null OUTPUT_QUIET ERROR_VARIABLE search)
  string(REPLACE "\n" ";" search "${search}")
  set(cxx_dirs "")
  set(in_list OFF)
  foreach(line IN LISTS search)
    if(line MATCHES "^#include <...> search starts here:")
      set(in_list ON)
    elseif(line MATCHES "^End of search list")
      set(in_list OFF)
    elseif(in_list AND line MATCHES "/c\\+\\+/")
      string(STRIP "${line}" dir)
      list(APPEND cxx_dirs "${dir}")
    endif()
  endforeach()
  if(NOT cxx_dirs)
    _labpc_fail("found no C++ header directories of ${CMAKE_CXX_COMPILER} -m32")
    return()
  endif()

  set(common -m32 -fno-pie -fno-asynchronous-unwind-tables -nostdinc)
  set(cxx_only -fno-exceptions -fno-rtti -nostdinc++)
  foreach(dir IN LISTS cxx_dirs)
    list(APPEND cxx_only "-isystem${dir}")
  endforeach()
  # libstdc++'s configuration for glibc asks glibc's version macro; musl has
  # none, and none of the answers matter for the C names we use.
  list(APPEND cxx_only "-D__GLIBC_PREREQ(maj,min)=0")

  set(compile ${common})
  foreach(opt IN LISTS cxx_only)
    list(APPEND compile "$<$<COMPILE_LANGUAGE:CXX>:${opt}>")
  endforeach()
  list(APPEND compile "-isystem${inc}")

  set(link_first -m32 -static -no-pie -nostdlib "${lib}/crt1.o" "${lib}/crti.o" "${crtbegin}")
  set(link_last -Wl,--start-group "${lib}/libc.a" "${libgcc}" -Wl,--end-group "${crtend}" "${lib}/crtn.o")

  # One probe build, as a real program would be built.
  set(probe_dir "${CMAKE_BINARY_DIR}/CMakeFiles/labpc-probe")
  file(MAKE_DIRECTORY "${probe_dir}")
  file(WRITE "${probe_dir}/probe.cpp"
       "#include <cstdio>\n#include <cstdlib>\n#include <sys/io.h>\n"
       "int main(int argc, char **argv) { std::printf(\"%d %s\\n\", ioperm(0, 0, 0), argv[argc - 1]);"
       " return std::atoi(argv[0]); }\n")
  set(probe_cmd ${CMAKE_CXX_COMPILER} ${common} ${cxx_only} "-isystem${inc}" -c probe.cpp -o probe.o)
  execute_process(COMMAND ${probe_cmd} WORKING_DIRECTORY "${probe_dir}" RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${link_first} probe.o ${link_last} -o probe
                    WORKING_DIRECTORY "${probe_dir}" RESULT_VARIABLE rc ERROR_VARIABLE err)
  endif()
  if(NOT rc EQUAL 0)
    _labpc_fail("a static musl test program does not build: ${err}")
    return()
  endif()

  set(LABTOOLS_LABPC ON PARENT_SCOPE)
  set(LABTOOLS_LABPC_COMPILE "${compile}" PARENT_SCOPE)
  set(LABTOOLS_LABPC_LINK_FIRST "${link_first}" PARENT_SCOPE)
  set(LABTOOLS_LABPC_LINK_LAST "${link_last}" PARENT_SCOPE)
endfunction()

if(LABTOOLS_M32)
  _labpc_setup()
endif()

# add_lab_pc_program(<target> <sources>...): a static i386 program for the
# lab PC, C or C++, on musl.
function(add_lab_pc_program target)
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE ${LABTOOLS_LABPC_COMPILE})
  target_link_options(${target} PRIVATE ${LABTOOLS_LABPC_LINK_FIRST})
  target_link_libraries(${target} PRIVATE ${LABTOOLS_LABPC_LINK_LAST})
  # Linked by hand (start files, libc, libgcc): keep CMake's own choice of
  # position-independent code out of it.
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
endfunction()
