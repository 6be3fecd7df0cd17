// SPDX-License-Identifier: MIT
#include "file_type_registry.h"

#include "call_record.h"

#include <algorithm>
#include <cctype>

namespace {

struct Registry {
    std::vector<RegisteredFileType> types;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

const RegisteredFileType* Find(std::string_view name)
{
    for (const RegisteredFileType& type : TheRegistry().types)
        if (type.name == name) return &type;
    return nullptr;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators)
{
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        std::size_t end = std::min(text.find_first_of(separators), text.size());
        if (end > 0) parts.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return parts;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasExtension(const std::string& fileName, std::string_view extension)
{
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    if (extension.empty() || fileName.size() <= extension.size()) return false;
    std::string_view tail = std::string_view(fileName).substr(fileName.size() - extension.size());
    return fileName[fileName.size() - extension.size() - 1] == '.' && EqualIgnoringCase(tail, extension);
}

// macOS file systems ignore case, so "Tool.APP" is a bundle there too.
bool IsApplicationBundle(const FolderItem& folder)
{
    if (HasExtension(folder.Path().filename().string(), "app")) return true;
    FolderItemRef infoPlist = folder.BundleInfoPlist();
    return infoPlist && infoPlist->Exists();
}

bool Matches(const RegisteredFileType& type, const FolderItem& item)
{
    bool folder = item.Directory();
    if (type.name == "special/application")
        return folder ? IsApplicationBundle(item) : item.MacType() == "APPL";
    if (type.name == "special/folder") return folder;
    if (folder || !item.Exists()) return false;
    if (!type.macType.empty() && type.macType != "????" && item.MacType() == type.macType) return true;
    std::string fileName = item.Path().filename().string();
    for (std::string_view extension : Split(type.extensions, ";,"))
        if (HasExtension(fileName, extension)) return true;
    return false;
}

}  // namespace

void RuntimeRegisterFileType(const std::string& name, const std::string& macCreator,
                             const std::string& macType, const std::string& extensions)
{
    Registry& registry = TheRegistry();
    RuntimeRecordCall("file type: register " + name);
    RegisteredFileType type{name, macCreator, macType, extensions};
    auto existing = std::find_if(registry.types.begin(), registry.types.end(),
                                 [&](const RegisteredFileType& t) { return t.name == name; });
    if (existing != registry.types.end())
        *existing = std::move(type);
    else
        registry.types.push_back(std::move(type));
}

void RuntimeDeregisterFileType(const std::string& name)
{
    Registry& registry = TheRegistry();
    RuntimeRecordCall("file type: deregister " + name);
    std::erase_if(registry.types, [&](const RegisteredFileType& t) { return t.name == name; });
}

std::vector<RegisteredFileType> RegisteredFileTypes()
{
    return TheRegistry().types;
}

void ResetFileTypeRegistry()
{
    TheRegistry() = Registry{};
}

bool FileTypeMatches(std::string_view typeNames, const FolderItem& item)
{
    for (std::string_view name : Split(typeNames, ";")) {
        const RegisteredFileType* type = Find(name);
        if (type && Matches(*type, item)) return true;
    }
    return false;
}
