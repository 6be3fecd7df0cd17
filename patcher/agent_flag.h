// SPDX-License-Identifier: MIT
#pragma once
// The work both routes share: parse a property list, add NSUIElement = "true" when absent,
// serialise the root dictionary back to XML when the entry was added.

#include "platform/plist/cfobject.h"

#include <string>

struct AgentFlagEdit {
    enum class Outcome {
        Added,         // text is the new list
        AlreadySet,    // NSUIElement is there: nothing to write
        NoDictionary,  // the list does not parse to a dictionary: nothing to write
    };
    Outcome outcome = Outcome::NoDictionary;
    std::string text;
    std::string executable;  // the root's CFBundleExecutable, when it is a string
};

// A nil result of Edit or XML raises NilObjectException.
AgentFlagEdit WithAgentFlag(const std::string& text);
// The list's CFBundleExecutable, or "" when it has none that is a string.
std::string BundleExecutable(const std::string& text);
std::string BundleExecutable(const CFDictionaryZorp& list);
