// SPDX-License-Identifier: MIT
#pragma once
// Mach-O files of our own, signed the way the format describes, with the offsets of the parts a test
// damages. Hashes and CMS signatures come from libcrypto, not from the library under test.

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace craft {

inline void Put(std::string& out, std::uint64_t value, int width, bool bigEndian)
{
    for (int i = 0; i < width; ++i) {
        const int shift = bigEndian ? (width - 1 - i) * 8 : i * 8;
        out.push_back(static_cast<char>((value >> shift) & 0xff));
    }
}
inline void Put32(std::string& out, std::uint64_t value)
{
    Put(out, value, 4, true);
}
inline void Set32(std::string& out, std::size_t at, std::uint32_t value, bool bigEndian = true)
{
    std::string bytes;
    Put(bytes, value, 4, bigEndian);
    out.replace(at, 4, bytes);
}
inline std::string Padded(std::string_view text, std::size_t size)
{
    std::string out(text);
    out.resize(size, '\0');
    return out;
}

inline std::string Hash(int type, std::string_view bytes)
{
    const EVP_MD* md = type == 1 ? EVP_sha1() : type == 4 ? EVP_sha384() : EVP_sha256();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr);
    return std::string(reinterpret_cast<const char*>(out), type == 3 ? 20 : length);
}

inline std::string Blob(std::uint32_t magic, std::string_view payload)
{
    std::string out;
    Put32(out, magic);
    Put32(out, payload.size() + 8);
    return out + std::string(payload);
}

inline const std::string kEmptyRequirements = Blob(0xfade0c01, std::string(4, '\0'));

// Who signs a crafted CMS signature, and how it is damaged.
struct Signing {
    std::string organisation = "Example Corp";
    std::string commonName = "Developer ID Application: Example (ABCDE12345)";
    std::string unit = "ABCDE12345";  // the signer's OU
    std::string marker;               // an Apple marker extension on the signer's certificate
    int intermediates = -1;           // authorities between the signer and the root; -1: self-signed
    bool carryRoot = true;
    bool badIntermediate = false;      // the intermediate signed by a key that is not its issuer's
    long validFor = 3600;              // seconds from now; negative: expired
    bool otherContent = false;         // signs other bytes than the CodeDirectory
    bool tamperAttributes = false;     // a signed attribute added after signing
    std::optional<long> timestampAt;   // a timestamp by a self-signed authority, seconds from now
    bool timestampOtherBytes = false;  // a timestamp of another signature's bytes
};

enum class Role { Authority, Signer, TimestampAuthority };

using KeyRef = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertificateRef = std::unique_ptr<X509, decltype(&X509_free)>;

// A certificate of `key` named CN `commonName` (and O, OU), issued by `issuer` (itself when null).
inline CertificateRef Certificate(const std::string& commonName, const Signing& signing, EVP_PKEY* key,
                                  X509* issuer, EVP_PKEY* issuerKey, Role role)
{
    const bool authority = role != Role::Signer;
    CertificateRef certificate(X509_new(), X509_free);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()),
                    authority ? -7200 : std::min(-7200L, signing.validFor - 60));
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), authority ? 3600 : signing.validFor);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const std::pair<const char*, std::string> fields[] = {
        {"CN", commonName}, {"OU", authority ? "Authority" : signing.unit}, {"O", signing.organisation}};
    for (const auto& [field, text] : fields)
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(text.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(certificate.get(), key);
    const auto extend = [&](X509_EXTENSION* extension) {
        X509_add_ext(certificate.get(), extension, -1);
        X509_EXTENSION_free(extension);
    };
    if (role == Role::Authority)
        extend(X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE"));
    if (role == Role::TimestampAuthority)
        extend(X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage, "critical,timeStamping"));
    if (!authority && !signing.marker.empty()) {
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> oid(OBJ_txt2obj(signing.marker.c_str(), 1),
                                                                      ASN1_OBJECT_free);
        std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> null(ASN1_OCTET_STRING_new(),
                                                                                   ASN1_OCTET_STRING_free);
        ASN1_OCTET_STRING_set(null.get(), reinterpret_cast<const unsigned char*>("\x05\x00"), 2);
        extend(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 1, null.get()));
    }
    X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256());
    return certificate;
}

