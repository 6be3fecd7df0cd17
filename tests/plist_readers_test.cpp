// SPDX-License-Identifier: MIT
// The readers beyond the cases CoreFoundation answered (plist_golden_test), which belong there.
#include "file_fixtures.h"
#include "platform/plist/plist.h"
#include "plist_dump.h"

#include <gtest/gtest.h>

namespace {

// The field with its C escapes (\xHH, \n, \t, \r, \0, \\) replaced by the bytes.
std::string Unescape(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        const char e = field.at(++i);
        if (e == 'x') out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16)), i += 2;
        if (e != 'x') out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == '0' ? '\0' : e;
    }
    return out;
}

// What the reader makes of the bytes, in the form the table's results take (see readers.txt).
std::string Read(const std::string& reader, const std::string& bytes, const std::string& expected)
{
    const plist::Format format = reader == "xml"      ? plist::Format::XML
                                 : reader == "binary" ? plist::Format::Binary
                                                      : plist::Format::OpenStep;
    const plist::ParseResult r = plist::Parse(bytes, format);
    if (!r.root) {
        EXPECT_NE(r.error.kind, plist::ErrorKind::None);
        EXPECT_LE(r.error.offset, bytes.size());
        const std::string reason = std::string("refused: ") + plist::Describe(r.error.kind);
        if (expected == "refused" || expected == reason) return expected;
        return reason + " at " + std::to_string(r.error.offset);
    }
    EXPECT_EQ(r.format, format);
    return reader == "xml" ? plist_dump::XmlBody(*r.root) : plist_dump::Dump(r.root);
}

TEST(Readers, ReadOrRefuseEachCaseOfTheTable)
{
    const auto rows = fixtures::TableRows("plist/readers.txt");
    for (const std::vector<std::string>& f : rows) {
        ASSERT_EQ(f.size(), 4u) << f[0];
        const std::string expected = Unescape(f[3]);
        EXPECT_EQ(Read(f[0], Unescape(f[2]), expected), expected) << f[0] << ": " << f[1];
    }
    EXPECT_EQ(rows.size(), 114u) << "a lost or emptied table must not pass";
    const plist::ParseResult uid =
        plist::Parse("<dict><key>CF$UID</key><real>2.7</real></dict>", plist::Format::XML);
    ASSERT_NE(uid.root, nullptr);
    EXPECT_EQ(uid.root->Kind(), CFKind::UID);
}

// Long runs of references and CDATA sections in one string, far from the next tag.
TEST(XmlReader, ExpandsLongRunsOfReferences)
{
    std::string text, expected;
    for (int i = 0; i < 100000; ++i) {
        text += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "&#x41;" : "<![CDATA[<]]>";
        expected += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "A" : "&lt;";
    }
    EXPECT_EQ(Read("xml", "<string>" + text + "</string>", ""), "<string>" + expected + "</string>\n");
}

