// SPDX-License-Identifier: MIT
#pragma once
// The named file types that drops and the Open dialog accept, and how an item matches one.

#include "folder_item.h"

#include <string>
#include <string_view>
#include <vector>

struct RegisteredFileType {
    std::string name;
    std::string macCreator;
    std::string macType;
    std::string extensions;  // ";" or "," between them, with or without the leading dot
};

// Registers the type under its name; a name registered again takes the new values in place.
// Each call is recorded ("file type: register NAME", "file type: deregister NAME").
void RuntimeRegisterFileType(const std::string& name, const std::string& macCreator,
                             const std::string& macType, const std::string& extensions);
void RuntimeDeregisterFileType(const std::string& name);

// What is registered, in registration order.
std::vector<RegisteredFileType> RegisteredFileTypes();

// Forgets every registration; for tests.
void ResetFileTypeRegistry();

// True when the item is of one of the registered types named in `typeNames` (";" between
// names). "special/application": a folder named "*.app" or holding Contents/Info.plist, or a
// file of type "APPL"; "special/folder": any folder; any other type: a file of its type code or
// of one of its extensions. A name that is not registered matches nothing.
bool FileTypeMatches(std::string_view typeNames, const FolderItem& item);
