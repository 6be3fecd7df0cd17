// SPDX-License-Identifier: MIT
#pragma once
// Reads, without changing anything, whether an application's property list makes it an agent.

#include "platform/framework/folder_item.h"
#include "platform/plist/cfobject.h"

#include <string>

struct AgentFlagReading {
    enum class Status {
        Read,            // a dictionary root; the two values below are nil where absent
        NotApplication,  // neither a folder with Contents/Info.plist nor an "APPL" file
        Unreadable,      // message says why, in the routes' own words
        NoDictionary,    // the property list does not parse to a dictionary
    };
    Status status = Status::NotApplication;
    CFObjectZorpRef nsUIElement;
    CFObjectZorpRef lsUIElement;
    std::string message;
    std::string bundleList;        // a bundle's Info.plist as read, for the judge of its signature
    std::string bundleExecutable;  // its CFBundleExecutable, "" when none
};

AgentFlagReading ReadAgentFlag(const FolderItemRef& item);

// Whether the flag is set: Boolean true, a nonzero number, or the string "true", "YES" or
// "1" (letters in any case).
bool IsTrue(const CFObjectZorpRef& value);
bool RunsAsAgent(const AgentFlagReading& reading);

// The value as a person reads it, ready to print: "true" quoted for a string (its controls and
// quotes escaped), true for a Boolean, 1 for a number.
std::string DescribeValue(const CFObjectZorp& value);
