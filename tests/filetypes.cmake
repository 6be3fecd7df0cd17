# SPDX-License-Identifier: MIT
veilor_test(filetypes_test SOURCES filetypes_test.cpp LIBS veilor_filetypes)
