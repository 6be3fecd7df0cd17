// SPDX-License-Identifier: MIT
#include "cms.h"

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

namespace macho {

namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* pointer) const
    {
        Free(pointer);
    }
};
using CmsRef = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
void FreeCertificates(STACK_OF(X509) * stack)
{
    sk_X509_pop_free(stack, X509_free);
}
using CertificatesRef = std::unique_ptr<STACK_OF(X509), Deleter<FreeCertificates>>;

// Apple signs with its whole chain and a timestamp; more than this is no signature of Apple's tools.
constexpr int kMaxCertificates = 32;
constexpr int kMaxDepth = 10;
constexpr std::uint32_t kForceExpiration = 0x400;

// The roots that anchor "anchor apple generic": Apple Root CA, G2, G3, the platform backport roots.
constexpr std::string_view kAppleRoots[] = {
    "B0B1730ECBC7FF4505142C49F1295E6EDA6BCAED7E2C68C5BE91B5A11001F024",
    "C2B9B042DD57830E7D117DAC55AC8AE19407D38E41D88F3215BC3A890444A050",
    "63343ABFB89A6A03EBB57E9B3F5FA7BE7C4F5C756F3017B3A8C488C3653E9179",
    "FB3F6CF69467B5FA9FFA2B3B392B6E5E775BBB09C77B6E759E9038E26BBF9049",
    "EDA23B3F224F45E0952F20E4D2B33E000D49C8044C1168DE47B443CD2B3536DC",
};

// Apple's marker extensions that make a chain a developer's, whose team the CodeDirectory must name.
constexpr const char* kDeveloperLeafMarkers[] = {"1.2.840.113635.100.6.1.2", "1.2.840.113635.100.6.1.12",
                                                 "1.2.840.113635.100.6.1.7", "1.2.840.113635.100.6.1.4"};
constexpr const char* kDeveloperIdLeaf = "1.2.840.113635.100.6.1.13";
constexpr const char* kDeveloperIdIntermediate = "1.2.840.113635.100.6.2.6";

bool HasExtension(X509* certificate, const char* oid)
{
    std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>> object(OBJ_txt2obj(oid, 1));
    return object && X509_get_ext_by_OBJ(certificate, object.get(), -1) >= 0;
}

// A name's first field of that kind, as text that cannot pass for more lines of a report.
std::string NameField(X509_NAME* name, int nid)
{
    const int at = name ? X509_NAME_get_index_by_NID(name, nid, -1) : -1;
    unsigned char* utf8 = nullptr;
    const int length =
        at < 0 ? -1 : ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
    if (length < 0) return {};
    std::string text(reinterpret_cast<const char*>(utf8), std::size_t(std::min(length, 256)));
    OPENSSL_free(utf8);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

std::string CommonName(X509* certificate)
{
    return NameField(X509_get_subject_name(certificate), NID_commonName);
}

bool IsAppleRoot(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return false;
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        static const char kDigits[] = "0123456789ABCDEF";
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    for (std::string_view root : kAppleRoots)
        if (hex == root) return true;
    return false;
}

// Apple's own signing certificates name Apple as their organisation and carry no team in their
// common name, unlike every developer certificate ("Developer ID Application: Name (TEAMID)").
bool IsAppleCertificate(X509* certificate)
{
    return NameField(X509_get_subject_name(certificate), NID_organizationName) == "Apple Inc." &&
           CommonName(certificate).find('(') == std::string::npos;
}

std::optional<std::time_t> TimeOf(const ASN1_TIME* time)
{
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return std::nullopt;
    return timegm(&tm);
}

struct Chain {
    std::vector<X509*> certificates;  // the signer's first; owned by the CMS message's stack
    bool expired = false;
    std::string broken;
};

// The chain from `leaf` through the carried certificates to a self-signed one among them: macOS
// takes any self-signed root there as an anchor, and who it is decides only whose signature it is.
Chain VerifyChain(X509* leaf, STACK_OF(X509) * carried, std::optional<std::time_t> at, bool expiryFatal)
{
    Chain chain;
    std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>> store(X509_STORE_new());
    if (!store) return {{}, false, "certificate chain cannot be checked"};
    for (int i = 0; i < sk_X509_num(carried); ++i) {
        X509* certificate = sk_X509_value(carried, i);
        // Self-issued, whatever its key usage says: a signature that fails is found below.
        if (X509_get_extension_flags(certificate) & EXFLAG_SI) X509_STORE_add_cert(store.get(), certificate);
    }
    const auto attempt = [&](unsigned long extra) {
        std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>> context(X509_STORE_CTX_new());
        if (!context || X509_STORE_CTX_init(context.get(), store.get(), leaf, carried) != 1)
            return X509_V_ERR_UNSPECIFIED;
        // Apple marks its certificates with critical extensions of its own.
        X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_IGNORE_CRITICAL | extra);
        X509_STORE_CTX_set_depth(context.get(), kMaxDepth);
        // A time to check at outweighs the flag not to check any.
        if (at && !(extra & X509_V_FLAG_NO_CHECK_TIME)) X509_STORE_CTX_set_time(context.get(), 0, *at);
        if (X509_verify_cert(context.get()) != 1) return X509_STORE_CTX_get_error(context.get());
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context.get());
        for (int i = 0; i < sk_X509_num(built); ++i)
            for (int n = 0; n < sk_X509_num(carried); ++n)
                if (X509_cmp(sk_X509_value(built, i), sk_X509_value(carried, n)) == 0) {
                    chain.certificates.push_back(sk_X509_value(carried, n));
                    break;
                }
        return X509_V_OK;
    };
    int error = attempt(0);
    if ((error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) && !expiryFatal) {
        chain.expired = true;
        error = attempt(X509_V_FLAG_NO_CHECK_TIME);
    }
    if (error == X509_V_OK && chain.certificates.empty()) error = X509_V_ERR_UNSPECIFIED;
    // Apple's roots are known by their bytes (and some are signed with SHA-1, which a system's
    // policy may refuse); any other root must at least have signed itself.
    X509* root = chain.certificates.empty() ? nullptr : chain.certificates.back();
    if (error == X509_V_OK && !IsAppleRoot(root) && X509_verify(root, X509_get0_pubkey(root)) != 1)
        error = X509_V_ERR_CERT_SIGNATURE_FAILURE;
    if (error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT)
        chain.broken = "certificate chain does not end at a self-signed root";
    else if (error != X509_V_OK)
        chain.broken = std::string("certificate chain broken (") + X509_verify_cert_error_string(error) + ")";
    return chain;
}

