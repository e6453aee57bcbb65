# pvgen-run's timeline export, summary figures and progress line: the model on made-up logs,
# and pvgen-run as a process (its files parsed, its HTML page drawn by a headless browser).
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
# The browser test decodes the screenshot; it is built where libpng is (the host).
if(NOT CMAKE_CROSSCOMPILING)
  find_package(PNG)
endif()
if(PNG_FOUND)
  target_link_libraries(timeline_test PRIVATE PNG::PNG)
  target_compile_definitions(timeline_test PRIVATE PVGEN_HAVE_PNG=1)
endif()
