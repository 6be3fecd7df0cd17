// SPDX-License-Identifier: MIT
// Any fork that reads must write back readable, holding the same resources; a fork we wrote
// is already compact, so writing it again gives the same bytes.

#include "platform/fork/resource_map.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>

namespace {

bool SameResources(const macfork::ResourceMap& a, const macfork::ResourceMap& b)
{
    const auto sameResource = [](const macfork::Resource& p, const macfork::Resource& q) {
        return std::tie(p.id, p.name, p.attributes, p.data) == std::tie(q.id, q.name, q.attributes, q.data);
    };
    return a.attributes == b.attributes &&
           std::equal(a.types.begin(), a.types.end(), b.types.begin(), b.types.end(), [&](auto& x, auto& y) {
               return x.code == y.code && std::equal(x.resources.begin(), x.resources.end(),
                                                     y.resources.begin(), y.resources.end(), sameResource);
           });
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