struct Timestamp {
    std::optional<std::time_t> at;  // none: no timestamp
    bool appleChain = false;
    std::string broken;
};

// The RFC 3161 token countersigning the signature: its own CMS signature, that it names this
// signature's bytes, and its chain at the time it states.
Timestamp ReadTimestamp(CMS_SignerInfo* signer)
{
    ASN1_OBJECT* oid = OBJ_nid2obj(NID_id_smime_aa_timeStampToken);
    if (CMS_unsigned_get_attr_by_OBJ(signer, oid, -1) < 0) return {};
    Timestamp timestamp{std::time_t(0), false, "timestamp does not hold"};
    // Exactly one token: a second one is no way to make the first one count for less.
    const auto* value =
        static_cast<const ASN1_STRING*>(CMS_unsigned_get0_data_by_OBJ(signer, oid, -3, V_ASN1_SEQUENCE));
    if (!value) return timestamp;
    const unsigned char* p = ASN1_STRING_get0_data(value);
    CmsRef token(d2i_CMS_ContentInfo(nullptr, &p, ASN1_STRING_length(value)));
    CertificatesRef carried(token ? CMS_get1_certs(token.get()) : nullptr);
    if (!carried || sk_X509_num(carried.get()) > kMaxCertificates ||
        CMS_verify(token.get(), nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) !=
            1)
        return timestamp;
    ASN1_OCTET_STRING** content = CMS_get0_content(token.get());
    const unsigned char* q = content && *content ? ASN1_STRING_get0_data(*content) : nullptr;
    std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO_free>> info(
        q ? d2i_TS_TST_INFO(nullptr, &q, ASN1_STRING_length(*content)) : nullptr);
    TS_MSG_IMPRINT* imprint = info ? TS_TST_INFO_get_msg_imprint(info.get()) : nullptr;
    const ASN1_OBJECT* imprintAlgorithm = nullptr;
    if (imprint) X509_ALGOR_get0(&imprintAlgorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    const EVP_MD* md = imprintAlgorithm ? EVP_get_digestbyobj(imprintAlgorithm) : nullptr;
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(signer);
    unsigned char computed[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!md || !signature ||
        EVP_Digest(ASN1_STRING_get0_data(signature), std::size_t(ASN1_STRING_length(signature)), computed,
                   &length, md, nullptr) != 1)
        return timestamp;
    const ASN1_OCTET_STRING* named = TS_MSG_IMPRINT_get_msg(imprint);
    const std::optional<std::time_t> at = TimeOf(TS_TST_INFO_get_time(info.get()));
    if (!at || int(length) != ASN1_STRING_length(named) ||
        std::memcmp(computed, ASN1_STRING_get0_data(named), length) != 0)
        return timestamp;
    STACK_OF(X509)* signers = CMS_get0_signers(token.get());
    X509* authority = signers && sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    if (!authority) return timestamp;
    const Chain chain = VerifyChain(authority, carried.get(), at, true);
    if (!chain.broken.empty()) return timestamp;
    return {at, IsAppleRoot(chain.certificates.back()), {}};
}

// Whether the signer's certificate is a developer's of Apple's, whose team the CodeDirectory names.
bool DeveloperChain(const std::vector<X509*>& chain)
{
    for (const char* marker : kDeveloperLeafMarkers)
        if (HasExtension(chain.front(), marker)) return true;
    if (!HasExtension(chain.front(), kDeveloperIdLeaf)) return false;
    for (std::size_t i = 1; i < chain.size(); ++i)
        if (HasExtension(chain[i], kDeveloperIdIntermediate)) return true;
    return false;
}

void CheckSigner(CMS_ContentInfo* cms, CMS_SignerInfo* signerInfo, const CodeDirectory& primary,
                 Signer& signer)
{
    CertificatesRef carried(CMS_get1_certs(cms));
    if (!carried || sk_X509_num(carried.get()) > kMaxCertificates) {
        signer.broken = "no certificates to check the signature with";
        return;
    }
    X509* leaf = nullptr;
    for (int i = 0; i < sk_X509_num(carried.get()) && !leaf; ++i)
        if (CMS_SignerInfo_cert_cmp(signerInfo, sk_X509_value(carried.get(), i)) == 0)
            leaf = sk_X509_value(carried.get(), i);
    if (!leaf) {
        signer.broken = "no certificate for the signer";
        return;
    }
    signer.name = CommonName(leaf);
    signer.team = NameField(X509_get_subject_name(leaf), NID_organizationalUnitName);
    signer.authorities = {signer.name};
    CMS_SignerInfo_set1_signer_cert(signerInfo, leaf);
    if (CMS_SignerInfo_verify(signerInfo) != 1) {
        signer.broken = "signed attributes do not match their signature";
        return;
    }

    // The chain is judged at the timestamp's time, else at the signer's clock, else now; only a
    // timestamp (or the CodeDirectory's flag) makes an expired certificate fatal.
    const Timestamp timestamp = ReadTimestamp(signerInfo);
    if (!timestamp.broken.empty()) {
        signer.broken = timestamp.broken;
        return;
    }
    signer.timestamped = timestamp.at.has_value();
    std::optional<std::time_t> at = timestamp.at;
    if (!at)
        at = TimeOf(static_cast<const ASN1_TIME*>(
            CMS_signed_get0_data_by_OBJ(signerInfo, OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_UTCTIME)));
    if (!at)
        at = TimeOf(static_cast<const ASN1_TIME*>(CMS_signed_get0_data_by_OBJ(
            signerInfo, OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_GENERALIZEDTIME)));
    const Chain chain =
        VerifyChain(leaf, carried.get(), at, signer.timestamped || (primary.flags & kForceExpiration));
    signer.expired = chain.expired;
    if (!chain.broken.empty()) {
        signer.broken = chain.broken;
        return;
    }
    signer.authorities.clear();
    for (X509* certificate : chain.certificates) signer.authorities.push_back(CommonName(certificate));
    signer.appleChain = IsAppleRoot(chain.certificates.back());
    signer.appleOwn = signer.appleChain && IsAppleCertificate(leaf);
    if (signer.appleChain && signer.timestamped && !timestamp.appleChain)
        signer.broken = "timestamp not from a certificate of Apple's";
    else if (DeveloperChain(chain.certificates) && primary.teamId.value_or("") != signer.team)
        signer.broken = "team ID differs from the certificate's";
}

}  // namespace

CmsFacts ReadCms(std::string_view der, const CodeDirectory& primary)
{
    CmsFacts facts;
    facts.signer.broken = "CMS signature cannot be read";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsRef cms(d2i_CMS_ContentInfo(nullptr, &p, long(der.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return facts;
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (!signers || sk_CMS_SignerInfo_num(signers) != 1) return facts;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    facts.signer.broken.clear();

    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT* algorithm = nullptr;
    if (digestAlgorithm) X509_ALGOR_get0(&algorithm, nullptr, nullptr, digestAlgorithm);
    const EVP_MD* md = algorithm ? EVP_get_digestbyobj(algorithm) : nullptr;
    const auto* digest = static_cast<const ASN1_OCTET_STRING*>(
        CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    unsigned char computed[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (md && digest &&
        EVP_Digest(primary.bytes.data(), primary.bytes.size(), computed, &length, md, nullptr) == 1)
        facts.coversCodeDirectory = int(length) == ASN1_STRING_length(digest) &&
                                    std::memcmp(computed, ASN1_STRING_get0_data(digest), length) == 0;
    CheckSigner(cms.get(), signer, primary, facts.signer);
    return facts;
}

}  // namespace macho
