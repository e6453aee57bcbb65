# pvgen-explore and the controlled platform: the scenarios and the planted fault (small
# programs run under the tool), the tool as a process, and the platform's exported symbols.
if(NOT CMAKE_CROSSCOMPILING AND PVGEN_SANITIZE STREQUAL "")
  set(_explore_programs planted_lost_wakeup stop_while_submitting band_before_page_start
                        pageless_band_before_stop blocked_outside)
  foreach(p ${_explore_programs})
    add_executable(explore_${p} ${CMAKE_CURRENT_LIST_DIR}/explore/${p}.cpp)
    target_link_libraries(explore_${p} PRIVATE quorlcnvpvgen_internal pvgen_platform
                          Threads::Threads)
  endforeach()
endif()
