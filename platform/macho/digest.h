// SPDX-License-Identifier: MIT
#pragma once
// The hashes a CodeDirectory names by its hash type, through libcrypto.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace macho {

enum HashType : std::uint8_t { kSha1 = 1, kSha256 = 2, kSha256Truncated = 3, kSha384 = 4 };

// The stored size of a hash of that type; 0 for an unknown type.
std::size_t HashSize(std::uint8_t type);

// One context reused for many digests, which matters for thousands of 4 KiB pages.
class Hasher {
public:
    explicit Hasher(std::uint8_t type);  // the type must be known
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    // The digest of `bytes`, truncated to the type's stored size.
    std::string Digest(std::string_view bytes);
    bool Matches(std::string_view bytes, std::string_view expected);

    // The same digest of bytes handed in pieces: Begin, Add each piece in order, then Finish.
    void Begin();
    void Add(std::string_view bytes);
    std::string Finish();

private:
    struct State;
    std::unique_ptr<State> mState;
    std::size_t mSize;
};

// The digest of `bytes` with a hash type (truncated to its stored size).
std::string Digest(std::uint8_t type, std::string_view bytes);

// Bytes as lower-case hexadecimal, as codesign shows a cdhash.
std::string Hex(std::string_view bytes);

}  // namespace macho
