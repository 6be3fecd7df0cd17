// SPDX-License-Identifier: MIT
// Every case CoreFoundation itself answered (tests/data/plist/cf-golden): our reader must accept or
// refuse each input as CF did, and our writer must give CF's XML bytes.
#include "file_fixtures.h"
#include "plist/plist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using fixtures::ReadBytes;

const fs::path kGolden = fs::path(VEILOR_TEST_DATA) / "plist" / "cf-golden";

enum class Source { TextInput, BinaryInput, BinaryForm };

struct Case {
    std::string name;
    Source source;
};

// One case per input file (split by whether it is binary), and one per binary form (NAME.bin).
std::vector<Case> Cases(Source wanted) {
    std::vector<Case> cases;
    for (const auto& entry : fs::directory_iterator(kGolden)) {
        const fs::path& path = entry.path();
        const std::string name = path.stem().string();
        if (path.extension() == ".in") {
            const bool binary = ReadBytes(path).starts_with("bplist0");
            if ((binary ? Source::BinaryInput : Source::TextInput) == wanted) cases.push_back({name, wanted});
        } else if (path.extension() == ".bin" && wanted == Source::BinaryForm) {
            cases.push_back({name, wanted});
        }
    }
    std::sort(cases.begin(), cases.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
    return cases;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string TestName(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

class CfGolden : public testing::TestWithParam<Case> {};

TEST_P(CfGolden, AgreesWithCoreFoundation) {
    const Case& c = GetParam();
    const fs::path base = kGolden / c.name;
    const std::string input = ReadBytes(base.string() + (c.source == Source::BinaryForm ? ".bin" : ".in"));
    const plist::ParseResult parsed = plist::Parse(input);

    if (fs::exists(base.string() + ".reject")) {
        EXPECT_EQ(parsed.root, nullptr) << "CoreFoundation refused this input";
        return;
    }
    ASSERT_NE(parsed.root, nullptr) << "CoreFoundation read this input; we failed: " << plist::Describe(parsed.error.kind)
                                    << " at byte " << parsed.error.offset;
    const std::optional<std::string> xml = plist::WriteXML(*parsed.root);
    if (fs::exists(base.string() + ".writefail")) {
        EXPECT_FALSE(xml.has_value()) << "CoreFoundation refused to write this tree as XML";
        return;
    }
    ASSERT_TRUE(fs::exists(base.string() + ".xml")) << "case without an expected answer";
    ASSERT_TRUE(xml.has_value());
    EXPECT_EQ(*xml, ReadBytes(base.string() + ".xml"));
}

INSTANTIATE_TEST_SUITE_P(TextInput, CfGolden, testing::ValuesIn(Cases(Source::TextInput)), TestName);
INSTANTIATE_TEST_SUITE_P(BinaryInput, CfGolden, testing::ValuesIn(Cases(Source::BinaryInput)), TestName);
INSTANTIATE_TEST_SUITE_P(BinaryForm, CfGolden, testing::ValuesIn(Cases(Source::BinaryForm)), TestName);

// A missing or emptied data folder must not pass as "no case failed".
TEST(CfGoldenData, HoldsEveryCase) {
    EXPECT_EQ(Cases(Source::TextInput).size() + Cases(Source::BinaryInput).size(), 291u);
    EXPECT_EQ(Cases(Source::BinaryForm).size(), 210u);
}

}  // namespace
