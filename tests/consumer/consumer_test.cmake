# Installs the build into an empty prefix and builds two programs against what is installed
# there only: consumer.c with `pkg-config --cflags --libs libquorlcnvpvgen` (as C99, pedantic)
# and consumer.cpp with find_package(quorlcnvpvgen CONFIG). Each runs one page under the
# installed pvgen-sim, which must find the installed simulator by itself.
#   cmake -DBUILD_DIR= -DWORK_DIR= -DSOURCE_DIR= -DC_COMPILER= -DCXX_COMPILER=
#         [-DTOOLCHAIN_FILE=] [-DEMULATOR=a|b|c] -P consumer_test.cmake
string(REPLACE "|" ";" emulator "${EMULATOR}")
find_program(PKG_CONFIG_EXE pkg-config)
if(NOT PKG_CONFIG_EXE)
  message("skipped: pkg-config is not installed (Debian package pkgconf; "
          "scripts/install-deps installs it)")
  return()
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

# Runs PROGRAM under the installed pvgen-sim. Under an emulator a target program cannot start
# another one, so pvgen-sim only says (dry run) what it would set and the emulator runs the
# program with that environment.
function(run_under_sim program)
  if(emulator)
    run(${emulator} ${prefix}/bin/pvgen-sim -n -- ${program})
    string(REGEX REPLACE "\n$" "" plan "${last_output}")
    string(REPLACE "\n" ";" plan "${plan}")
    list(POP_BACK plan command)
    set(env_args "")
    foreach(assignment IN LISTS plan)
      list(APPEND env_args -E "${assignment}")
    endforeach()
    if(NOT plan MATCHES "LD_PRELOAD=${prefix}/lib/libpvgen_sim.so")
      message(FATAL_ERROR "pvgen-sim would not preload the installed simulator: ${plan}")
    endif()
    run(${emulator} ${env_args} ${command})
  else()
    run(${prefix}/bin/pvgen-sim -- ${program})
  endif()
  message(STATUS "${program} under pvgen-sim:\n${last_output}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# C, through pkg-config.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
unset(ENV{PKG_CONFIG_LIBDIR})
run(pkg-config --cflags --libs libquorlcnvpvgen)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} -std=c99 -pedantic-errors -Wall -Wextra -Werror ${SOURCE_DIR}/consumer.c
    ${flags} -o ${WORK_DIR}/consumer_c)  # no run path: pvgen-sim makes the libraries findable
run_under_sim(${WORK_DIR}/consumer_c)

# C++, through the CMake package.
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cxx -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_CXX_FLAGS=-Werror)
if(TOOLCHAIN_FILE)
  # The cross toolchain searches the target tree only: name the package's folder directly.
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}
       -Dquorlcnvpvgen_DIR=${prefix}/lib/cmake/quorlcnvpvgen)
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cxx)
run_under_sim(${WORK_DIR}/cxx/consumer)
