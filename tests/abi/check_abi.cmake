# Compares a library with its ABI baseline.
#   cmake [-DABIDIFF=abidiff] -DBASELINE=file.abi -DLIBRARY=lib.so -P check_abi.cmake
# Added functions and variables are compatible and pass; everything else abidiff reports
# (removed or changed symbols, changed types behind them) fails, with abidiff's report.
# Without abidiff the check says it is skipped, naming the package that brings it.
if(NOT ABIDIFF)
  find_program(ABIDIFF abidiff)
endif()
if(NOT ABIDIFF)
  message("skipped: abidiff is not installed (Debian package abigail-tools; "
          "scripts/install-deps default installs it)")
  return()
endif()
if(NOT EXISTS ${BASELINE})
  message(FATAL_ERROR "no ABI baseline ${BASELINE}; write it with scripts/abi-baseline")
endif()
execute_process(COMMAND ${ABIDIFF} --no-added-syms ${BASELINE} ${LIBRARY}
                RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE report)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ABI of ${LIBRARY} differs from ${BASELINE} (abidiff status ${rc}):\n"
                      "${report}\nIf the change is intended, run scripts/abi-baseline and "
                      "record it in CHANGELOG.md (a major version for an incompatible change).")
endif()
message(STATUS "ABI matches ${BASELINE}")
