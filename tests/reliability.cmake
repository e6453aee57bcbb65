# Every caller returns: pages that end under waiting bands, stops, teardown with requests in
# flight, and allocation failures at the C boundary.
pvgen_add_test(reliability_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/reliability_test.cpp
  LIBS pvgen_sim quorlcnvpvgen_internal pvgen_platform)
# Its own executable: it replaces operator new for the whole program.
pvgen_add_test(reliability_alloc_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/reliability_alloc_test.cpp
  LIBS pvgen_sim quorlcnvpvgen_internal pvgen_platform)
# Its own executable: it stands in for pthread_create to refuse the library its threads.
pvgen_add_test(reliability_threads_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/reliability_threads_test.cpp
  LIBS pvgen_sim quorlcnvpvgen_internal pvgen_platform ${CMAKE_DL_LIBS})
