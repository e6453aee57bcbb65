# Cross build for the printer controller: 32-bit big-endian PowerPC Linux, GCC 12.
# Binaries built here run on the build machine under qemu-user, so ctest and the test
# discovery of GoogleTest work as they do for a host build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(PVGEN_CROSS_TRIPLE powerpc-linux-gnu)
set(PVGEN_CROSS_SYSROOT /usr/${PVGEN_CROSS_TRIPLE} CACHE PATH
    "Target libraries (libc, libstdc++) as installed by the Debian cross packages")

# The versioned driver names pin GCC 12; fall back to the unversioned ones, which are the
# same compiler on a system that only has the default cross toolchain.
find_program(PVGEN_CROSS_CC NAMES ${PVGEN_CROSS_TRIPLE}-gcc-12 ${PVGEN_CROSS_TRIPLE}-gcc REQUIRED)
find_program(PVGEN_CROSS_CXX NAMES ${PVGEN_CROSS_TRIPLE}-g++-12 ${PVGEN_CROSS_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${PVGEN_CROSS_CC})
set(CMAKE_CXX_COMPILER ${PVGEN_CROSS_CXX})

# Test programs (and the test discovery that lists their cases) run under the emulator,
# which finds the target's dynamic loader and libraries in the cross library tree.
find_program(PVGEN_QEMU_PPC NAMES qemu-ppc qemu-ppc-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PVGEN_QEMU_PPC} -L ${PVGEN_CROSS_SYSROOT})

# Look for libraries, headers and packages only in the target tree, never on the host;
# programs (code generators, the emulator) come from the host.
set(CMAKE_FIND_ROOT_PATH ${PVGEN_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 32-bit PowerPC has no 8-byte atomic instructions; GCC turns std::atomic on 64-bit words
# (and std::atomic_ref on them) into calls to libatomic. Linked only where such a call is
# actually made.
set(CMAKE_C_STANDARD_LIBRARIES "-Wl,--push-state,--as-needed -latomic -Wl,--pop-state")
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,--push-state,--as-needed -latomic -Wl,--pop-state")
