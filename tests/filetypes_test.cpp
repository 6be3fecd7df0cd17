// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "filetypes/file_type.h"
#include "filetypes/file_types.h"
#include "framework/file_type_registry.h"
#include "framework/nil_object.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Log = std::vector<std::string>;

std::vector<std::string> Registered()
{
    std::vector<std::string> rows;
    for (const RegisteredFileType& t : RegisteredFileTypes())
        rows.push_back(t.name + " " + t.macCreator + " " + t.macType + " [" + t.extensions + "]");
    return rows;
}

FileTypeRef MakeType(const std::string& name)
{
    auto type = std::make_shared<FileType>();
    type->SetName(name);
    type->SetMacType("TYPE");
    type->SetMacCreator("CRTR");
    return type;
}

}  // namespace

TEST(FileTypes, StartUpRegistersTheFourTypesInTableOrderAndFinalisationWithdrawsThem)
{
    ResetFileTypeRegistry();
    fixtures::RecordedCalls calls;
    FileTypes::_Initialize();
    EXPECT_EQ(calls.Calls("file type: "), (Log{"register text", "register special/application",
                                          "register resource", "register special/folder"}));
    EXPECT_EQ(Registered(), (Log{"text R*ch TEXT []", "special/application ???? APPL []",
                                 "resource RSED rsrc []", "special/folder ???? fold []"}));
    EXPECT_EQ(FileTypes::pText->Name() + " " + FileTypes::pSpecialApplication->Name() + " " +
                  FileTypes::pResource->Name() + " " + FileTypes::pSpecialFolder->Name(),
              "text special/application resource special/folder");

    FileTypes::_Finalize();
    EXPECT_EQ(calls.Calls("file type: "),
              (Log{"register text", "register special/application", "register resource",
                   "register special/folder", "deregister text", "deregister special/application",
                   "deregister resource", "deregister special/folder"}));
    EXPECT_TRUE(RegisteredFileTypes().empty());
    EXPECT_EQ(FileTypes::pText, nullptr);
}

TEST(FileTypes, ConversionAndJoinsRegisterAndJoinWithSemicolons)
{
    struct Case {
        const char* label;
        std::function<std::string(const FileTypeRef& a, const FileTypeRef& b)> run;
        std::string text;
        Log log;
    };
    const Case cases[] = {
        {"convert twice registers once", [](auto& a, auto&) { a->Operator_Convert(); return a->Operator_Convert(); },
         "alpha", {"register alpha"}},
        {"type + type", [](auto& a, auto& b) { return a->Operator_Add(b); }, "alpha;beta", {"register alpha", "register beta"}},
        {"type + type, right", [](auto& a, auto& b) { return a->Operator_AddRight(b); }, "beta;alpha", {"register alpha", "register beta"}},
        {"type + text", [](auto& a, auto&) { return a->Operator_Add(std::string("x/y")); }, "alpha;x/y", {"register alpha"}},
        {"text + type", [](auto& a, auto&) { return a->Operator_AddRight(std::string("x/y")); }, "x/y;alpha", {"register alpha"}},
        {"each property write withdraws",
         [](auto& a, auto&) {
             std::string seen;
             for (auto write : {&FileType::SetExtensions, &FileType::SetMacCreator, &FileType::SetMacType, &FileType::SetName}) {
                 a->Operator_Convert();
                 ((*a).*write)("v");
                 seen += std::to_string(RegisteredFileTypes().size());
             }
             return seen;
         },
         "0000", {"register alpha", "deregister alpha", "register alpha", "deregister alpha", "register alpha",
                  "deregister alpha", "register alpha", "deregister alpha"}},
        {"write on an unregistered type withdraws nothing", [](auto& a, auto&) { a->SetMacType("APPL"); return a->MacType(); },
         "APPL", {}},
        {"registers again with the new values",
         [](auto& a, auto&) { a->Operator_Convert(); a->SetMacType("NEW "); a->Operator_Convert(); return Registered().front(); },
         "alpha CRTR NEW  []", {"register alpha", "deregister alpha", "register alpha"}},
    };
    for (const Case& c : cases) {
        ResetFileTypeRegistry();
        fixtures::RecordedCalls calls;
        FileTypeRef a = MakeType("alpha");
        FileTypeRef b = MakeType("beta");
        EXPECT_EQ(c.run(a, b), c.text) << c.label;
        EXPECT_EQ(calls.Calls("file type: "), c.log) << c.label;
    }

    ResetFileTypeRegistry();
    fixtures::RecordedCalls calls;
    {
        FileTypeRef a = MakeType("alpha");
        a->Operator_Convert();
    }
    EXPECT_EQ(calls.Calls("file type: "), (Log{"register alpha", "deregister alpha"}));
}

TEST(FileTypes, JoiningANilTypeRaises)
{
    ResetFileTypeRegistry();
    fixtures::RecordedCalls calls;
    FileTypeRef a = MakeType("alpha");
    EXPECT_THROW(a->Operator_Add(FileTypeRef()), NilObjectException);
    EXPECT_THROW(a->Operator_AddRight(FileTypeRef()), NilObjectException);
    EXPECT_TRUE(calls.Calls("file type: ").empty());
}
