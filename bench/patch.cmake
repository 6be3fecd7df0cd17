# SPDX-License-Identifier: MIT
veilor_bench(patch_bench SOURCES patch_bench.cpp LIBS veilor_patcher)
target_compile_definitions(patch_bench PRIVATE VEILOR_SAMPLE_PLIST="${PROJECT_SOURCE_DIR}/tests/data/patcher/typical-4k.plist")
