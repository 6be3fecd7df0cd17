// SPDX-License-Identifier: MIT
#pragma once
// The work both routes share: parse a property list, add NSUIElement = "true" when absent,
// serialise the root dictionary back to XML.

#include <optional>
#include <string>

// The new property-list text, or nullopt when the text has no dictionary root (the routes then
// stop silently). A nil result of Edit or XML raises NilObjectException.
std::optional<std::string> WithAgentFlag(const std::string& text);
