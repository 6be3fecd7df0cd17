// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "filetypes/file_type.h"
#include "framework/file_type_registry.h"
#include "framework/nil_object.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Log = std::vector<std::string>;

FileTypeRef MakeType(const std::string& name)
{
    auto type = std::make_shared<FileType>();
    type->SetName(name);
    type->SetMacType("TYPE");
    return type;
}

}  // namespace

// A type registers when first used as text, a property write withdraws it until the next use,
// and it leaves the registry when it goes.
TEST(FileTypes, RegisterOnUseWithdrawOnChangeAndJoinWithSemicolons)
{
    const struct {
        const char* label;
        std::function<std::string(const FileTypeRef& a, const FileTypeRef& b)> run;
        std::string text;
        Log log;
    } cases[] = {
        {"convert twice registers once", [](auto& a, auto&) { a->Operator_Convert(); return a->Operator_Convert(); },
         "alpha", {"register alpha"}},
        {"type + type", [](auto& a, auto& b) { return a->Operator_Add(b); }, "alpha;beta", {"register alpha", "register beta"}},
        {"text + type", [](auto& a, auto&) { return a->Operator_AddRight(std::string("x/y")); }, "x/y;alpha", {"register alpha"}},
        {"a write on an unregistered type withdraws nothing", [](auto& a, auto&) { a->SetMacType("APPL"); return a->MacType(); },
         "APPL", {}},
        {"registers again with the new values",
         [](auto& a, auto&) {
             a->Operator_Convert();
             a->SetMacType("NEW ");
             const std::size_t between = RegisteredFileTypes().size();
             a->Operator_Convert();
             return std::to_string(between) + " " + RegisteredFileTypes().front().macType;
         },
         "0 NEW ", {"register alpha", "deregister alpha", "register alpha"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ResetFileTypeRegistry();
        fixtures::RecordedCalls calls;
        {
            FileTypeRef a = MakeType("alpha"), b = MakeType("beta");
            EXPECT_EQ(c.run(a, b), c.text);
            EXPECT_EQ(calls.Calls("file type: "), c.log);
        }
        EXPECT_TRUE(RegisteredFileTypes().empty());
    }
    EXPECT_THROW(MakeType("alpha")->Operator_Add(FileTypeRef()), NilObjectException);
}
