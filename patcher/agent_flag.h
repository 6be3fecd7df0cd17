// SPDX-License-Identifier: MIT
#pragma once
// The work both routes share: parse a property list, add NSUIElement = "true" when absent,
// serialise the root dictionary back to XML when the entry was added.

#include <optional>
#include <string>

// The new property-list text, or nullopt when there is nothing to write: the text has no
// dictionary root, or it holds NSUIElement already (the routes then stop silently). A nil
// result of Edit or XML raises NilObjectException.
std::optional<std::string> WithAgentFlag(const std::string& text);
