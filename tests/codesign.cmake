# SPDX-License-Identifier: MIT
veilor_test(codesign_test SOURCES codesign_test.cpp LIBS veilor_patcher OpenSSL::Crypto)
