// SPDX-License-Identifier: MIT
#pragma once
// A file opened for reading and writing, held whole in memory. Writes change only the stream;
// TakeRewrite hands them over as new content for the file, and Commit puts that in place at once:
// a new file beside the old one, flushed, then renamed over it, so the file holds either the old
// bytes or the new ones, never a mix. A stream released uncommitted leaves the file as it was.

#include "folder_item.h"
#include "platform/files/file_error.h"
#include "platform/files/file_replacement.h"
#include "platform/files/non_copyable.h"

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

    bool Changed() const;
    // The stream's content, taken as the file's new content to be committed now or with others:
    // the stream is left empty and unchanged. Refused (EFBIG) when a write went past kMaxLength,
    // for then the stream lacks what was written.
    FileError TakeRewrite(FileRewrite& rewrite);
    // Puts the content in place now; no error when nothing was changed. A stream opened for
    // reading only, or grown past kMaxLength, fails.
    FileError Commit();

private:
    friend class FolderItem;
    struct Impl;
    explicit BinaryStream(std::unique_ptr<Impl> impl);
    static BinaryStreamRef Open(FolderItem::Location location, bool readWrite, FileError& error,
                                std::int64_t limit);
    std::unique_ptr<Impl> mImpl;
};
