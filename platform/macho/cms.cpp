// SPDX-License-Identifier: MIT
#include "cms.h"

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

namespace macho {

namespace {

std::string NameField(X509_NAME* name, int nid)
{
    char text[256] = {};
    if (X509_NAME_get_text_by_NID(name, nid, text, sizeof text) < 0) return {};
    return text;
}

// Apple's own signing certificates name Apple as their organisation and carry no team in their
// common name, unlike every developer certificate ("Developer ID Application: Name (TEAMID)").
bool IsAppleCertificate(X509* certificate)
{
    X509_NAME* subject = X509_get_subject_name(certificate);
    return subject && NameField(subject, NID_organizationName) == "Apple Inc." &&
           NameField(subject, NID_commonName).find('(') == std::string::npos;
}

}  // namespace

CmsFacts ReadCms(std::string_view der, std::string_view primaryCodeDirectory)
{
    CmsFacts facts;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &p, long(der.size())), CMS_ContentInfo_free);
    if (!cms) return facts;
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (!signers || sk_CMS_SignerInfo_num(signers) < 1) return facts;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);

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
        EVP_Digest(primaryCodeDirectory.data(), primaryCodeDirectory.size(), computed, &length, md,
                   nullptr) == 1)
        facts.coversCodeDirectory = int(length) == ASN1_STRING_length(digest) &&
                                    std::memcmp(computed, ASN1_STRING_get0_data(digest), length) == 0;

    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> certificates(
        CMS_get1_certs(cms.get()), [](STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); });
    for (int i = 0; certificates && i < sk_X509_num(certificates.get()); ++i) {
        X509* certificate = sk_X509_value(certificates.get(), i);
        if (CMS_SignerInfo_cert_cmp(signer, certificate) == 0)
            facts.appleSigned = IsAppleCertificate(certificate);
    }
    return facts;
}

}  // namespace macho
