# The library's ABI against the committed baseline (abi/libquorlcnvpvgen.<arch>.abi, written by
# abidw): a removed or changed exported function or variable, or a changed layout of a type
# they use (an exported class's size or members), fails; added members do not. After an
# intended change, scripts/abi-baseline writes the baseline anew (and the major version
# goes up when the change is incompatible). GCC builds without a sanitizer only: the baseline
# records GCC's debug information of the preset's build.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT PVGEN_SANITIZE STREQUAL "")
  return()
endif()
set(_pvgen_abi_baseline
    ${PROJECT_SOURCE_DIR}/abi/libquorlcnvpvgen.${CMAKE_SYSTEM_PROCESSOR}.abi)
# abidiff is looked for when the test runs: a machine without it (Debian package
# abigail-tools, which scripts/test-all installs) skips the test and says so.
add_test(NAME Abi.LibraryMatchesTheBaseline
         COMMAND ${CMAKE_COMMAND} -DBASELINE=${_pvgen_abi_baseline}
                 -DLIBRARY=$<TARGET_FILE:quorlcnvpvgen>
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_abi.cmake)
set_tests_properties(Abi.LibraryMatchesTheBaseline PROPERTIES TIMEOUT 120
                     SKIP_REGULAR_EXPRESSION "skipped: abidiff is not installed")
