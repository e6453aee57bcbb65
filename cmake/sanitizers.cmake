# Applies the sanitizer chosen by PVGEN_SANITIZE to everything built after this point.
if(PVGEN_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(PVGEN_TSAN=1)
elseif(PVGEN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(PVGEN_ASAN=1)
elseif(PVGEN_SANITIZE STREQUAL "fuzzer")
  # Clang only: everything is instrumented for libFuzzer's coverage feedback and checked by
  # AddressSanitizer+UBSan; the fuzz targets themselves link libFuzzer (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(PVGEN_ASAN=1 PVGEN_FUZZ=1)
elseif(NOT PVGEN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "PVGEN_SANITIZE must be thread, address, fuzzer or empty")
endif()
