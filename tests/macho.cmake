# SPDX-License-Identifier: MIT
# Crafted executables are signed with libcrypto directly, apart from the library under test.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
veilor_test(macho_test SOURCES macho_test.cpp LIBS veilor_macho OpenSSL::Crypto)

# Not a test: writes the crafted executables that seed the macho_fuzz corpus.
add_executable(macho_seeds tools/macho_seeds.cpp)
target_include_directories(macho_seeds PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(macho_seeds PRIVATE OpenSSL::Crypto)
