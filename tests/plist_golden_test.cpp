// SPDX-License-Identifier: MIT
// Every case CoreFoundation itself answered: our reader must accept or refuse each input as CF did,
// and our writer must give CF's XML bytes. Our own inputs are in tests/data/plist/cf-golden; the
// real files of other projects (file-*) are read from the shared folder beside the project.
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

const fs::path kOurs = fs::path(VEILOR_TEST_DATA) / "plist" / "cf-golden";
const fs::path kReal = fixtures::kShared / "cf-golden";
constexpr std::size_t kRealCases = 35 + 33;  // inputs and binary forms of real files

enum class Source { TextInput, BinaryInput, BinaryForm };

struct Case {
    fs::path folder;
    std::string name;
    Source source;
};

bool IsReal(const std::string& name) { return name.starts_with("file-"); }

// One case per input file (split by whether it is binary), and one per binary form (NAME.bin).
std::vector<Case> Cases(Source wanted) {
    std::vector<Case> cases;
    std::vector<fs::directory_entry> entries{fs::directory_iterator(kOurs), fs::directory_iterator()};
    if (fixtures::HaveShared())
        for (const auto& entry : fs::directory_iterator(kReal))
            if (IsReal(entry.path().filename().string())) entries.push_back(entry);
    for (const auto& entry : entries) {
        const fs::path& path = entry.path();
        const std::string name = path.stem().string();
        if (IsReal(name) != (path.parent_path() == kReal)) continue;
        if (path.extension() == ".in") {
            const bool binary = ReadBytes(path).starts_with("bplist0");
            if ((binary ? Source::BinaryInput : Source::TextInput) == wanted) cases.push_back({path.parent_path(), name, wanted});
        } else if (path.extension() == ".bin" && wanted == Source::BinaryForm) {
            cases.push_back({path.parent_path(), name, wanted});
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
    const fs::path base = c.folder / c.name;
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
    const std::size_t all = Cases(Source::TextInput).size() + Cases(Source::BinaryInput).size() +
                            Cases(Source::BinaryForm).size();
    if (!fixtures::HaveShared()) {
        EXPECT_EQ(all, 501u - kRealCases);
        GTEST_SKIP() << fixtures::SharedSkipped(kRealCases);
    }
    EXPECT_EQ(Cases(Source::TextInput).size() + Cases(Source::BinaryInput).size(), 291u);
    EXPECT_EQ(Cases(Source::BinaryForm).size(), 210u);
}

}  // namespace
