# SPDX-License-Identifier: MIT
if(TARGET veilor-patch)
    veilor_test(veilor_patch_test SOURCES veilor_patch_test.cpp LIBS veilor_plist veilor_macho veilor_framework OpenSSL::Crypto)
    target_compile_definitions(veilor_patch_test PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
    target_include_directories(veilor_patch_test PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(veilor_patch_test PRIVATE VEILOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(veilor_patch_test veilor-patch)
endif()
if(TARGET veilor-patch)
    # The real veilor-patch killed at random points, then run again.
    veilor_test(crash_test SOURCES crash_test.cpp LIBS veilor_framework OpenSSL::Crypto)
    target_compile_definitions(crash_test PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
    add_dependencies(crash_test veilor-patch)
endif()
