# SPDX-License-Identifier: MIT
veilor_test(plist_readers_test SOURCES plist_readers_test.cpp LIBS veilor_plist)
