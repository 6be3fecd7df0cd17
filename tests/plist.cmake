# SPDX-License-Identifier: MIT
veilor_test(plist_model_test SOURCES plist_model_test.cpp LIBS veilor_plist)
veilor_test(plist_xml_reader_test SOURCES plist_xml_reader_test.cpp LIBS veilor_plist)
veilor_test(plist_xml_writer_test SOURCES plist_xml_writer_test.cpp LIBS veilor_plist)
veilor_test(plist_golden_test SOURCES plist_golden_test.cpp LIBS veilor_plist)
veilor_test(plist_roundtrip_tool_test SOURCES plist_roundtrip_tool_test.cpp)
target_compile_definitions(plist_roundtrip_tool_test PRIVATE PLIST_ROUNDTRIP="$<TARGET_FILE:plist-roundtrip>")
add_dependencies(plist_roundtrip_tool_test plist-roundtrip)
