// SPDX-License-Identifier: MIT
#pragma once
// Whether a developer's CMS signature names every CodeDirectory of its slice, not only the primary one
// its message digest covers: through its hash-agility attributes (the cdhashes plist, and the list
// of digests by algorithm), which macOS checks before it trusts an alternate CodeDirectory.

#include "macho.h"

#include <string_view>
#include <vector>

namespace macho {

// `der` is the CMS message without its blob header. With one CodeDirectory and neither attribute
// there is nothing more to name; with several, an attribute must name each.
bool CmsNamesEveryCodeDirectory(std::string_view der, const std::vector<CodeDirectory>& codeDirectories);

}  // namespace macho
