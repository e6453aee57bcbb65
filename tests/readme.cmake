# The README's install and consumer commands, run as written: the install into a prefix
# outside the loader's path, the pkg-config build of a C program and its run under the
# installed pvgen-sim. Host builds without a sanitizer (a consumer's own build does not add
# the sanitizer's runtime that the installed libraries would need).
if(CMAKE_CROSSCOMPILING OR NOT PVGEN_SANITIZE STREQUAL "")
  return()
endif()
add_test(NAME Readme.InstallAndConsumerCommandsRunAsWritten
         COMMAND ${CMAKE_COMMAND} -DREADME=${PROJECT_SOURCE_DIR}/README.md
                 -DBUILD_DIR=${CMAKE_BINARY_DIR} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/readme_work
                 -DAPP_SOURCE=${CMAKE_CURRENT_SOURCE_DIR}/consumer/consumer.c
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/readme/run_readme_commands.cmake)
set_tests_properties(Readme.InstallAndConsumerCommandsRunAsWritten PROPERTIES TIMEOUT 300
                     SKIP_REGULAR_EXPRESSION "skipped: pkg-config is not installed")
