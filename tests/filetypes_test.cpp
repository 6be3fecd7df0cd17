// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "filetypes/file_type.h"
#include "platform/framework/file_type_registry.h"

#include <gtest/gtest.h>

// A type registers when first used as text, once; a property write withdraws it until the next
// use, which registers the new values; it leaves the registry when it goes.
TEST(FileTypes, RegisterOnUseAndWithdrawOnChange)
{
    ResetFileTypeRegistry();
    fixtures::RecordedCalls calls;
    {
        auto type = std::make_shared<FileType>();
        type->SetName("alpha");
        type->SetMacType("TYPE");
        EXPECT_TRUE(calls.Calls("file type: ").empty());
        EXPECT_EQ(type->Operator_Convert() + type->Operator_Convert(), "alphaalpha");
        type->SetMacType("NEW ");
        EXPECT_TRUE(RegisteredFileTypes().empty());
        type->Operator_Convert();
        ASSERT_EQ(RegisteredFileTypes().size(), 1u);
        EXPECT_EQ(RegisteredFileTypes().front().macType, "NEW ");
    }
    EXPECT_TRUE(RegisteredFileTypes().empty());
    EXPECT_EQ(calls.Calls("file type: "), (std::vector<std::string>{"register alpha", "deregister alpha",
                                                                    "register alpha", "deregister alpha"}));
}
