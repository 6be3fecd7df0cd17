// SPDX-License-Identifier: MIT
// Any fork that reads must write back readable, holding the same resources; a fork we wrote
// is already compact, so writing it again gives the same bytes.

#include "platform/fork/resource_map.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool SameResources(const macfork::ResourceMap& a, const macfork::ResourceMap& b)
{
    if (a.attributes != b.attributes || a.types.size() != b.types.size()) return false;
    for (std::size_t t = 0; t < a.types.size(); ++t) {
        const auto& x = a.types[t];
        const auto& y = b.types[t];
        if (x.code != y.code || x.resources.size() != y.resources.size()) return false;
        for (std::size_t r = 0; r < x.resources.size(); ++r) {
            const auto& p = x.resources[r];
            const auto& q = y.resources[r];
            if (p.id != q.id || p.name != q.name || p.attributes != q.attributes || p.data != q.data)
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto map = macfork::ReadResourceMap(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!map) return 0;
    auto written = macfork::WriteResourceMap(*map);
    if (!written) return 0;  // more than the fields can hold once shared names are spelt out
    auto again = macfork::ReadResourceMap(*written);
    if (!again || !SameResources(*map, *again)) std::abort();
    auto rewritten = macfork::WriteResourceMap(*again);
    if (!rewritten || *rewritten != *written) std::abort();
    return 0;
}
