// SPDX-License-Identifier: MIT
// Any executable that reads must verify without fault; where the re-signer agrees to re-sign, the result
// must be valid ad hoc, the same length, and need no second re-sign. Where signing from scratch
// succeeds, the result must be valid ad hoc, and a second signing must change nothing.

#include "platform/macho/resign.h"
#include "platform/macho/sign.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Not the Info.plist our seeds were signed with, so that a valid seed needs a re-sign.
    const std::string infoPlist = "<plist><dict><key>NSUIElement</key><string>true</string></dict></plist>\n";
    const std::string codeResources = "<plist><dict/></plist>";
    const macho::BundleFiles files{bytes, infoPlist,
                                   size % 2 ? std::optional<std::string_view>(codeResources) : std::nullopt};
    const macho::SignRequest request{"org.example.fuzz", infoPlist, codeResources};
    if (macho::Result<macho::SignedCode> signedCode = macho::SignAdHoc(bytes, request)) {
        macho::Result<macho::Verdict> fresh = macho::Verify({signedCode->bytes, infoPlist, codeResources});
        if (!fresh || fresh->state != macho::State::Valid || !fresh->adhoc) std::abort();
        macho::Result<macho::SignedCode> again = macho::SignAdHoc(signedCode->bytes, request);
        if (!again || again->bytes != signedCode->bytes) std::abort();
    }
    macho::Result<macho::Verdict> verdict = macho::Verify(files);
    if (!verdict) return 0;
    (void)macho::Describe(*verdict);
    const macho::BundleFacts facts{[inside = size % 3 == 0] { return inside; }, true};
    macho::Result<macho::Resigned> resigned = macho::ResignAdHoc(files, facts);
    if (!resigned) std::abort();  // it read once, so it reads again
    (void)macho::Describe(resigned->decision);
    if (resigned->decision.action != macho::Action::Resign) return 0;
    std::string executable(bytes);
    resigned->ApplyTo(executable);
    if (executable.size() != size) std::abort();

    macho::BundleFiles after = files;
    after.executable = executable;
    macho::Result<macho::Verdict> now = macho::Verify(after);
    if (!now || now->state != macho::State::Valid || !now->adhoc) std::abort();
    macho::Result<macho::Resigned> again = macho::ResignAdHoc(after, facts);
    if (!again || again->decision.action != macho::Action::LeaveAlone) std::abort();
    return 0;
}
