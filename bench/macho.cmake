# SPDX-License-Identifier: MIT
# The executable is crafted with the tests' builder, which signs through libcrypto directly.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
veilor_bench(macho_bench SOURCES macho_bench.cpp LIBS veilor_macho OpenSSL::Crypto)