std::string Nested(int depth, const std::string& open, const std::string& close)
{
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += "<string>core</string>";
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

TEST(Readers, LimitNestingTo512Containers)
{
    const struct {
        const char* what;
        plist::Format format;
        std::string input;
        bool accepted;
    } cases[] = {
        {"512 dictionaries and arrays", plist::Format::XML,
         Nested(256, "<dict><key>k</key><array>", "</array></dict>"), true},
        {"an empty array as the 513th", plist::Format::XML,
         Nested(512, "<array>", "</array>").replace(512 * 7, 21, "<array/>"), false},
        {"100000 arrays", plist::Format::XML, Nested(100000, "<array>", "</array>"), false},
        {"513 arrays", plist::Format::OpenStep, std::string(513, '(') + std::string(513, ')'), false},
        {"deep strings file", plist::Format::OpenStep,
         "a = " + std::string(511, '(') + std::string(511, ')') + ";", true},
        {"too deep strings file", plist::Format::OpenStep,
         "a = " + std::string(512, '(') + std::string(512, ')') + ";", false},
        {"100000 open parentheses", plist::Format::OpenStep, std::string(100000, '('), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(plist::Parse(c.input, c.format).root != nullptr, c.accepted) << c.what;
}

// Failure means no root at all: every proper prefix of a valid list is refused, without a crash.
TEST(XmlReader, RefusesEveryTruncation)
{
    const std::string full =
        "<plist version=\"1.0\"><dict><key>a&amp;b</key><array><string>x<![CDATA[y]]>"
        "</string><integer>-12</integer><real>1.5</real><date>2001-01-01T00:00:00Z</date>"
        "<data>AQID</data><true/><false/><dict/></array></dict></plist>";
    ASSERT_NE(plist::Parse(full, plist::Format::XML).root, nullptr);
    for (std::size_t n = 0; n < full.rfind("</plist>"); ++n)
        EXPECT_EQ(plist::Parse(full.substr(0, n), plist::Format::XML).root, nullptr) << n;
}

// A binary list of the objects, the first on top: offsets 4 bytes wide, references `refSize`.
std::string BigEndian(std::uint64_t v, unsigned size)
{
    std::string out(size, '\0');
    for (unsigned i = 0; i < size; ++i) out[size - 1 - i] = static_cast<char>(v >> (8 * i));
    return out;
}
std::string BinaryList(const std::vector<std::string>& objects, unsigned refSize)
{
    std::string out = "bplist00", table;
    for (const std::string& o : objects) table += BigEndian(out.size(), 4), out += o;
    const std::size_t tableAt = out.size();
    return out + table + std::string(6, '\0') + '\x04' + static_cast<char>(refSize) +
           BigEndian(objects.size(), 8) + BigEndian(0, 8) + BigEndian(tableAt, 8);
}

TEST(BinaryReader, BuildsSharedObjectsOnce)
{
    std::string refs;
    for (int i = 0; i < 2000; ++i) refs += BigEndian(1, 2);
    // An array of 2000 (0xAF, then the count as a 2-byte integer) that holds one string each time.
    plist::ParseResult r = plist::Parse(BinaryList({"\xAF\x11" + BigEndian(2000, 2) + refs, "Vshared"}, 2),
                                        plist::Format::Binary);
    ASSERT_NE(r.root, nullptr) << plist::Describe(r.error.kind);
    const auto items = static_cast<const CFArrayZorp&>(*r.root).Items();
    ASSERT_EQ(items.size(), 2000u);
    for (const CFObjectZorp* item : items) EXPECT_EQ(item, items[0]);
}

TEST(BinaryReader, RefusesSharingThatExpandsFarBeyondTheFile)
{
    const struct {
        const char* name;
        int levels;         // arrays, each holding the next one twice
        std::size_t bytes;  // the data at the bottom
        bool accepted;
    } cases[] = {
        {"10 doublings of small data", 10, 10, true},
        {"60 doublings", 60, 1, false},
        {"64 KiB of data used 1024 times", 10, 65536, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> objects;
        for (int i = 0; i < c.levels; ++i)
            objects.push_back("\xA2" + std::string(2, static_cast<char>(i + 1)));
        objects.push_back("\x4F\x12" + BigEndian(c.bytes, 4) + std::string(c.bytes, 'x'));
        plist::ParseResult r = plist::Parse(BinaryList(objects, 1), plist::Format::Binary);
        EXPECT_EQ(r.root != nullptr, c.accepted) << c.name << ": " << plist::Describe(r.error.kind);
    }
}

}  // namespace

// The readers' UTF-8 check holds to Unicode's table of well-formed sequences, at each edge.
TEST(Readers, TakeExactlyWellFormedUTF8)
{
    const auto read = [](std::string_view text) {
        return plist::Parse("<string>" + std::string(text) + "</string>", plist::Format::XML).root != nullptr;
    };
    for (const std::string_view good :
         {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xEC\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80",
          "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(read(good)) << testing::PrintToString(good);
        EXPECT_EQ(plist::WithInvalidUTF8Replaced(good), good);
    }
    for (const std::string_view bad : {"\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
                                       "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE1\x80", "\xE1\x80\x7F"}) {
        EXPECT_FALSE(read(bad)) << testing::PrintToString(bad);
        EXPECT_NE(plist::WithInvalidUTF8Replaced(bad), bad);
    }
}
