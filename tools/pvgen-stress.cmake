# pvgen-stress: many threads drive pages through the library's C functions against the
# simulated engine (linked in), with stops from another thread and engine faults, checking
# every outcome; reads the registry's and channels' counters to check that the library
# comes to rest, and for its stall report.
add_executable(pvgen-stress ${CMAKE_CURRENT_LIST_DIR}/pvgen-stress.cpp)
target_link_libraries(pvgen-stress PRIVATE pvgen_sim quorlcnvpvgen_internal pvgen_platform
                      Threads::Threads)
