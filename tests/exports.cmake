# The library's dynamic symbols are exactly the five C functions and the members of its
# classes in namespace norvane (plus the framework's uctracef, whose body it supplies): no
# helper and no standard library instantiation leaks, and no member that callers use is
# missing because it was inline. Host and target alike (the target's nm reads the target's
# library; the list is the same on both).
add_test(NAME Exports.LibraryExportsExactlyItsInterface
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:quorlcnvpvgen>
                 -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/exports/libquorlcnvpvgen.symbols
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_exports.cmake)
set_tests_properties(Exports.LibraryExportsExactlyItsInterface PROPERTIES TIMEOUT 60)
