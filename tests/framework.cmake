# SPDX-License-Identifier: MIT
veilor_test(framework_files_test SOURCES framework_files_test.cpp LIBS veilor_framework)
veilor_test(zorp_plugin_test SOURCES zorp_plugin_test.cpp LIBS veilor_framework)
veilor_test(file_type_registry_test SOURCES file_type_registry_test.cpp LIBS veilor_framework)
veilor_test(file_commit_test SOURCES file_commit_test.cpp LIBS veilor_framework)
veilor_test(printable_test SOURCES printable_test.cpp LIBS veilor_framework)
