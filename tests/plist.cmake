# SPDX-License-Identifier: MIT
veilor_test(plist_model_test SOURCES plist_model_test.cpp LIBS veilor_plist)
veilor_test(plist_golden_test SOURCES plist_golden_test.cpp LIBS veilor_plist)
