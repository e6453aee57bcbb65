# The exported classes as callers declare them (tests/described/*.h, written from the
# interface documentation rather than from the library's headers): a program built against
# those declarations must load and find every member it names, and each virtual member at
# the slot the declaration gives it. Host and target alike.
#
# The program is built even when a member is missing, so that the tests, not the build,
# report it: the linker leaves names it cannot resolve to the loader, and the loader, told
# to bind everything at start-up (-z now), refuses the program. DescribedMembers.
# EveryNamedMemberIsExported names each missing member.
add_executable(described_members described/described_members.cpp)
target_include_directories(described_members PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/described)
target_link_libraries(described_members PRIVATE quorlcnvpvgen pvgen_platform GTest::gtest
                                                GTest::gtest_main Threads::Threads ${CMAKE_DL_LIBS})
# --export-dynamic keeps an unresolved name in the program's dynamic symbols (without it the
# host's linker would quietly resolve it to address 0).
target_link_options(described_members PRIVATE -Wl,--unresolved-symbols=ignore-in-object-files
                    -Wl,--export-dynamic -Wl,-z,now)
gtest_add_tests(TARGET described_members SOURCES described/described_members.cpp
                TEST_LIST _pvgen_described_tests)
set_tests_properties(${_pvgen_described_tests} PROPERTIES TIMEOUT 60)

add_test(NAME DescribedMembers.EveryNamedMemberIsExported
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DOBJECT=$<TARGET_OBJECTS:described_members>"
                 "-DLIBRARIES=$<TARGET_FILE:quorlcnvpvgen>$<SEMICOLON>$<TARGET_FILE:pvgen_platform>"
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/described/check_resolved.cmake)
set_tests_properties(DescribedMembers.EveryNamedMemberIsExported PROPERTIES TIMEOUT 60)
