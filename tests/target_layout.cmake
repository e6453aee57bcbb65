# Byte images of the records shared with callers and the driver, on whichever machine runs
# the suite (host, or the controller under qemu-ppc). The record test needs only the public
# header, so it builds and runs even while the library does not.
add_library(pvgen_public_header INTERFACE)
target_include_directories(pvgen_public_header INTERFACE
  ${PROJECT_SOURCE_DIR}/middleware/quorl/quorl_cnv/include)
pvgen_add_test(target_layout_test SOURCES target_layout_test.cpp LIBS pvgen_public_header)

# The driver's command blocks as the simulated engine receives them from the library.
pvgen_add_test(target_layout_driver_test SOURCES target_layout_driver_test.cpp
               LIBS quorlcnvpvgen pvgen_sim)
