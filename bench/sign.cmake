# SPDX-License-Identifier: MIT
if(TARGET veilor-patch)
    veilor_bench(sign_bench SOURCES sign_bench.cpp)
    target_compile_definitions(sign_bench PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
    add_dependencies(sign_bench veilor-patch)
endif()
