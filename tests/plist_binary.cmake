# SPDX-License-Identifier: MIT
veilor_test(plist_binary_reader_test SOURCES plist_binary_reader_test.cpp LIBS veilor_plist)
veilor_test(plist_openstep_reader_test SOURCES plist_openstep_reader_test.cpp LIBS veilor_plist)
