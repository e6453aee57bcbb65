# The registry's tables and the index of pending entries, against simple models. Their
# sources are compiled in: the classes are internal to the library and not exported.
pvgen_add_test(dispatch_index_test
  SOURCES dispatch_index_test.cpp
          ${PROJECT_SOURCE_DIR}/middleware/quorl/quorl_cnv/src/pvgen/quorl_cnv_pvgen_lookup.cpp
          ${PROJECT_SOURCE_DIR}/middleware/quorl/quorl_cnv/src/pvgen/quorl_cnv_pvgen_pending.cpp
  LIBS quorlcnvpvgen_internal pvgen_platform)
