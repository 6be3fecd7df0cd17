# SPDX-License-Identifier: MIT
if(TARGET veilor-patch)
    # The signed bundles' executables are crafted with the tests' builder, which signs through libcrypto.
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    veilor_bench(cli_bench SOURCES cli_bench.cpp LIBS OpenSSL::Crypto)
    target_include_directories(cli_bench PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(cli_bench PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
    add_dependencies(cli_bench veilor-patch)
endif()
