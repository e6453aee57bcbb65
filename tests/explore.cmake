# pvgen-explore and the controlled platform: the scenarios and the planted fault (small
# programs run under the tool, tests/explore/), the tool as a process, and the controlled
# platform's exported symbols against the shipped platform's. Host builds without a
# sanitizer or with AddressSanitizer (platform/CMakeLists.txt).
if(NOT CMAKE_CROSSCOMPILING AND TARGET pvgen-explore)
  set(_explore_programs planted_lost_wakeup stop_while_submitting band_before_page_start
                        pageless_band_before_stop blocked_outside stop_in_callback
                        two_stops_of_one_page failed_wait release_in_flight
                        page_ended_by_failed_band reports_then_exit planted_use_after_free)
  foreach(p ${_explore_programs})
    add_executable(explore_${p} ${CMAKE_CURRENT_LIST_DIR}/explore/${p}.cpp)
    target_link_libraries(explore_${p} PRIVATE quorlcnvpvgen_internal pvgen_platform
                          Threads::Threads)
    list(APPEND _explore_targets explore_${p})
  endforeach()
  # A stand-in between program and library that breaks the library's promises on purpose,
  # so that the tests see pvgen-explore's checks of the library's results fail.
  add_library(explore_planted_library SHARED ${CMAKE_CURRENT_LIST_DIR}/explore/planted_library.cpp)
  target_include_directories(explore_planted_library
    PRIVATE ${PROJECT_SOURCE_DIR}/middleware/quorl/quorl_cnv/include)
  target_link_libraries(explore_planted_library PRIVATE ${CMAKE_DL_LIBS})
  pvgen_add_test(explore_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/explore_test.cpp)
  target_include_directories(explore_test PRIVATE ${PROJECT_SOURCE_DIR}/platform/controlled)
  add_dependencies(explore_test pvgen-explore ${_explore_targets} explore_planted_library)
  target_compile_definitions(explore_test PRIVATE
    PVGEN_EXPLORE_PATH="$<TARGET_FILE:pvgen-explore>"
    PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
    PVGEN_EXPLORE_PROGRAMS="${CMAKE_CURRENT_BINARY_DIR}"
    PVGEN_PLANTED_LIBRARY="$<TARGET_FILE:explore_planted_library>")

  # Scenario files (tests/explore/scenarios/), run by pvgen-scenario under the tool.
  pvgen_add_test(explore_scenario_test
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/explore_scenario_test.cpp)
  add_dependencies(explore_scenario_test pvgen-explore pvgen-scenario)
  target_compile_definitions(explore_scenario_test PRIVATE
    PVGEN_EXPLORE_PATH="$<TARGET_FILE:pvgen-explore>"
    PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
    PVGEN_SCENARIOS="${CMAKE_CURRENT_SOURCE_DIR}/explore/scenarios")

  add_test(NAME Explore.ControlledPlatformExportsTheShippedSymbols
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM}
                   -DSHIPPED=$<TARGET_FILE:pvgen_platform>
                   -DCONTROLLED=$<TARGET_FILE:pvgen_platform_controlled>
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/explore/check_platform_symbols.cmake)
  set_tests_properties(Explore.ControlledPlatformExportsTheShippedSymbols PROPERTIES TIMEOUT 60)
endif()
