# SPDX-License-Identifier: MIT
if(TARGET veilor_app)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    veilor_test(veilor_gui_test
        SOURCES gui_test.cpp
        LIBS veilor_app Qt6::Test OpenSSL::Crypto)
    if(TARGET veilor-patch)
        target_compile_definitions(veilor_gui_test PRIVATE VEILOR_PATCH_BIN="$<TARGET_FILE:veilor-patch>")
        add_dependencies(veilor_gui_test veilor-patch)
    endif()
    veilor_test(veilor_process_test
        SOURCES veilor_process_test.cpp
        LIBS veilor_app)
    target_compile_definitions(veilor_process_test PRIVATE VEILOR_BINARY="$<TARGET_FILE:veilor>")
    add_dependencies(veilor_process_test veilor)
endif()
