// SPDX-License-Identifier: MIT
#pragma once
// Reads, without changing anything, whether an application's property list holds NSUIElement.

#include "framework/folder_item.h"
#include "plist/cfobject.h"

#include <string>

struct AgentFlagReading {
    enum class Status {
        Present,         // value holds the entry's value
        Absent,          // a property list with a dictionary root, without the key
        NotApplication,  // neither a folder with Contents/Info.plist nor an "APPL" file
        Unreadable,      // message says why, in the routes' own words
        NoDictionary,    // the property list does not parse to a dictionary
    };
    Status status = Status::NotApplication;
    CFObjectZorpRef value;
    std::string message;
};

AgentFlagReading ReadAgentFlag(const FolderItemRef& item);

// The value as a person reads it: "true" quoted for a string, true for a Boolean, 1 for a number.
std::string DescribeValue(const CFObjectZorp& value);
