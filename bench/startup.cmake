# SPDX-License-Identifier: MIT
if(TARGET veilor AND TARGET bare-qt-window)
    veilor_bench(startup_bench SOURCES startup_bench.cpp)
    target_compile_definitions(startup_bench PRIVATE
        VEILOR_BIN="$<TARGET_FILE:veilor>"
        BARE_QT_WINDOW_BIN="$<TARGET_FILE:bare-qt-window>")
    add_dependencies(startup_bench veilor bare-qt-window)
endif()
