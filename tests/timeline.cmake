# pvgen-run's timeline export, summary figures and progress line: the model on made-up logs,
# and pvgen-run as a process (its trace file and summary parsed, its progress line on a
# pseudo-terminal).
pvgen_add_test(timeline_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/timeline_test.cpp
          ${PROJECT_SOURCE_DIR}/tools/timeline.cpp ${PROJECT_SOURCE_DIR}/tools/run_figures.cpp
  LIBS pvgen_platform)
target_include_directories(timeline_test PRIVATE ${PROJECT_SOURCE_DIR}/tools
                           ${PROJECT_SOURCE_DIR}/sim/include)
add_dependencies(timeline_test pvgen-run)
target_compile_definitions(timeline_test PRIVATE
  PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
  PVGEN_SIM_LIB_PATH="$<TARGET_FILE:pvgen_sim>")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _timeline_emulator)
  target_compile_definitions(timeline_test PRIVATE PVGEN_RUN_EMULATOR="${_timeline_emulator}")
endif()
# The HTML page drawn by headless chromium, on the host only, and alone: the browser takes
# both cores for a few seconds. The screenshot is decoded with libpng when it is there.
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(timeline_browser_test ${CMAKE_CURRENT_LIST_DIR}/timeline_browser_test.cpp)
  target_link_libraries(timeline_browser_test PRIVATE GTest::gtest GTest::gtest_main)
  target_include_directories(timeline_browser_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_dependencies(timeline_browser_test pvgen-run)
  target_compile_definitions(timeline_browser_test PRIVATE
    PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
    PVGEN_SIM_LIB_PATH="$<TARGET_FILE:pvgen_sim>")
  find_package(PNG)
  if(PNG_FOUND)
    target_link_libraries(timeline_browser_test PRIVATE PNG::PNG)
    target_compile_definitions(timeline_browser_test PRIVATE PVGEN_HAVE_PNG=1)
  endif()
  gtest_discover_tests(timeline_browser_test DISCOVERY_MODE POST_BUILD DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
endif()
