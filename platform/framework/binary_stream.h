// SPDX-License-Identifier: MIT
#pragma once
// A file opened for reading and writing. Writes are kept and committed when the stream is
// released (or by Commit): a new file beside the old one, flushed, then renamed over it, so the
// file holds either the old bytes or the new ones, never a mix.

#include "folder_item.h"
#include "non_copyable.h"

#include <cstdint>
#include <memory>
#include <string>

class BinaryStream : NonCopyable {
public:
    ~BinaryStream();

    // The largest content a stream holds: what one Read with a 32-bit count can take.
    static constexpr std::int64_t kMaxLength = 0x7FFFFFFF;

    std::int64_t Length() const;
    void SetLength(std::int64_t length);  // truncates or zero-extends
    std::int64_t Position() const;
    void SetPosition(std::int64_t position);

    std::string Read(std::int64_t count);  // raw bytes, no text encoding
    void Write(const std::string& bytes);  // at Position, zero-filling any gap before it

    // True when the file now holds what was written (or nothing was changed). After a failure
    // the file keeps its old content and the stream commits nothing more, also on release.
    bool Commit();

private:
    friend class FolderItem;
    struct Impl;
    explicit BinaryStream(std::unique_ptr<Impl> impl);
    static BinaryStreamRef Open(FolderItem::Location location, bool readWrite);
    std::unique_ptr<Impl> mImpl;
};