// An RFC 3161 token over the signature's value, as an unsigned attribute.
inline void AddTimestamp(CMS_ContentInfo* cms, const Signing& signing)
{
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    const std::string imprint =
        Hash(2, std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                            std::size_t(ASN1_STRING_length(value))) +
                    (signing.timestampOtherBytes ? "!" : ""));
    KeyRef key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    CertificateRef authority = Certificate("Example Timestamp Authority", signing, key.get(), nullptr,
                                           nullptr, Role::TimestampAuthority);
    std::unique_ptr<TS_RESP_CTX, decltype(&TS_RESP_CTX_free)> context(TS_RESP_CTX_new(), TS_RESP_CTX_free);
    TS_RESP_CTX_set_signer_cert(context.get(), authority.get());
    TS_RESP_CTX_set_signer_key(context.get(), key.get());
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> policy(OBJ_txt2obj("1.2.3.4", 1),
                                                                     ASN1_OBJECT_free);
    TS_RESP_CTX_set_def_policy(context.get(), policy.get());
    TS_RESP_CTX_add_md(context.get(), EVP_sha256());
    static long at;
    at = long(std::time(nullptr)) + *signing.timestampAt;
    TS_RESP_CTX_set_time_cb(
        context.get(),
        [](TS_RESP_CTX*, void*, long* seconds, long* micro) {
            *seconds = at, *micro = 0;
            return 1;
        },
        nullptr);
    // The request in DER: version 1, the SHA-256 imprint, and the authority's certificate asked for.
    const std::string request = std::string("\x30\x39\x02\x01\x01\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65"
                                            "\x03\x04\x02\x01\x05\x00\x04\x20",
                                            24) +
                                imprint + std::string("\x01\x01\xff", 3);
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(request.data(), int(request.size())),
                                                 BIO_free);
    std::unique_ptr<TS_RESP, decltype(&TS_RESP_free)> response(
        TS_RESP_create_response(context.get(), in.get()), TS_RESP_free);
    PKCS7* token = response ? TS_RESP_get_token(response.get()) : nullptr;
    unsigned char* der = nullptr;
    const int length = token ? i2d_PKCS7(token, &der) : -1;
    if (length <= 0) std::abort();
    CMS_unsigned_add1_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, der, length);
    OPENSSL_free(der);
}

