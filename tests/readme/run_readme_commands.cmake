# Runs the README's install and consumer commands as they stand there: each indented line
# that installs the build, builds app.c with pkg-config or runs ./app under pvgen-sim. Only
# the prefix (/opt/pvgen) and the build folder (build/default) are replaced, by a fresh
# folder and by the build under test. The program is the consumer test's C program.
#   cmake -DREADME= -DBUILD_DIR= -DWORK_DIR= -DAPP_SOURCE= -P run_readme_commands.cmake
file(STRINGS ${README} lines)
find_program(PKG_CONFIG_EXE pkg-config)
if(NOT PKG_CONFIG_EXE)
  message("skipped: pkg-config is not installed (Debian package pkgconf; "
          "scripts/install-deps installs it)")
  return()
endif()
set(commands "")
foreach(line IN LISTS lines)
  if(line MATCHES "^    (cmake --install |cc app\\.c |/opt/pvgen/bin/pvgen-sim -- \\./app)")
    string(REGEX REPLACE "^    " "" command "${line}")
    string(REGEX REPLACE "[ ]+#.*$" "" command "${command}")
    list(APPEND commands "${command}")
  endif()
endforeach()
list(LENGTH commands count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "expected the README's install, build and run commands, found ${count}: "
                      "${commands}")
endif()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
configure_file(${APP_SOURCE} ${WORK_DIR}/app.c COPYONLY)
# The loader must not find the library by other means than the README's.
unset(ENV{LD_LIBRARY_PATH})
unset(ENV{PKG_CONFIG_PATH})
foreach(command IN LISTS commands)
  string(REPLACE "build/default" "${BUILD_DIR}" command "${command}")
  string(REPLACE "/opt/pvgen" "${prefix}" command "${command}")
  message(STATUS "$ ${command}")
  execute_process(COMMAND sh -c "${command}" WORKING_DIRECTORY ${WORK_DIR}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}")
  endif()
endforeach()
if(NOT EXISTS ${prefix}/lib/libquorlcnvpvgen.so.1 OR NOT out MATCHES "stop 0")
  message(FATAL_ERROR "the program's page did not end with a stop: ${out}")
endif()
message(STATUS "ran as written:\n${out}")
