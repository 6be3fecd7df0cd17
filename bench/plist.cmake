# SPDX-License-Identifier: MIT
# libplist and pugixml, the peers the benchmark measures against; nothing else links them.
find_package(PkgConfig REQUIRED)
find_package(pugixml REQUIRED)
pkg_check_modules(LIBPLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_get_variable(LIBPLIST_INCLUDEDIR libplist-2.0 includedir)

veilor_bench(plist_bench SOURCES plist_bench.cpp LIBS veilor_plist PkgConfig::LIBPLIST pugixml::pugixml)
target_compile_definitions(plist_bench PRIVATE VEILOR_LIBPLIST_HEADER="${LIBPLIST_INCLUDEDIR}/plist/plist.h")
if(NOT VEILOR_SANITIZE)
    # Sanitizers keep their own allocator; counting sits on glibc's.
    target_compile_definitions(plist_bench PRIVATE VEILOR_COUNT_MALLOC)
endif()

# Whole-process peer of tools/plist-roundtrip; bench/roundtrip-compare times the two.
add_executable(libplist-roundtrip libplist_roundtrip.cpp)
target_link_libraries(libplist-roundtrip PRIVATE PkgConfig::LIBPLIST)
