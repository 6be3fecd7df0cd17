# SPDX-License-Identifier: MIT
# The system interpreter, which the machine setup installs, not a per-user one.
set(Python3_FIND_STRATEGY LOCATION)
set(Python3_ROOT_DIR /usr)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VEILOR_FORK_TOOL ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_appledouble.py)

foreach(name fork_test)
    veilor_test(${name} SOURCES ${name}.cpp LIBS veilor_fork)
    target_compile_definitions(${name} PRIVATE VEILOR_PYTHON="${Python3_EXECUTABLE}"
                               VEILOR_FORK_TOOL="${VEILOR_FORK_TOOL}")
endforeach()

veilor_test(process_res_test SOURCES process_res_test.cpp LIBS veilor_patcher)
target_compile_definitions(process_res_test PRIVATE VEILOR_PYTHON="${Python3_EXECUTABLE}"
                           VEILOR_FORK_TOOL="${VEILOR_FORK_TOOL}")
