// SPDX-License-Identifier: MIT
#include "binary_stream.h"

#include "platform/files/fd_io.h"
#include "platform/files/in_place_write.h"

#include <algorithm>
#include <cerrno>
#include <optional>

struct BinaryStream::Impl {
    SharedFd folder;
    std::string name;
    FileIdentity read;  // the file as it was read; the commit replaces only that
    bool writable = false;
    std::int64_t limit = FolderItem::kMaxOpenLength;  // the most it was opened with
    std::string bytes;
    std::int64_t position = 0;
    bool changed = false;
    bool tooLong = false;  // a change past kMaxLength was refused: nothing may be committed
};

BinaryStreamRef BinaryStream::Open(FolderItem::Location location, bool readWrite, FileError& error,
                                   std::int64_t limit)
{
    error = {};
    limit = std::min(limit, kMaxLength);
    if (!location.folder) {
        error = FailedAt(FileStep::Open);
        return nullptr;
    }
    FileRewrite read;
    if ((error = OpenFolder(std::move(location.folder)).ReadWhole(location.name, limit, read, readWrite)))
        return nullptr;

    auto impl = std::make_unique<Impl>();
    impl->folder = std::move(read.folder);
    impl->name = std::move(read.name);
    impl->writable = readWrite;
    impl->limit = limit;
    impl->bytes = std::move(read.bytes);
    impl->read = *read.read;
    return BinaryStreamRef(new BinaryStream(std::move(impl)));
}

BinaryStream::BinaryStream(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

BinaryStream::~BinaryStream() = default;

std::int64_t BinaryStream::Length() const
{
    return static_cast<std::int64_t>(mImpl->bytes.size());
}

void BinaryStream::SetLength(std::int64_t length)
{
    length = std::max<std::int64_t>(length, 0);
    if (length > kMaxLength) {
        mImpl->tooLong = true;
        return;
    }
    if (length == Length()) return;
    mImpl->bytes.resize(static_cast<std::size_t>(length), '\0');
    mImpl->changed = true;
}

std::int64_t BinaryStream::Position() const
{
    return mImpl->position;
}

void BinaryStream::SetPosition(std::int64_t position)
{
    mImpl->position = std::max<std::int64_t>(position, 0);
}

std::string BinaryStream::Read(std::int64_t count)
{
    std::int64_t available = Length() - mImpl->position;
    std::int64_t taken = std::min(count, available);
    if (taken <= 0) return {};
    std::string bytes =
        mImpl->bytes.substr(static_cast<std::size_t>(mImpl->position), static_cast<std::size_t>(taken));
    mImpl->position += taken;
    return bytes;
}

void BinaryStream::Write(const std::string& bytes)
{
    if (bytes.empty()) return;
    std::int64_t end = mImpl->position + static_cast<std::int64_t>(bytes.size());
    if (end > kMaxLength) {
        mImpl->tooLong = true;
        return;
    }
    if (end > Length()) mImpl->bytes.resize(static_cast<std::size_t>(end), '\0');
    mImpl->bytes.replace(static_cast<std::size_t>(mImpl->position), bytes.size(), bytes);
    mImpl->position = end;
    mImpl->changed = true;
}

bool BinaryStream::Changed() const
{
    return mImpl->changed || mImpl->tooLong;
}

FileError BinaryStream::TakeRewrite(FileRewrite& rewrite)
{
    if (mImpl->tooLong) return {FileStep::Write, EFBIG};
    rewrite = {mImpl->folder, mImpl->name, mImpl->read, std::move(mImpl->bytes), mImpl->limit};
    mImpl->bytes.clear();
    mImpl->position = 0;
    mImpl->changed = false;
    return {};
}

FileError BinaryStream::Commit()
{
    if (mImpl->tooLong) return {FileStep::Write, EFBIG};
    if (!mImpl->changed) return {};
    if (!mImpl->writable) return {FileStep::Write, EBADF};
    FileError error = CommitRewrite({mImpl->folder, mImpl->name, mImpl->read, mImpl->bytes, mImpl->limit});
    if (error) return error;
    // What is now on disk is what a later commit replaces.
    std::optional<FileIdentity> now = IdentityAt(mImpl->folder.Get(), mImpl->name);
    if (now) mImpl->read = *now;
    mImpl->changed = false;
    return {};
}