// The DER of one value of the CMS attribute that names every CodeDirectory by digest (CDHashes2):
// SEQUENCE { digest OID, full-length cdhash }.
inline std::string CdHashByDigest(int hashType, std::string_view codeDirectory)
{
    const std::string oid = hashType == 1   ? std::string("\x2b\x0e\x03\x02\x1a", 5)
                            : hashType == 4 ? std::string("\x60\x86\x48\x01\x65\x03\x04\x02\x02", 9)
                                            : std::string("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
    const std::string hash = Hash(hashType == 3 ? 2 : hashType, codeDirectory);
    std::string inner = "\x06" + std::string(1, char(oid.size())) + oid + "\x04" + char(hash.size()) + hash;
    return "\x30" + std::string(1, char(inner.size())) + inner;
}

// A detached CMS signature over `content` (the primary CodeDirectory) by the signing's certificate,
// with its chain, naming each of `codeDirectories` (hash type, blob) by digest.
inline std::string Cms(std::string_view content, const Signing& signing,
                       const std::vector<std::pair<int, std::string>>& codeDirectories = {})
{
    const auto fresh = [] { return KeyRef(EVP_EC_gen("P-256"), EVP_PKEY_free); };
    std::vector<KeyRef> keys;
    std::vector<CertificateRef> chain;  // the root first
    for (int i = 0; i <= signing.intermediates; ++i) {
        keys.push_back(fresh());
        const bool root = i == 0;
        KeyRef stranger = fresh();
        EVP_PKEY* issuerKey = root                                ? nullptr
                              : signing.badIntermediate && i == 1 ? stranger.get()
                                                                  : keys[i - 1].get();
        chain.push_back(Certificate(root ? "Example Root CA" : "Example CA " + std::to_string(i), signing,
                                    keys.back().get(), root ? nullptr : chain.back().get(), issuerKey,
                                    Role::Authority));
    }
    KeyRef key = fresh();
    const bool selfSigned = signing.intermediates < 0;
    CertificateRef leaf =
        Certificate(signing.commonName, signing, key.get(), selfSigned ? nullptr : chain.back().get(),
                    selfSigned ? nullptr : keys.back().get(), Role::Signer);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> carried(
        sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_free(stack); });
    for (std::size_t i = 0; !selfSigned && i < chain.size(); ++i)
        if (i > 0 || signing.carryRoot) sk_X509_push(carried.get(), chain[i].get());
    const std::string signedBytes = std::string(content) + (signing.otherContent ? "!" : "");
    std::unique_ptr<BIO, decltype(&BIO_free)> data(
        BIO_new_mem_buf(signedBytes.data(), int(signedBytes.size())), BIO_free);
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        CMS_sign(leaf.get(), key.get(), carried.get(), nullptr, flags | CMS_PARTIAL), CMS_ContentInfo_free);
    if (!cms) std::abort();
    if (!codeDirectories.empty()) {
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> oid(
            OBJ_txt2obj("1.2.840.113635.100.9.2", 1), ASN1_OBJECT_free);
        std::unique_ptr<X509_ATTRIBUTE, decltype(&X509_ATTRIBUTE_free)> attribute(
            X509_ATTRIBUTE_create_by_OBJ(nullptr, oid.get(), 0, nullptr, -1), X509_ATTRIBUTE_free);
        for (const auto& [type, bytes] : codeDirectories) {
            const std::string value = CdHashByDigest(type, bytes);
            X509_ATTRIBUTE_set1_data(attribute.get(), V_ASN1_SEQUENCE, value.data(), int(value.size()));
        }
        CMS_signed_add1_attr(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), attribute.get());
    }
    if (!CMS_final(cms.get(), data.get(), nullptr, flags)) std::abort();
    if (cms && signing.tamperAttributes)
        CMS_signed_add1_attr_by_txt(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), "1.2.3.4",
                                    V_ASN1_OCTET_STRING, "x", 1);
    if (cms && signing.timestampAt) AddTimestamp(cms.get(), signing);
    unsigned char* der = nullptr;
    const int length = cms ? i2d_CMS_ContentInfo(cms.get(), &der) : -1;
    if (length <= 0) std::abort();
    std::string out(reinterpret_cast<const char*>(der), std::size_t(length));
    OPENSSL_free(der);
    return out;
}

struct CodeDirectoryShape {
    int hashType = 2;
    std::uint32_t version = 0x20400;
    std::uint32_t flags = 0x2;  // ad hoc
    std::uint8_t platform = 0;
    std::uint8_t pageSize = 12;
    std::string team;  // none when empty (and below version 0x20200)
};

enum class Wrapper { None, Empty, Developer, Apple };

struct Shape {
    bool is64 = true, bigEndian = false;
    std::uint32_t cpuType = 0;                // 0: arm64, or i386 for 32 bits
    std::uint32_t codeSize = 3 * 4096 + 200;  // bytes before the signature
    bool signature = true;
    bool linker = false;  // no special slots, no blobs but the CodeDirectory
    std::vector<CodeDirectoryShape> codeDirectories = {{}};
    std::string infoPlist = "<plist><dict/></plist>\n";  // bound in slot -1 unless empty
    std::string codeResources;                           // bound in slot -3 unless empty
    std::string entitlements;                            // XML entitlements blob unless empty
    bool requirements = true;                            // an empty requirement set
    bool constraint = false;                             // a launch-constraint blob
    Wrapper wrapper = Wrapper::Empty;
    Signing signing;  // of a developer's wrapper
    bool encrypted = false;
    std::string embeddedPlist;  // a __TEXT,__info_plist section unless empty
    std::uint32_t padding = 4096;
};

