// SPDX-License-Identifier: MIT
#pragma once
// Signed applications (copies of the shared samples, bundles around crafted executables) and the three
// ends a road may leave one in, checked by our verifier and by bytes.

#include "file_fixtures.h"
#include "macho_craft.h"

#include "platform/macho/digest.h"
#include "platform/macho/macho.h"
#include "platform/macho/verify.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace signed_bundles {

using namespace fixtures;

inline const fs::path kSamples = kShared / "samples/signed";

// A copy of the sample, modes and times kept, as `into`/NAME.
inline fs::path CopyOf(const std::string& sample, const fs::path& into)
{
    const fs::path copy = into / sample;
    fs::create_directories(into);
    fs::copy(kSamples / sample, copy, fs::copy_options::recursive);
    return copy;
}

// The one file in Contents/MacOS.
inline fs::path ExecutableOf(const fs::path& bundle)
{
    return bundle / "Contents/MacOS" / Listing(bundle / "Contents/MacOS").at(0);
}

// A bundle as Tree describes it.
using Snapshot = std::map<std::string, std::string>;

// What our verifier says of the bundle as it stands.
inline std::string Verdict(const fs::path& bundle)
{
    const std::string executable = ReadBytes(ExecutableOf(bundle)),
                      infoPlist = ReadBytes(bundle / "Contents/Info.plist"),
                      seal = ReadBytes(bundle / "Contents/_CodeSignature/CodeResources");
    const bool sealed = fs::exists(bundle / "Contents/_CodeSignature/CodeResources");
    macho::Result<macho::Verdict> verdict =
        macho::Verify({executable, infoPlist, sealed ? std::optional<std::string_view>(seal) : std::nullopt});
    return verdict ? macho::Describe(*verdict)
                   : std::string("error: ") + macho::Describe(verdict.error().kind);
}

enum class End {
    Resigned,        // Info.plist has the flag, the executable's signature is renewed ad hoc and valid
    ExecutableKept,  // Info.plist has the flag, the executable is as it was
    Untouched,       // not one byte changed
};

// Checks that `bundle`, which was `before`, ended as `end`, and that nothing else changed.
inline void ExpectEnd(const fs::path& bundle, const Snapshot& before, End end)
{
    const Snapshot after = Tree(bundle);
    if (end == End::Untouched) {
        EXPECT_TRUE(after == before) << "the bundle changed";
        return;
    }
    const std::string list = "Contents/Info.plist", executable = fs::relative(ExecutableOf(bundle), bundle);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, described] : after) {
        if (path == list || (path == executable && end == End::Resigned)) continue;
        EXPECT_TRUE(described == before.at(path)) << path << " changed";
    }
    EXPECT_NE(after.at(list).find("<key>NSUIElement</key>"), std::string::npos);
    if (end != End::Resigned) return;

    const std::string& old = before.at(executable);
    const std::string& now = after.at(executable);
    ASSERT_EQ(now.size(), old.size());
    EXPECT_EQ(now.substr(0, now.find(' ')), old.substr(0, old.find(' '))) << "mode";
    const std::string oldBytes = old.substr(old.find(' ') + 1), newBytes = now.substr(now.find(' ') + 1);
    macho::Result<std::vector<macho::Slice>> slices = macho::ReadMachO(oldBytes);
    ASSERT_TRUE(slices);
    for (const macho::Slice& slice : *slices) {
        const std::size_t signedEnd = slice.offset + (slice.signature ? slice.signature->dataOffset : 0);
        EXPECT_TRUE(newBytes.compare(slice.offset, signedEnd - slice.offset, oldBytes, slice.offset,
                                     signedEnd - slice.offset) == 0)
            << "code of the slice at " << slice.offset << " changed";
    }
    EXPECT_EQ(Verdict(bundle), "signature valid (ad hoc)");
}

// The list of a crafted bundle: it names its executable, Tool.
inline const std::string kCraftedPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleExecutable</key>\n\t<string>Tool</string>\n</dict>\n</plist>\n";
inline const std::string kCraftedSeal =
    "<plist version=\"1.0\"><dict><key>files2</key><dict/></dict></plist>\n";

inline std::string Base64(std::string_view bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                    reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
    text.pop_back();
    return text;
}

// A seal's entry for a file of these bytes, as files2 records it.
inline std::string SealedFile(std::string_view bytes, bool optional = false)
{
    return "<dict><key>hash2</key><data>" + Base64(macho::Digest(macho::kSha256, bytes)) + "</data>" +
           (optional ? "<key>optional</key><true/>" : "") + "</dict>";
}

// CodeResources with these files2 entries (path, the entry's XML), and rules2 when given.
inline std::string SealOf(const std::map<std::string, std::string>& entries, const std::string& rules2 = "")
{
    std::string text = "<plist version=\"1.0\"><dict><key>files2</key><dict>";
    for (const auto& [path, entry] : entries) text += "<key>" + path + "</key>" + entry;
    text += "</dict>";
    if (!rules2.empty()) text += "<key>rules2</key>" + rules2;
    return text + "</dict></plist>\n";
}

// BUNDLE/Contents with kCraftedPlist, a seal (kCraftedSeal unless given), and MacOS/Tool crafted
// from `shape`, signed for both, then changed by `damage` when it is given.
inline fs::path CraftedBundle(const fs::path& bundle, craft::Shape shape = {}, mode_t mode = 0755,
                              const std::function<void(craft::Built&)>& damage = {},
                              const std::string& seal = kCraftedSeal)
{
    shape.infoPlist = kCraftedPlist;
    shape.codeResources = seal;
    craft::Built tool = craft::Thin(shape);
    if (damage) damage(tool);
    WriteBytes(bundle / "Contents/Info.plist", kCraftedPlist);
    WriteBytes(bundle / "Contents/_CodeSignature/CodeResources", seal);
    WriteBytes(bundle / "Contents/MacOS/Tool", tool.bytes, mode);
    return bundle;
}

}  // namespace signed_bundles
