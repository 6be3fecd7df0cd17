// SPDX-License-Identifier: MIT
#include "file_types.h"

#include "platform/framework/nil_object.h"

namespace FileTypes {

FileTypeRef pText;
FileTypeRef pSpecialApplication;
FileTypeRef pResource;
FileTypeRef pSpecialFolder;

namespace {

struct Definition {
    FileTypeRef& member;
    const char* name;
    const char* macType;
    const char* macCreator;
};

void Build(const Definition& definition)
{
    definition.member = std::make_shared<FileType>();
    Use(definition.member).SetName(definition.name);
    Use(definition.member).SetExtensions("");
    Use(definition.member).SetMacType(definition.macType);
    Use(definition.member).SetMacCreator(definition.macCreator);
    (void)Use(definition.member).Operator_Convert();
}

}  // namespace

void _Initialize()
{
    Build({pText, "text", "TEXT", "R*ch"});
    Build({pSpecialApplication, "special/application", "APPL", "????"});
    Build({pResource, "resource", "rsrc", "RSED"});
    Build({pSpecialFolder, "special/folder", "fold", "????"});
}

void _Finalize()
{
    pText = nullptr;
    pSpecialApplication = nullptr;
    pResource = nullptr;
    pSpecialFolder = nullptr;
}

}  // namespace FileTypes
