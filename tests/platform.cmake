pvgen_add_test(platform_test SOURCES platform_test.cpp LIBS pvgen_platform)
