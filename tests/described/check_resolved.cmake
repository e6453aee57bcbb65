# Fails when an object file names a member of the library's classes (or a C function) that
# neither the library nor the platform library defines.
#   cmake -DNM=nm -DOBJECT=x.o -DLIBRARIES="a.so;b.so" -P check_resolved.cmake
# Only names in namespace norvane and the Quorl_cnv_pvgen_ functions are looked at; the
# standard libraries' names are not this check's business. Names are compared as the
# compiler wrote them and reported demangled.
foreach(v NM OBJECT LIBRARIES)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_resolved.cmake: ${v} not set")
  endif()
endforeach()

# nm lists the symbol table in its own order (-p) with and without demangling alike, so
# the two lists pair up line by line.
function(symbols out)
  execute_process(COMMAND ${NM} ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} ${ARGN} failed: ${err}")
  endif()
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    # "<address> T name", or "  U name" for an undefined one; versions follow an '@'.
    if(line MATCHES "^[0-9a-fA-F ]* [A-Za-z] ([^@]+)")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

symbols(wanted -p --undefined-only ${OBJECT})
symbols(wanted_plain -p -C --undefined-only ${OBJECT})
list(LENGTH wanted n)
list(LENGTH wanted_plain n_plain)
if(NOT n EQUAL n_plain)
  message(FATAL_ERROR "nm listed ${n} names, but ${n_plain} demangled ones")
endif()

set(defined "")
foreach(lib IN LISTS LIBRARIES)
  symbols(names -D --defined-only ${lib})
  list(APPEND defined ${names})
endforeach()

set(missing "")
set(checked 0)
if(n GREATER 0)
  math(EXPR last "${n} - 1")
  foreach(i RANGE ${last})
    list(GET wanted ${i} name)
    if(NOT name MATCHES "7norvane|^Quorl_cnv_pvgen_")
      continue()
    endif()
    math(EXPR checked "${checked} + 1")
    list(FIND defined "${name}" at)
    if(at EQUAL -1)
      list(GET wanted_plain ${i} plain)
      list(APPEND missing "${plain}")
    endif()
  endforeach()
endif()
if(missing)
  string(REPLACE ";" "\n  " text "${missing}")
  message(FATAL_ERROR "${OBJECT} names members that the libraries do not export:\n  ${text}\n")
endif()
if(checked EQUAL 0)
  message(FATAL_ERROR "${OBJECT} names no member of the library at all")
endif()
message(STATUS "all ${checked} names of the library's interface resolve")
