# SPDX-License-Identifier: MIT
if(TARGET veilor-patch)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    veilor_bench(sign_bench SOURCES sign_bench.cpp LIBS OpenSSL::Crypto)
    target_include_directories(sign_bench PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(sign_bench PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
    add_dependencies(sign_bench veilor-patch)
endif()