struct Built {
    std::string bytes;
    std::size_t segmentCommand = 0, linkEditCommand = 0, signatureCommand = 0, encryptionCommand = 0,
                section = 0;
    std::size_t dataOffset = 0, superBlob = 0;  // from the start of the slice
    std::vector<std::size_t> codeDirectories;   // from the start of the slice
};

inline std::uint32_t HeaderSize(std::uint32_t version)
{
    for (const auto& [from, size] : {std::pair{0x20600u, 108u},
                                     {0x20500u, 96u},
                                     {0x20400u, 88u},
                                     {0x20300u, 64u},
                                     {0x20200u, 52u},
                                     {0x20100u, 48u}})
        if (version >= from) return size;
    return 44;
}

inline std::string CodeDirectory(const CodeDirectoryShape& cd, std::string_view code,
                                 const std::vector<std::pair<std::uint32_t, std::string>>& specials)
{
    const std::uint32_t hashSize = std::uint32_t(Hash(cd.hashType, "").size());
    std::uint32_t nSpecial = 0;
    for (const auto& [slot, bytes] : specials) nSpecial = std::max(nSpecial, slot);
    // Page size 0: the code is one page.
    const std::size_t page =
        cd.pageSize ? std::size_t(1) << cd.pageSize : std::max<std::size_t>(code.size(), 1);
    const std::uint32_t nCode = std::uint32_t((code.size() + page - 1) / page);
    const std::string identifier = "org.example.crafted";
    const bool team = !cd.team.empty() && cd.version >= 0x20200;
    const std::uint32_t header = HeaderSize(cd.version), identOffset = header;
    const std::uint32_t teamOffset = team ? identOffset + std::uint32_t(identifier.size()) + 1 : 0;
    const std::uint32_t hashOffset = (team ? teamOffset + std::uint32_t(cd.team.size()) + 1
                                           : identOffset + std::uint32_t(identifier.size()) + 1) +
                                     nSpecial * hashSize;
    std::string out;
    for (std::uint64_t field :
         {std::uint64_t(0xfade0c02), std::uint64_t(hashOffset + nCode * hashSize), std::uint64_t(cd.version),
          std::uint64_t(cd.flags), std::uint64_t(hashOffset), std::uint64_t(identOffset),
          std::uint64_t(nSpecial), std::uint64_t(nCode), std::uint64_t(code.size())})
        Put32(out, field);
    for (std::uint8_t b : {std::uint8_t(hashSize), std::uint8_t(cd.hashType), cd.platform, cd.pageSize})
        out.push_back(char(b));
    out.resize(header, '\0');
    if (cd.version >= 0x20200) Set32(out, 48, teamOffset);
    if (cd.version >= 0x20400) {
        out.replace(72, 8, std::string("\0\0\0\0\0\0\x10\0", 8));  // execSegLimit
        out[87] = 1;                                               // main binary
    }
    if (cd.version >= 0x20500) Set32(out, 88, 0x000b0000);  // runtime version
    out += identifier + '\0';
    if (team) out += cd.team + '\0';
    for (std::uint32_t n = nSpecial; n >= 1; --n) {
        std::string hash(hashSize, '\0');
        for (const auto& [slot, bytes] : specials)
            if (slot == n) hash = Hash(cd.hashType, bytes);
        out += hash;
    }
    for (std::uint32_t i = 0; i < nCode; ++i) out += Hash(cd.hashType, code.substr(i * page, page));
    return out;
}

inline std::string SuperBlob(std::vector<std::pair<std::uint32_t, std::string>> blobs)
{
    std::string index, data, out;
    const std::size_t start = 12 + 8 * blobs.size();
    for (const auto& [type, bytes] : blobs) {
        Put32(index, type);
        Put32(index, start + data.size());
        data += bytes;
    }
    Put32(out, 0xfade0cc0);
    Put32(out, start + data.size());
    Put32(out, blobs.size());
    return out + index + data;
}

