# Busybox for the test guests on the lab PC's Linux 2.4 kernels: one static
# i386 program with a shell (ash, also as sh), the small tools an install
# script needs, tar with gzip, checksums, and the 2.4 module loader (insmod,
# rmmod, lsmod).  Nothing else starts on 2.4 there: the guests have no C
# library, and glibc's static programs need set_thread_area, which 2.4 lacks.
#
# Source: Debian 12's busybox source package, one pinned version, fetched
# with apt through a private deb-src list (the system's own lists and
# sources stay untouched) and unpacked with dpkg-source into the build tree.
# Built with the C compiler -m32 against the musl that
# cmake/LabPcToolchain.cmake unpacks, through a small compiler wrapper
# (cmake/labpc-busybox/cc.in), from allnoconfig plus
# cmake/labpc-busybox/busybox.config.  musl has no create_module() or
# query_module() (Linux 2.6 dropped both calls): cmake/labpc-busybox/
# module-calls.c supplies them for busybox's 2.4 loader.
#
# Sets LABTOOLS_BUSYBOX (ON when it can be built), LABTOOLS_BUSYBOX_PROGRAM
# (the program: ${CMAKE_BINARY_DIR}/tools/labpc-busybox/busybox, made by the
# target labpc_busybox) and LABTOOLS_BUSYBOX_MISSING (why not, when OFF).
# Where it can't be done: a warning, no target, and the tests that need it
# skip with that reason.

set(LABTOOLS_BUSYBOX_VERSION "1:1.35.0-4+deb12u1" CACHE STRING
    "Debian source package version of busybox for the lab PC's test guests")
set(LABTOOLS_BUSYBOX_SOURCE "${CMAKE_BINARY_DIR}/labpc-busybox/busybox-1.35.0" CACHE PATH
    "Unpacked busybox source (dpkg-source -x); fetched with apt-get source when empty")

set(LABTOOLS_BUSYBOX OFF)
set(LABTOOLS_BUSYBOX_PROGRAM "")
set(LABTOOLS_BUSYBOX_MISSING "")

function(_labpc_busybox_fail reason)
  message(WARNING "Busybox for the lab PC's test guests is not built: ${reason}")
  set(LABTOOLS_BUSYBOX_MISSING "${reason}" PARENT_SCOPE)
endfunction()

