# SPDX-License-Identifier: MIT
veilor_test(process_package_test SOURCES process_package_test.cpp LIBS veilor_patcher OpenSSL::Crypto)
