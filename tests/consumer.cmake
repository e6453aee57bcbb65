# What a middleware team does with the library: install it into an empty prefix, build a C
# program with pkg-config and a C++ program with find_package against that prefix alone, and
# run each for one page under the installed pvgen-sim (tests/consumer/consumer_test.cmake).
# The cross build builds them with the cross compiler and runs them under the emulator.
# Not in the sanitizer builds: their installed libraries need the sanitizer's runtime in every
# program that loads them, which a consumer's own build does not add.
if(NOT PVGEN_SANITIZE STREQUAL "")
  return()
endif()
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" _pvgen_consumer_emulator)
add_test(NAME Consumer.InstalledLibraryBuildsWithPkgConfigAndCMakeAndRunsAPage
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/consumer_work
                 -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/consumer
                 -DC_COMPILER=${CMAKE_C_COMPILER} -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
                 -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DEMULATOR=${_pvgen_consumer_emulator}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer/consumer_test.cmake)
set_tests_properties(Consumer.InstalledLibraryBuildsWithPkgConfigAndCMakeAndRunsAPage
                     PROPERTIES TIMEOUT 300
                     SKIP_REGULAR_EXPRESSION "skipped: pkg-config is not installed")
