// SPDX-License-Identifier: MIT
#include "digest.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace macho {

namespace {

const char* AlgorithmName(std::uint8_t type)
{
    switch (type) {
    case kSha1: return "SHA1";
    case kSha256:
    case kSha256Truncated: return "SHA256";
    case kSha384: return "SHA384";
    default: return nullptr;
    }
}

}  // namespace

std::size_t HashSize(std::uint8_t type)
{
    switch (type) {
    case kSha1: return 20;
    case kSha256: return 32;
    case kSha256Truncated: return 20;
    case kSha384: return 48;
    default: return 0;
    }
}

struct Hasher::State {
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md{nullptr, EVP_MD_free};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{nullptr, EVP_MD_CTX_free};
};

Hasher::Hasher(std::uint8_t type) : mState(std::make_unique<State>()), mSize(HashSize(type))
{
    mState->md.reset(EVP_MD_fetch(nullptr, AlgorithmName(type), nullptr));
    mState->context.reset(EVP_MD_CTX_new());
    // Without a hash there is no safe answer to give: a missing algorithm is a broken installation.
    if (!mState->md || !mState->context) std::abort();
}

Hasher::~Hasher() = default;

std::string Hasher::Digest(std::string_view bytes)
{
    Begin();
    Add(bytes);
    return Finish();
}

void Hasher::Begin()
{
    if (EVP_DigestInit_ex2(mState->context.get(), mState->md.get(), nullptr) != 1) std::abort();
}

void Hasher::Add(std::string_view bytes)
{
    if (EVP_DigestUpdate(mState->context.get(), bytes.data(), bytes.size()) != 1) std::abort();
}

std::string Hasher::Finish()
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(mState->context.get(), out, &length) != 1 || length < mSize) std::abort();
    return std::string(reinterpret_cast<const char*>(out), mSize);
}

bool Hasher::Matches(std::string_view bytes, std::string_view expected)
{
    return Digest(bytes) == expected;
}

std::string Digest(std::uint8_t type, std::string_view bytes)
{
    return Hasher(type).Digest(bytes);
}

std::string Hex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

}  // namespace macho
