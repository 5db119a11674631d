# Builds busybox for the lab PC's test guests (run by the target
# labpc_busybox, see cmake/LabPcBusybox.cmake), from scratch each time its
# inputs change:
#   cmake -DSOURCE=<unpacked source> -DWORK=<build folder> -DCC=<wrapper>
#         -DMAKE=<make> -DCONFIG=<busybox.config> -DMODULE_CALLS=<module-calls.c>
#         -DOUTPUT=<program> -P build.cmake
# The configuration is allnoconfig with the lines of CONFIG set, then
# oldconfig for what they depend on; every line must have survived.
cmake_minimum_required(VERSION 3.16)
foreach(v SOURCE WORK CC MAKE CONFIG MODULE_CALLS OUTPUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "build.cmake: -D${v}=... is missing")
  endif()
endforeach()

# Not the outer build's jobserver: busybox's make runs on its own.
set(ENV{MAKEFLAGS} "")
set(ENV{MFLAGS} "")
set(ENV{MAKELEVEL} "")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "busybox: ${what} failed (${rc}):\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
run("compiling module-calls.c" ${CC} -Os -Wall -Wextra -Werror -c "${MODULE_CALLS}" -o "${WORK}/module-calls.o")

set(kbuild ${MAKE} -C "${SOURCE}" "O=${WORK}" "CC=${CC}")
run("allnoconfig" ${kbuild} allnoconfig)

# Our lines replace allnoconfig's for the same names.
file(STRINGS "${CONFIG}" wanted REGEX "^CONFIG_[A-Z0-9_]+=")
file(STRINGS "${WORK}/.config" lines)
set(names "")
foreach(w IN LISTS wanted)
  string(REGEX REPLACE "=.*" "" n "${w}")
  list(APPEND names "${n}")
endforeach()
set(config "")
foreach(l IN LISTS lines)
  set(keep ON)
  if(l MATCHES "^(# )?(CONFIG_[A-Z0-9_]+)( is not set$|=)")
    if(CMAKE_MATCH_2 IN_LIST names)
      set(keep OFF)
    endif()
  endif()
  if(keep)
    string(APPEND config "${l}\n")
  endif()
endforeach()
foreach(w IN LISTS wanted)
  string(REPLACE "@EXTRA_LDLIBS@" "-Wl,${WORK}/module-calls.o" w "${w}")
  string(APPEND config "${w}\n")
endforeach()
file(WRITE "${WORK}/.config" "${config}")
# oldconfig asks about nothing new here; an empty answer takes the default.
file(WRITE "${WORK}/answers" "")
execute_process(COMMAND ${kbuild} oldconfig INPUT_FILE "${WORK}/answers"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "busybox: oldconfig failed (${rc}):\n${out}")
endif()
file(STRINGS "${WORK}/.config" final)
foreach(w IN LISTS wanted)
  string(REPLACE "@EXTRA_LDLIBS@" "-Wl,${WORK}/module-calls.o" w "${w}")
  if(NOT w IN_LIST final)
    message(FATAL_ERROR "busybox: the configuration lost ${w} (a dependency missing in ${CONFIG})")
  endif()
endforeach()

run("make" ${kbuild} -j2 busybox)
get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
file(COPY "${WORK}/busybox" DESTINATION "${out_dir}")
