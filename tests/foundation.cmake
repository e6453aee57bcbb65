# Singletons, request list, observers and the diagnostic summary.
pvgen_add_test(foundation_test
  SOURCES foundation_control_test.cpp foundation_registry_test.cpp
  LIBS quorlcnvpvgen_internal pvgen_platform)

# The C interface from a C program linked against the library alone.
add_executable(foundation_c_client foundation_c_client.c)
target_link_libraries(foundation_c_client PRIVATE quorlcnvpvgen)
add_test(NAME FoundationCClient.FirstThreePageIds COMMAND foundation_c_client)
set_tests_properties(FoundationCClient.FirstThreePageIds PROPERTIES
  PASS_REGULAR_EXPRESSION "^1\n2\n3\n$" TIMEOUT 60)