# The system's apt sources as deb-src entries: the same URIs, suites,
# components and keyrings, one-line (sources.list, *.list) and deb822
# (*.sources) files alike.
function(_labpc_busybox_src_list one_line_out stanzas_out)
  set(text "")
  file(GLOB parts /etc/apt/sources.list.d/*.list)
  foreach(f /etc/apt/sources.list ${parts})
    if(EXISTS "${f}")
      file(STRINGS "${f}" lines REGEX "^[ \t]*deb[ \t]")
      foreach(l IN LISTS lines)
        string(REGEX REPLACE "^[ \t]*deb[ \t]" "deb-src " l "${l}")
        string(APPEND text "${l}\n")
      endforeach()
    endif()
  endforeach()
  set(${one_line_out} "${text}" PARENT_SCOPE)
  set(text "")
  file(GLOB stanzas_files /etc/apt/sources.list.d/*.sources)
  foreach(f IN LISTS stanzas_files)
    file(READ "${f}" body)
    string(REGEX REPLACE "(^|\n)Types:[^\n]*" "\\1Types: deb-src" body "${body}")
    string(APPEND text "${body}\n\n")
  endforeach()
  set(${stanzas_out} "${text}" PARENT_SCOPE)
endfunction()

function(_labpc_busybox_fetch)
  find_program(APT_GET apt-get)
  find_program(DPKG_SOURCE dpkg-source)
  if(NOT APT_GET)
    _labpc_busybox_fail("no apt-get to fetch the busybox source package")
    set(LABTOOLS_BUSYBOX_MISSING "${LABTOOLS_BUSYBOX_MISSING}" PARENT_SCOPE)
    return()
  endif()
  if(NOT DPKG_SOURCE)
    _labpc_busybox_fail("no dpkg-source to unpack the busybox source package (Debian package dpkg-dev; run tools/setup)")
    set(LABTOOLS_BUSYBOX_MISSING "${LABTOOLS_BUSYBOX_MISSING}" PARENT_SCOPE)
    return()
  endif()
  set(apt "${CMAKE_BINARY_DIR}/labpc-busybox/apt")
  file(REMOVE_RECURSE "${apt}")
  file(MAKE_DIRECTORY "${apt}/lists/partial" "${apt}/cache/archives/partial" "${apt}/download")
  _labpc_busybox_src_list(one_line stanzas)
  file(WRITE "${apt}/sources.list" "${one_line}")
  file(WRITE "${apt}/sources.d/deb-src.sources" "${stanzas}")
  set(opts -o "Dir::Etc::SourceList=${apt}/sources.list" -o "Dir::Etc::SourceParts=${apt}/sources.d"
           -o "Dir::State::Lists=${apt}/lists" -o "Dir::Cache=${apt}/cache")
  message(STATUS "Fetching Debian's busybox source ${LABTOOLS_BUSYBOX_VERSION} for the lab PC's test guests")
  # A source without deb-src indexes fails its part of the update; what
  # counts is whether the pinned version can then be downloaded.
  execute_process(COMMAND ${APT_GET} ${opts} update OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${APT_GET} ${opts} source --download-only "busybox=${LABTOOLS_BUSYBOX_VERSION}"
                  WORKING_DIRECTORY "${apt}/download" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  file(GLOB dsc "${apt}/download/*.dsc")
  if(NOT rc EQUAL 0 OR NOT dsc)
    string(STRIP "${err}" err)
    _labpc_busybox_fail("apt-get source busybox=${LABTOOLS_BUSYBOX_VERSION} failed: ${err}")
    set(LABTOOLS_BUSYBOX_MISSING "${LABTOOLS_BUSYBOX_MISSING}" PARENT_SCOPE)
    return()
  endif()
  file(REMOVE_RECURSE "${LABTOOLS_BUSYBOX_SOURCE}")
  execute_process(COMMAND ${DPKG_SOURCE} -x "${dsc}" "${LABTOOLS_BUSYBOX_SOURCE}"
                  WORKING_DIRECTORY "${apt}/download" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT EXISTS "${LABTOOLS_BUSYBOX_SOURCE}/modutils/modutils-24.c")
    string(STRIP "${err}" err)
    _labpc_busybox_fail("dpkg-source -x ${dsc} failed: ${err}")
    set(LABTOOLS_BUSYBOX_MISSING "${LABTOOLS_BUSYBOX_MISSING}" PARENT_SCOPE)
    return()
  endif()
endfunction()

# Words of a list as single-quoted shell words.
function(_labpc_busybox_quote out)
  set(q "")
  foreach(w IN LISTS ARGN)
    string(APPEND q " '${w}'")
  endforeach()
  set(${out} "${q}" PARENT_SCOPE)
endfunction()

function(_labpc_busybox_setup)
  if(NOT LABTOOLS_LABPC)
    set(LABTOOLS_BUSYBOX_MISSING "the lab PC's static 32-bit toolchain (musl) is not available; see cmake's warning"
        PARENT_SCOPE)
    return()
  endif()
  find_program(LABTOOLS_MAKE NAMES make gmake)
  if(NOT LABTOOLS_MAKE)
    _labpc_busybox_fail("no make for busybox's own build")
    set(LABTOOLS_BUSYBOX_MISSING "${LABTOOLS_BUSYBOX_MISSING}" PARENT_SCOPE)
    return()
  endif()
  if(NOT EXISTS "${LABTOOLS_BUSYBOX_SOURCE}/modutils/modutils-24.c")
    _labpc_busybox_fetch()
    if(LABTOOLS_BUSYBOX_MISSING)
      set(LABTOOLS_BUSYBOX_MISSING "${LABTOOLS_BUSYBOX_MISSING}" PARENT_SCOPE)
      return()
    endif()
  endif()

  # The compiler wrapper: C with musl's headers; a final link with musl's
  # start files, libc.a and libgcc around the objects (busybox's link script
  # puts its own flags and objects between).  The same options as the lab
  # PC's own programs (cmake/LabPcToolchain.cmake), the C++-only ones left out.
  set(dir "${CMAKE_BINARY_DIR}/labpc-busybox")
  set(compile "")
  foreach(opt IN LISTS LABTOOLS_LABPC_COMPILE)
    if(NOT opt MATCHES "^\\$<")
      list(APPEND compile "${opt}")
    endif()
  endforeach()
  _labpc_busybox_quote(LABPC_CC ${CMAKE_C_COMPILER})
  _labpc_busybox_quote(LABPC_COMPILE ${compile})
  _labpc_busybox_quote(LABPC_LINK_FIRST ${LABTOOLS_LABPC_LINK_FIRST})
  _labpc_busybox_quote(LABPC_LINK_LAST ${LABTOOLS_LABPC_LINK_LAST})
  configure_file("${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/cc.in" "${dir}/cc" @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)

  set(program "${CMAKE_BINARY_DIR}/tools/labpc-busybox/busybox")
  set(inputs "${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/build.cmake"
             "${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/busybox.config"
             "${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/module-calls.c"
             "${dir}/cc")
  add_custom_command(
    OUTPUT "${program}"
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${LABTOOLS_BUSYBOX_SOURCE} -DWORK=${dir}/obj -DCC=${dir}/cc
            -DMAKE=${LABTOOLS_MAKE} -DCONFIG=${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/busybox.config
            -DMODULE_CALLS=${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/module-calls.c -DOUTPUT=${program}
            -P ${PROJECT_SOURCE_DIR}/cmake/labpc-busybox/build.cmake
    DEPENDS ${inputs}
    COMMENT "Building busybox ${LABTOOLS_BUSYBOX_VERSION} (static i386, musl) for the lab PC's test guests"
    VERBATIM)
  add_custom_target(labpc_busybox ALL DEPENDS "${program}")

  set(LABTOOLS_BUSYBOX ON PARENT_SCOPE)
  set(LABTOOLS_BUSYBOX_PROGRAM "${program}" PARENT_SCOPE)
endfunction()

_labpc_busybox_setup()
