// SPDX-License-Identifier: MIT
#include "hash_agility.h"

#include "digest.h"

#include "platform/plist/plist.h"

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

namespace macho {

namespace {

constexpr const char* kCdHashesPlist = "1.2.840.113635.100.9.1";
constexpr const char* kCdHashesByDigest = "1.2.840.113635.100.9.2";

// The DER encodings of the digest OIDs the second attribute names; SHA-256 stands for both of its types.
std::string_view DigestOid(std::uint8_t hashType)
{
    using namespace std::string_view_literals;
    switch (hashType) {
    case kSha1: return "\x2b\x0e\x03\x02\x1a"sv;
    case kSha256:
    case kSha256Truncated: return "\x60\x86\x48\x01\x65\x03\x04\x02\x01"sv;
    case kSha384: return "\x60\x86\x48\x01\x65\x03\x04\x02\x02"sv;
    }
    return {};
}

// One DER element at the start of `der` with tag `tag`: its contents, and `der` moved past it.
std::optional<std::string_view> Element(std::string_view& der, unsigned char tag)
{
    if (der.size() < 2 || static_cast<unsigned char>(der[0]) != tag) return std::nullopt;
    std::size_t length = static_cast<unsigned char>(der[1]), header = 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | static_cast<unsigned char>(der[2 + i]);
        header += bytes;
    }
    if (length > der.size() - header) return std::nullopt;
    const std::string_view contents = der.substr(header, length);
    der.remove_prefix(header + length);
    return contents;
}

std::string_view Contents(const ASN1_STRING* string)
{
    return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(string)),
            std::size_t(ASN1_STRING_length(string))};
}

// Every value { digest OID, full cdhash } must be one CodeDirectory's, one value each.
bool NamedByDigest(X509_ATTRIBUTE* attribute, const std::vector<CodeDirectory>& codeDirectories)
{
    const int count = X509_ATTRIBUTE_count(attribute);
    if (count < 0 || std::size_t(count) != codeDirectories.size()) return false;
    std::vector<bool> named(codeDirectories.size(), false);
    for (int i = 0; i < count; ++i) {
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, i);
        if (!value || value->type != V_ASN1_SEQUENCE) return false;
        std::string_view der = Contents(value->value.sequence);
        std::optional<std::string_view> sequence = Element(der, 0x30);
        if (!sequence || !der.empty()) return false;
        std::optional<std::string_view> oid = Element(*sequence, 0x06);
        std::optional<std::string_view> hash = oid ? Element(*sequence, 0x04) : std::nullopt;
        if (!hash) return false;
        bool found = false;
        for (std::size_t n = 0; n < codeDirectories.size() && !found; ++n) {
            const CodeDirectory& cd = codeDirectories[n];
            const std::uint8_t full = cd.hashType == kSha256Truncated ? std::uint8_t(kSha256) : cd.hashType;
            found = !named[n] && DigestOid(cd.hashType) == *oid && Digest(full, cd.bytes) == *hash;
            if (found) named[n] = true;
        }
        if (!found) return false;
    }
    return true;
}

// The plist { cdhashes = [data...] }: every CodeDirectory's cdhash, in ascending hash-type order.
bool NamedInPlist(X509_ATTRIBUTE* attribute, const std::vector<CodeDirectory>& codeDirectories)
{
    const ASN1_TYPE* value =
        X509_ATTRIBUTE_count(attribute) == 1 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    if (!value || value->type != V_ASN1_OCTET_STRING) return false;
    const plist::ParseResult parsed = plist::Parse(Contents(value->value.octet_string));
    const CFDictionaryZorpRef root = plist::AsDictionary(parsed.root);
    const CFObjectZorp* list = root ? root->Find("cdhashes") : nullptr;
    if (!list || list->Kind() != CFKind::Array) return false;
    std::vector<const CodeDirectory*> ordered;
    for (const CodeDirectory& cd : codeDirectories) ordered.push_back(&cd);
    std::stable_sort(ordered.begin(), ordered.end(), [](const CodeDirectory* a, const CodeDirectory* b) {
        return a->hashType < b->hashType;
    });
    const auto items = static_cast<const CFArrayZorp&>(*list).Items();
    if (items.size() != ordered.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i]->Kind() != CFKind::Data ||
            static_cast<const CFBinaryDataZorp&>(*items[i]).Bytes() != CdHash(*ordered[i]))
            return false;
    return true;
}

}  // namespace

bool CmsNamesEveryCodeDirectory(std::string_view der, const std::vector<CodeDirectory>& codeDirectories)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &p, long(der.size())), CMS_ContentInfo_free);
    STACK_OF(CMS_SignerInfo)* signers = cms ? CMS_get0_SignerInfos(cms.get()) : nullptr;
    if (!signers || sk_CMS_SignerInfo_num(signers) != 1) return false;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);

    bool present = false;
    for (const auto& [oid, check] :
         {std::pair{kCdHashesPlist, &NamedInPlist}, std::pair{kCdHashesByDigest, &NamedByDigest}}) {
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(oid, 1),
                                                                         ASN1_OBJECT_free);
        const int at = object ? CMS_signed_get_attr_by_OBJ(signer, object.get(), -1) : -1;
        if (at < 0) continue;
        // An attribute given twice is a second answer to the same question.
        if (CMS_signed_get_attr_by_OBJ(signer, object.get(), at) >= 0) return false;
        if (!check(CMS_signed_get_attr(signer, at), codeDirectories)) return false;
        present = true;
    }
    return present || codeDirectories.size() == 1;
}

}  // namespace macho
