# Compares the dynamic symbols that a shared library defines with the expected set.
#   cmake -DNM=nm -DLIBRARY=lib.so -DEXPECTED=list.symbols -P check_exports.cmake
# Names are compared demangled, one per line; lines of the list starting with '#' are
# comments. Fails listing every symbol that is exported but not expected (something leaked:
# a helper, a standard library instantiation) and every expected one that is missing (a
# member made inline or removed, which programs built against the library would not find).
foreach(v NM LIBRARY EXPECTED)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_exports.cmake: ${v} not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
                OUTPUT_VARIABLE nm_out ERROR_VARIABLE nm_err RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${nm_err}")
endif()
string(REPLACE ";" "\\;" nm_out "${nm_out}")
string(REPLACE "\n" ";" nm_lines "${nm_out}")
set(actual "")
foreach(line IN LISTS nm_lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    list(APPEND actual "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)

file(STRINGS ${EXPECTED} expected_lines)
set(expected "")
foreach(line IN LISTS expected_lines)
  if(NOT line STREQUAL "" AND NOT line MATCHES "^#")
    list(APPEND expected "${line}")
  endif()
endforeach()
list(REMOVE_DUPLICATES expected)

set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
list(LENGTH actual n_actual)
list(LENGTH expected n_expected)
if(extra OR missing)
  string(REPLACE ";" "\n  " extra_text "${extra}")
  string(REPLACE ";" "\n  " missing_text "${missing}")
  message(FATAL_ERROR "${LIBRARY}: exported set differs from ${EXPECTED}\n"
                      "exported but not expected:\n  ${extra_text}\n"
                      "expected but not exported:\n  ${missing_text}\n")
endif()
message(STATUS "${n_actual} exported symbols, as expected")
