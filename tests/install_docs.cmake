# What an installed tree documents: every installed tool with a complete man page that
# covers each option its --help lists, and a README whose links all resolve in the
# installed tree (tests/install/check_docs.cmake). Not in the sanitizer builds (their
# installed programs need the sanitizer's runtime preloaded); the cross build checks the
# files only.
if(NOT PVGEN_SANITIZE STREQUAL "")
  return()
endif()
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" _pvgen_docs_emulator)
add_test(NAME Install.EveryToolHasACompleteManPageAndTheDocsAreSelfContained
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_docs_work
                 -DCROSS=${CMAKE_CROSSCOMPILING}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check_docs.cmake)
set_tests_properties(Install.EveryToolHasACompleteManPageAndTheDocsAreSelfContained
                     PROPERTIES TIMEOUT 120)
