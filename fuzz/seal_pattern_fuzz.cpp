// SPDX-License-Identifier: MIT
// The seal's rule patterns: the first line of the input is compiled, the rest matched against it.
#include "platform/codesign/seal_pattern.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\n');
    const std::optional<SealPattern> pattern = SealPattern::Compile(input.substr(0, split));
    if (!pattern || split == std::string_view::npos) return 0;
    std::size_t budget = std::size_t(1) << 16;
    pattern->Search(input.substr(split + 1), budget);
    return 0;
}
