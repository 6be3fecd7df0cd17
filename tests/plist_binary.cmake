veilor_test(plist_binary_reader_test SOURCES plist_binary_reader_test.cpp LIBS veilor_plist)
veilor_test(plist_openstep_reader_test SOURCES plist_openstep_reader_test.cpp LIBS veilor_plist)

# Python's plistlib writes the cross-check's inputs; the system interpreter, as the machine setup installs it.
set(Python3_FIND_STRATEGY LOCATION)
set(Python3_ROOT_DIR /usr)
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
    veilor_test(plist_crosscheck_test SOURCES plist_crosscheck_test.cpp LIBS veilor_plist)
    target_compile_definitions(plist_crosscheck_test PRIVATE VEILOR_PYTHON="${Python3_EXECUTABLE}"
                               VEILOR_PLIST_TREES="${CMAKE_CURRENT_SOURCE_DIR}/tools/plist_trees.py")
endif()
