// SPDX-License-Identifier: MIT
// The readers of the servers' and emulators' stores take any bytes; a stream that joins from an
// anchor and its extents splits again, in the same fragment size and no more extents, into
// attributes that join back to it.

#include "platform/fork/stores.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (auto read :
         {macfork::AfpInfoFinderInfo, macfork::NetatalkMetadataFinderInfo, macfork::EmulatorFinderInfo}) {
        auto info = read(bytes);
        if (info && info->size() != 32) std::abort();
    }
    if (size < 3) return 0;
    // The first byte counts the extents, the next two give the anchor's length; the rest is cut so.
    const std::size_t count = data[0] % 17, anchorLength = std::size_t(data[1]) << 8 | data[2];
    std::string_view rest = bytes.substr(3);
    const std::string anchor(rest.substr(0, anchorLength));
    rest.remove_prefix(std::min(rest.size(), anchorLength));
    std::vector<std::string> extents;
    for (std::size_t i = 0; i < count && !rest.empty(); ++i) {
        const std::size_t take = i + 1 == count ? rest.size() : std::min(rest.size(), anchorLength);
        extents.emplace_back(rest.substr(0, take));
        rest.remove_prefix(take);
    }
    auto stream = macfork::JoinStream(anchor, extents);
    if (!stream) return 0;
    auto values = macfork::SplitStream(*stream, anchor.size(), unsigned(extents.size()));
    if (!values || values->empty() || values->size() > extents.size() + 1) std::abort();
    auto again = macfork::JoinStream(values->front(), {values->begin() + 1, values->end()});
    if (!again || *again != *stream) std::abort();
    return 0;
}
