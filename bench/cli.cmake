# SPDX-License-Identifier: MIT
if(TARGET veilor-patch)
    veilor_bench(cli_bench SOURCES cli_bench.cpp)
    target_compile_definitions(cli_bench PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
    add_dependencies(cli_bench veilor-patch)
endif()
