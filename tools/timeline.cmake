# pvgen-run's timeline export, latency figures and progress line.
target_sources(pvgen-run PRIVATE ${CMAKE_CURRENT_LIST_DIR}/timeline.cpp
               ${CMAKE_CURRENT_LIST_DIR}/run_figures.cpp)
