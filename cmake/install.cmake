# What `cmake --install` puts under the prefix (GNUInstallDirs):
#   lib/      libquorlcnvpvgen.so.1.0.0 (+ .so.1, .so), the platform stand-in library
#             libpvgen_platform.so.1, the simulated engine libpvgen_sim.so, the recorder
#             libpvgen_record.so, pkg-config files
#             and the CMake package quorlcnvpvgen
#   include/  quorl_cnv_pvgen.h (C interface), quorlcnvpvgen/ (the exported C++ classes),
#             pvgen_platform/ (OS wrapper and framework stand-ins), pvgen_sim.h
#   bin/      pvgen-run, pvgen-sim, pvgen-stress, pvgen-rec, pvgen-record, pvgen-explore
#   lib/pvgen-controlled/  the controlled platform pvgen-explore preloads (same SONAME as the
#             platform stand-in, so it lives in a folder of its own) and pvgen-scenario, the
#             runner of scenario files that pvgen-explore starts
#   share/    the tools' man pages; README, CHANGELOG and what the README and the public
#             header point at (docs/, bench/RESULTS.md, the headers at their source paths),
#             so that every link of the installed README resolves
# Nothing installed names the build tree: libraries and tools find each other through
# $ORIGIN-relative run paths and the tools find the simulator relative to themselves.
include(CMakePackageConfigHelpers)

set(PVGEN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorlcnvpvgen)
set(PVGEN_CLASS_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/quorlcnvpvgen)
set(PVGEN_PLATFORM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/pvgen_platform)

# Run paths of the installed files: libraries find each other in their own folder, the tools
# find them in the library folder.
set_target_properties(quorlcnvpvgen pvgen_platform pvgen_sim pvgen_record PROPERTIES
                      INSTALL_RPATH "$ORIGIN")
set_target_properties(pvgen-run pvgen-sim pvgen-stress pvgen-rec pvgen-record PROPERTIES
                      INSTALL_RPATH "$ORIGIN/${PVGEN_LIBDIR_FROM_BINDIR}")

target_include_directories(quorlcnvpvgen INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${PVGEN_CLASS_INCLUDEDIR}>)
target_include_directories(pvgen_platform INTERFACE
  $<INSTALL_INTERFACE:${PVGEN_PLATFORM_INCLUDEDIR}>)
target_include_directories(pvgen_sim INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS quorlcnvpvgen pvgen_platform pvgen_sim
        EXPORT quorlcnvpvgenTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development)
install(TARGETS pvgen-run pvgen-sim pvgen-stress pvgen-rec pvgen-record
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT runtime)
# The recorder is preloaded, never linked: it is no part of the CMake package.
install(TARGETS pvgen_record LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
if(TARGET pvgen-explore)
  install(TARGETS pvgen-explore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(TARGETS pvgen_platform_controlled
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/pvgen-controlled COMPONENT runtime
                  NAMELINK_SKIP)
  # The runner of scenario files, a helper that only pvgen-explore starts.
  set_target_properties(pvgen-scenario PROPERTIES INSTALL_RPATH "$ORIGIN/..")
  install(TARGETS pvgen-scenario RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/pvgen-controlled
          COMPONENT runtime)
endif()

# Headers. The exported classes' headers are what a C++ program needs to call their members;
# they include the platform's headers, installed beside them.
set(_pvgen_src ${PROJECT_SOURCE_DIR}/middleware/quorl/quorl_cnv)
install(FILES ${_pvgen_src}/include/quorl_cnv_pvgen.h ${PROJECT_SOURCE_DIR}/sim/include/pvgen_sim.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_channel.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_commonmethod.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_control.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_driver.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_lookup.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_observer.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_observer_wrapper.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_pending.h
          ${_pvgen_src}/src/pvgen/quorl_cnv_pvgen_records.h
          ${_pvgen_src}/src/pvgen/quorl_signal.h
        DESTINATION ${PVGEN_CLASS_INCLUDEDIR} COMPONENT development)
install(FILES
          ${PROJECT_SOURCE_DIR}/platform/include/osw.h
          ${PROJECT_SOURCE_DIR}/platform/include/platform_capture.h
          ${PROJECT_SOURCE_DIR}/platform/include/thread_annotations.h
        DESTINATION ${PVGEN_PLATFORM_INCLUDEDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/norvane/framework.h
        DESTINATION ${PVGEN_PLATFORM_INCLUDEDIR}/norvane COMPONENT development)

# The CMake package: find_package(quorlcnvpvgen CONFIG) gives quorlcnvpvgen::quorlcnvpvgen,
# quorlcnvpvgen::pvgen_platform and quorlcnvpvgen::pvgen_sim.
install(EXPORT quorlcnvpvgenTargets NAMESPACE quorlcnvpvgen:: DESTINATION ${PVGEN_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quorlcnvpvgenConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quorlcnvpvgenConfig.cmake INSTALL_DESTINATION ${PVGEN_CMAKE_DIR})
# Same major version: compatible (the SONAME changes only with the major version).
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quorlcnvpvgenConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorlcnvpvgenConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/quorlcnvpvgenConfigVersion.cmake
        DESTINATION ${PVGEN_CMAKE_DIR} COMPONENT development)

# pkg-config modules, relative to the installed file (${pcfiledir}), so the tree can move.
file(RELATIVE_PATH PVGEN_PC_PREFIX_FROM_PCDIR
     ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PVGEN_PC_PREFIX_FROM_PCDIR "${PVGEN_PC_PREFIX_FROM_PCDIR}")
foreach(pc libquorlcnvpvgen libpvgen_sim)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endforeach()

# The tools' man pages, written by hand (tools/man); the version is filled in here.
set(_pvgen_man_pages "")
set(_pvgen_man_tools pvgen-run pvgen-sim pvgen-stress pvgen-rec pvgen-record)
if(TARGET pvgen-explore)
  list(APPEND _pvgen_man_tools pvgen-explore)
endif()
foreach(tool ${_pvgen_man_tools})
  configure_file(${PROJECT_SOURCE_DIR}/tools/man/${tool}.1.in
                 ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1 @ONLY)
  list(APPEND _pvgen_man_pages ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
endforeach()
install(FILES ${_pvgen_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
# The documents, laid out as in the source tree so that the README's links resolve.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/docs/decisions.md ${PROJECT_SOURCE_DIR}/docs/equivalence.md
              ${PROJECT_SOURCE_DIR}/docs/fuzzing.md ${PROJECT_SOURCE_DIR}/docs/stress-runs.md
              ${PROJECT_SOURCE_DIR}/docs/recording.md ${PROJECT_SOURCE_DIR}/docs/explore.md
              ${PROJECT_SOURCE_DIR}/docs/timeline.png
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/bench/RESULTS.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/bench COMPONENT runtime)
install(FILES ${_pvgen_src}/include/quorl_cnv_pvgen.h
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/middleware/quorl/quorl_cnv/include COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/sim/include/pvgen_sim.h
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/sim/include COMPONENT runtime)
