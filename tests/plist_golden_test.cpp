// SPDX-License-Identifier: MIT
// Every case CoreFoundation itself answered, accepted or refused as CF did and written as CF's XML bytes.
// Other projects' real files (file-*) are read from the shared folder.
#include "file_fixtures.h"
#include "platform/plist/plist.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

namespace fs = std::filesystem;
using fixtures::ReadBytes;

const fs::path kOurs = fs::path(VEILOR_TEST_DATA) / "plist" / "cf-golden";
const fs::path kReal = fixtures::kShared / "cf-golden";
constexpr std::size_t kRealCases = 35 + 33;  // inputs and binary forms of real files

// One case per input (NAME.in) and one per binary form of it (NAME.bin), without the extension's dot.
std::vector<std::string> Cases()
{
    std::vector<std::string> cases;
    for (const fs::path& folder : {kOurs, kReal}) {
        if (folder == kReal && !fixtures::HaveShared()) continue;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const fs::path& path = entry.path();
            if (path.stem().string().starts_with("file-") != (folder == kReal)) continue;
            if (path.extension() == ".in" || path.extension() == ".bin")
                cases.push_back((folder / path.stem()).string() + path.extension().string());
        }
    }
    std::sort(cases.begin(), cases.end());
    return cases;
}

std::string TestName(const testing::TestParamInfo<std::string>& info)
{
    std::string name = fs::path(info.param).filename().string();
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

class CfGolden : public testing::TestWithParam<std::string> {};

TEST_P(CfGolden, AgreesWithCoreFoundation)
{
    const fs::path input = GetParam();
    const std::string base = (input.parent_path() / input.stem()).string();
    const plist::ParseResult parsed = plist::Parse(ReadBytes(input));
    if (fs::exists(base + ".reject")) {
        EXPECT_EQ(parsed.root, nullptr) << "CoreFoundation refused this input";
        return;
    }
    ASSERT_NE(parsed.root, nullptr) << "CoreFoundation read this input; we failed: "
                                    << plist::Describe(parsed.error.kind) << " at byte "
                                    << parsed.error.offset;
    const std::optional<std::string> xml = plist::WriteXML(*parsed.root);
    if (fs::exists(base + ".writefail")) {
        EXPECT_FALSE(xml.has_value()) << "CoreFoundation refused to write this tree as XML";
        return;
    }
    ASSERT_TRUE(fs::exists(base + ".xml")) << "case without an expected answer";
    EXPECT_EQ(xml, ReadBytes(base + ".xml"));
}

INSTANTIATE_TEST_SUITE_P(Cases, CfGolden, testing::ValuesIn(Cases()), TestName);

// A missing or emptied data folder must not pass as "no case failed".
TEST(CfGoldenData, HoldsEveryCase)
{
    if (!fixtures::HaveShared()) {
        EXPECT_EQ(Cases().size(), 501u - kRealCases);
        GTEST_SKIP() << fixtures::SharedSkipped(kRealCases);
    }
    EXPECT_EQ(Cases().size(), 501u);
}

}  // namespace