// The SuperBlob for `code`: CodeDirectories, the blobs the shape names and its wrapper, in type order.
inline std::string Signature(const Shape& shape, std::string_view code,
                             std::vector<std::size_t>* codeDirectories = nullptr)
{
    std::vector<std::pair<std::uint32_t, std::string>> blobs, specials;
    if (!shape.linker) {
        if (!shape.infoPlist.empty()) specials.emplace_back(1, shape.infoPlist);
        if (shape.requirements) specials.emplace_back(2, kEmptyRequirements);
        if (!shape.codeResources.empty()) specials.emplace_back(3, shape.codeResources);
        if (!shape.entitlements.empty()) specials.emplace_back(5, Blob(0xfade7171, shape.entitlements));
        if (shape.constraint) specials.emplace_back(8, Blob(0xfade8181, std::string(8, '\x30')));
    }
    for (std::size_t i = 0; i < shape.codeDirectories.size(); ++i)
        blobs.emplace_back(i == 0 ? 0 : 0x1000 + i - 1,
                           CodeDirectory(shape.codeDirectories[i], code, specials));
    for (const auto& [slot, bytes] : specials)
        if (slot != 1 && slot != 3) blobs.emplace_back(slot, bytes);
    if (shape.wrapper == Wrapper::Empty) blobs.emplace_back(0x10000, Blob(0xfade0b01, ""));
    if (shape.wrapper == Wrapper::Developer || shape.wrapper == Wrapper::Apple) {
        Signing signing = shape.signing;
        if (shape.wrapper == Wrapper::Apple)
            signing.organisation = "Apple Inc.", signing.commonName = "Software Signing";
        std::vector<std::pair<int, std::string>> named;
        for (std::size_t i = 0; i < shape.codeDirectories.size(); ++i)
            named.emplace_back(shape.codeDirectories[i].hashType, blobs[i].second);
        blobs.emplace_back(0x10000, Blob(0xfade0b01, Cms(blobs.front().second, signing, named)));
    }
    std::stable_sort(blobs.begin(), blobs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t at = 12 + 8 * blobs.size();
    for (const auto& [type, bytes] : blobs) {
        if (codeDirectories && (type == 0 || (type >= 0x1000 && type < 0x1005)))
            codeDirectories->push_back(at);
        at += bytes.size();
    }
    return SuperBlob(blobs);
}

inline Built Thin(const Shape& shape)
{
    Built built;
    const bool be = shape.bigEndian;
    std::string& out = built.bytes;
    const std::uint32_t segment = shape.is64 ? 72 : 56, section = shape.is64 ? 80 : 68;
    const bool plistSection = !shape.embeddedPlist.empty();
    const std::uint32_t segmentSize = segment + (plistSection ? section : 0);
    // A signed slice ends in __LINKEDIT, which holds the signature.
    const std::uint32_t commands =
        segmentSize + (shape.signature ? segment + 16 : 0) + (shape.encrypted ? (shape.is64 ? 24 : 20) : 0);
    const std::uint32_t ncmds = 1 + 2 * shape.signature + shape.encrypted;
    const std::uint32_t plistAt = 0x800;
    for (std::uint64_t field : {std::uint64_t(shape.is64 ? 0xfeedfacf : 0xfeedface),
                                std::uint64_t(shape.cpuType ? shape.cpuType
                                              : shape.is64  ? 0x0100000c
                                                            : 7),
                                std::uint64_t(0), std::uint64_t(2), std::uint64_t(ncmds),
                                std::uint64_t(commands), std::uint64_t(0)})
        Put(out, field, 4, be);
    if (shape.is64) Put(out, 0, 4, be);

    built.segmentCommand = out.size();
    Put(out, shape.is64 ? 0x19 : 0x1, 4, be);
    Put(out, segmentSize, 4, be);
    out += Padded("__TEXT", 16);
    const int wide = shape.is64 ? 8 : 4;
    for (std::uint64_t field : {0u, shape.codeSize, 0u, shape.codeSize}) Put(out, field, wide, be);
    for (std::uint64_t field : {5u, 5u, plistSection ? 1u : 0u, 0u}) Put(out, field, 4, be);
    if (plistSection) {
        built.section = out.size();
        out += Padded("__info_plist", 16) + Padded("__TEXT", 16);
        Put(out, plistAt, wide, be);
        Put(out, shape.embeddedPlist.size(), wide, be);
        for (std::uint64_t field : {plistAt, 0u, 0u, 0u, 0u, 0u, 0u}) Put(out, field, 4, be);
        if (shape.is64) Put(out, 0, 4, be);
    }
    const std::uint32_t dataOffset = (shape.codeSize + 15) & ~15u;
    built.dataOffset = dataOffset;
    if (shape.signature) {
        built.linkEditCommand = out.size();
        Put(out, shape.is64 ? 0x19 : 0x1, 4, be);
        Put(out, segment, 4, be);
        out += Padded("__LINKEDIT", 16);
        for (std::uint64_t field : {dataOffset, 0u, dataOffset, 0u})
            Put(out, field, wide, be);  // sizes below
        for (std::uint64_t field : {1u, 1u, 0u, 0u}) Put(out, field, 4, be);
        built.signatureCommand = out.size();
        for (std::uint64_t field : {0x1du, 16u, dataOffset, 0u}) Put(out, field, 4, be);
    }
    if (shape.encrypted) {
        built.encryptionCommand = out.size();
        Put(out, shape.is64 ? 0x2c : 0x21, 4, be);
        Put(out, shape.is64 ? 24 : 20, 4, be);
        for (std::uint64_t field : {4096u, 4096u, 1u}) Put(out, field, 4, be);
        if (shape.is64) Put(out, 0, 4, be);
    }
    // Counting bytes for code, so that a page moved or changed hashes differently.
    while (out.size() < dataOffset) out.push_back(static_cast<char>(out.size() * 7 + 1));
    if (plistSection) out.replace(plistAt, shape.embeddedPlist.size(), shape.embeddedPlist);
    if (!shape.signature) return built;

    // The signature's size is in page 0, so it is settled (with room for a CMS of another length)
    // before the code is hashed.
    const bool cms = shape.wrapper == Wrapper::Developer || shape.wrapper == Wrapper::Apple;
    const std::uint32_t dataSize =
        std::uint32_t(Signature(shape, out).size()) + shape.padding + (cms ? 64 : 0);
    std::string size, wideSize;
    Put(size, dataSize, 4, be);
    Put(wideSize, dataSize, wide, be);
    out.replace(built.signatureCommand + 12, 4, size);
    for (int field : {1, 3}) out.replace(built.linkEditCommand + 24 + field * wide, wide, wideSize);
    const std::string signature = Signature(shape, out, &built.codeDirectories);
    for (std::size_t& at : built.codeDirectories) at += dataOffset;
    built.superBlob = dataOffset;
    out += Padded(signature, dataSize);
    return built;
}

// A universal file of the slices, each at a 4 KiB boundary, the last one ending the file; each entry
// names the cputype of its slice's header.
inline std::string Fat(const std::vector<std::string>& slices, bool wide = false, bool bigEndian = true)
{
    std::string out;
    Put(out, wide ? 0xcafebabf : 0xcafebabe, 4, bigEndian);
    Put(out, slices.size(), 4, bigEndian);
    std::uint64_t at = 4096;
    std::string body;
    for (const std::string& slice : slices) {
        const bool sliceBig = slice.size() >= 8 && slice[0] == '\xfe';
        std::uint64_t cpu = 0;
        for (int i = 0; i < 4 && slice.size() >= 8; ++i)
            cpu |= std::uint64_t(static_cast<unsigned char>(slice[4 + i])) << (sliceBig ? 24 - 8 * i : 8 * i);
        for (std::uint64_t field : {cpu, std::uint64_t(0)}) Put(out, field, 4, bigEndian);
        Put(out, at, wide ? 8 : 4, bigEndian);
        Put(out, slice.size(), wide ? 8 : 4, bigEndian);
        Put(out, 12, 4, bigEndian);
        if (wide) Put(out, 0, 4, bigEndian);
        const bool last = &slice == &slices.back();
        body += Padded(slice, last ? slice.size() : (slice.size() + 4095) & ~std::size_t(4095));
        at += (slice.size() + 4095) & ~std::size_t(4095);
    }
    return Padded(out, 4096) + body;
}

}  // namespace craft
