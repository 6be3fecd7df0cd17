# SPDX-License-Identifier: MIT
# Crafted executables are signed with libcrypto directly, apart from the library under test.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
veilor_test(macho_test SOURCES macho_test.cpp LIBS veilor_macho OpenSSL::Crypto)
