#include "engine/pages/sqlmem_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

constexpr int kCodeStreamCopyRead = 10146;
constexpr int kCodeStreamCopyWrite = 10147;
constexpr int kCodeSaveBlockSizeZero = 10418;
constexpr int kCodeLoadBlockSizeZero = 10419;
constexpr int kCodeCannotOpenFile = 10081;
constexpr int kCodeCannotCreateTemporaryFile = 10127;

// Puts a stream back to a position when the scope ends, also when a copy throws.
class PositionKeeper {
  public:
    explicit PositionKeeper(TSQLMemStream& stream)
        : stream_(stream), position_(stream.Position()) {}
    PositionKeeper(const PositionKeeper&) = delete;
    PositionKeeper& operator=(const PositionKeeper&) = delete;
    ~PositionKeeper() { (void)stream_.SetPosition(position_); }

  private:
    TSQLMemStream& stream_;
    int64_t position_;
};

[[noreturn]] void ThrowShortRead(TSQLMemStream& stream, int64_t block, int64_t read) {
    throw ESQLMemException::Formatted(
        kCodeStreamCopyRead,
        "Cannot read from stream. Position = " + std::to_string(stream.Position()) +
            ", Stream size = " + std::to_string(stream.Size()) +
            ", Block size = " + std::to_string(block) + ", Bytes Read = " + std::to_string(read));
}

// Repeats a positioned read or write until all bytes moved, the call fails or nothing
// more moves; interrupted calls are tried again.
template <typename Transfer>
size_t WholeTransfer(size_t size, int64_t offset, Transfer transfer) {
    size_t done = 0;
    while (done < size) {
        const ssize_t step =
            transfer(done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (step < 0 && errno == EINTR) continue;
        if (step <= 0) break;
        done += static_cast<size_t>(step);
    }
    return done;
}

}  // namespace

// ---- TSQLMemStream ----

bool TSQLMemStream::DoProgress(int percent_done) {
    bool abort = false;
    if (OnProgress) OnProgress(*this, percent_done, abort);
    return !abort;
}

bool TSQLMemStream::CopyBlocks(TSQLMemStream& from, TSQLMemStream& to, int64_t count,
                               int32_t block_size) {
    std::vector<std::byte> block(static_cast<size_t>(std::min<int64_t>(block_size, count)));
    int64_t done = 0;
    while (done < count) {
        const auto piece = static_cast<size_t>(std::min<int64_t>(block_size, count - done));
        std::span<std::byte> bytes(block.data(), piece);
        LoadDataFromStream(from, bytes, kCodeStreamCopyRead);
        SaveDataToStream(to, bytes, kCodeStreamCopyWrite);
        done += static_cast<int64_t>(piece);
        if (!DoProgress(static_cast<int>(done * 100 / count))) return false;
    }
    return DoProgress(100);
}

bool TSQLMemStream::SaveToStream(TSQLMemStream& target) {
    if (block_size_ <= 0) {
        throw ESQLMemException(kCodeSaveBlockSizeZero, "Stream block size = 0 is not allowed");
    }
    PositionKeeper keep_own(*this);
    PositionKeeper keep_target(target);
    if (!SetPosition(0)) ThrowShortRead(*this, block_size_, 0);
    return CopyBlocks(*this, target, Size(), block_size_);
}

bool TSQLMemStream::LoadFromStreamWithPosition(TSQLMemStream& source, int64_t count,
                                               int64_t source_position) {
    if (block_size_ <= 0) {
        throw ESQLMemException(kCodeLoadBlockSizeZero, "Stream block size = 0 is not allowed");
    }
    PositionKeeper keep_source(source);
    if (count < 0 || !source.SetPosition(source_position)) ThrowShortRead(source, count, 0);
    if (!SetSize(0) || !SetPosition(0)) {
        throw ESQLMemException::Formatted(
            kCodeStreamCopyWrite,
            "Cannot write to stream. Position = " + std::to_string(Position()) +
                ", Stream size = " + std::to_string(Size()) +
                ", Block size = " + std::to_string(count) + ", Bytes Write = 0");
    }
    const bool complete = CopyBlocks(source, *this, count, block_size_);
    (void)SetPosition(0);
    return complete;
}

bool TSQLMemStream::LoadFromStream(TSQLMemStream& source) {
    return LoadFromStreamWithPosition(source, source.Size(), 0);
}

bool TSQLMemStream::SaveToFile(const std::string& file_name) {
    TSQLMemFileStream file(file_name, FileOpenMode::Create);
    const bool complete = SaveToStream(file);
    if (!file.Flush()) {
        throw ESQLMemException::Formatted(kCodeStreamCopyWrite,
                                          "Cannot write to stream. Position = " +
                                              std::to_string(file.Position()) +
                                              ", Stream size = " + std::to_string(file.Size()) +
                                              ", Block size = " + std::to_string(BlockSize()) +
                                              ", Bytes Write = 0");
    }
    return complete;
}

bool TSQLMemStream::LoadFromFile(const std::string& file_name) {
    TSQLMemFileStream file(file_name, FileOpenMode::OpenRead);
    return LoadFromStream(file);
}

// ---- TSQLMemMemoryStream ----

std::byte* TSQLMemMemoryStream::Data() { return borrowed_ ? borrowed_->data() : owned_.data(); }

std::span<const std::byte> TSQLMemMemoryStream::Bytes() const {
    if (borrowed_) return {borrowed_->data(), size_};
    return {owned_.data(), size_};
}

size_t TSQLMemMemoryStream::Read(std::span<std::byte> bytes) {
    if (position_ >= size_) return 0;
    const size_t count = std::min(bytes.size(), size_ - position_);
    std::memcpy(bytes.data(), Data() + position_, count);
    position_ += count;
    return count;
}

size_t TSQLMemMemoryStream::Write(std::span<const std::byte> bytes) {
    size_t count = bytes.size();
    if (count == 0) return 0;
    if (borrowed_) {
        if (position_ >= borrowed_->size()) return 0;
        count = std::min(count, borrowed_->size() - position_);
    } else if (position_ + count > owned_.size()) {
        owned_.resize(position_ + count);
        size_ = owned_.size();
    }
    std::memcpy(Data() + position_, bytes.data(), count);
    position_ += count;
    return count;
}

bool TSQLMemMemoryStream::SetPosition(int64_t position) {
    if (position < 0) return false;
    position_ = static_cast<size_t>(position);
    return true;
}

bool TSQLMemMemoryStream::SetSize(int64_t size) {
    if (size < 0) return false;
    const auto new_size = static_cast<size_t>(size);
    if (borrowed_) {
        if (new_size > borrowed_->size()) return false;
        if (new_size > size_) std::memset(borrowed_->data() + size_, 0, new_size - size_);
    } else {
        owned_.resize(new_size);
    }
    size_ = new_size;
    return true;
}

void TSQLMemMemoryStream::Clear() {
    if (!borrowed_) EngineVector<std::byte>().swap(owned_);
    size_ = 0;
    position_ = 0;
}

// ---- TSQLMemFileStream ----

TSQLMemFileStream::TSQLMemFileStream(const std::string& file_name, FileOpenMode mode)
    : TSQLMemStream(DefaultFileBlockSize), file_name_(file_name) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case FileOpenMode::Create:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case FileOpenMode::OpenRead:
            flags |= O_RDONLY;
            break;
        case FileOpenMode::OpenReadWrite:
            flags |= O_RDWR;
            break;
    }
    fd_ = ::open(file_name.c_str(), flags, 0644);
    if (fd_ < 0) {
        throw ESQLMemException::Formatted(kCodeCannotOpenFile, "Cannot open file " + file_name);
    }
    writable_ = mode != FileOpenMode::OpenRead;
}

TSQLMemFileStream::~TSQLMemFileStream() {
    if (fd_ >= 0) {
        (void)Flush();
        ::close(fd_);
    }
}

bool TSQLMemFileStream::Flush() {
    if (dirty_) {
        const size_t written = WholeTransfer(buffer_length_, buffer_offset_, [&](size_t done, off_t at) {
            return ::pwrite(fd_, buffer_.data() + done, buffer_length_ - done, at);
        });
        if (written != buffer_length_) write_failed_ = true;
        dirty_ = false;
        buffer_length_ = 0;
    }
    return !write_failed_;
}

bool TSQLMemFileStream::Sync() { return Flush() && ::fsync(fd_) == 0; }

void TSQLMemFileStream::DropBuffer() {
    if (!dirty_) buffer_length_ = 0;
}

size_t TSQLMemFileStream::ReadThroughBuffer(std::span<std::byte> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int64_t at = position_ + static_cast<int64_t>(done);
        const int64_t buffer_end = buffer_offset_ + static_cast<int64_t>(buffer_length_);
        if (at >= buffer_offset_ && at < buffer_end) {
            const auto from = static_cast<size_t>(at - buffer_offset_);
            const size_t count = std::min(bytes.size() - done, buffer_length_ - from);
            std::memcpy(bytes.data() + done, buffer_.data() + from, count);
            done += count;
            continue;
        }
        const size_t rest = bytes.size() - done;
        if (rest >= kBufferSize) {
            // A large read goes straight into the caller's bytes.
            done += WholeTransfer(rest, at, [&](size_t moved, off_t offset) {
                return ::pread(fd_, bytes.data() + done + moved, rest - moved, offset);
            });
            break;
        }
        buffer_.resize(kBufferSize);
        buffer_offset_ = at;
        buffer_length_ = WholeTransfer(kBufferSize, at, [&](size_t moved, off_t offset) {
            return ::pread(fd_, buffer_.data() + moved, kBufferSize - moved, offset);
        });
        if (buffer_length_ == 0) break;
    }
    return done;
}

size_t TSQLMemFileStream::Read(std::span<std::byte> bytes) {
    if (dirty_ && !Flush()) return 0;
    const size_t count = ReadThroughBuffer(bytes);
    position_ += static_cast<int64_t>(count);
    return count;
}

size_t TSQLMemFileStream::Write(std::span<const std::byte> bytes) {
    if (!writable_ || write_failed_) return 0;
    const bool continues =
        dirty_ && position_ == buffer_offset_ + static_cast<int64_t>(buffer_length_);
    if (!continues || buffer_length_ + bytes.size() > kBufferSize) {
        if (!Flush()) return 0;
        buffer_length_ = 0;
    }
    if (bytes.size() >= kBufferSize) {
        const size_t count = WholeTransfer(bytes.size(), position_, [&](size_t done, off_t at) {
            return ::pwrite(fd_, bytes.data() + done, bytes.size() - done, at);
        });
        if (count != bytes.size()) write_failed_ = true;
        position_ += static_cast<int64_t>(count);
        return count;
    }
    if (bytes.empty()) return 0;
    if (!dirty_) {
        buffer_.resize(kBufferSize);
        buffer_offset_ = position_;
        buffer_length_ = 0;
        dirty_ = true;
    }
    std::memcpy(buffer_.data() + buffer_length_, bytes.data(), bytes.size());
    buffer_length_ += bytes.size();
    position_ += static_cast<int64_t>(bytes.size());
    return bytes.size();
}

int64_t TSQLMemFileStream::Size() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return 0;
    int64_t size = static_cast<int64_t>(info.st_size);
    if (dirty_) size = std::max(size, buffer_offset_ + static_cast<int64_t>(buffer_length_));
    return size;
}

bool TSQLMemFileStream::SetPosition(int64_t position) {
    if (position < 0) return false;
    position_ = position;
    return true;
}

bool TSQLMemFileStream::SetSize(int64_t size) {
    if (size < 0 || !Flush()) return false;
    DropBuffer();
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0;
}

// ---- TSQLMemTemporaryStream ----

void TSQLMemTemporaryStream::Spill() {
    auto file = std::make_unique<TemporaryFile>();
    const std::span<const std::byte> content = memory_.Bytes();
    const size_t written = file->WriteAt(0, content);
    if (written != content.size()) {
        throw ESQLMemException::Formatted(
            kCodeStreamCopyWrite,
            "Cannot write to stream. Position = 0, Stream size = " + std::to_string(file->Size()) +
                ", Block size = " + std::to_string(content.size()) +
                ", Bytes Write = " + std::to_string(written));
    }
    file_ = std::move(file);
    memory_.Clear();
}

size_t TSQLMemTemporaryStream::Read(std::span<std::byte> bytes) {
    size_t count = 0;
    if (file_) {
        count = file_->ReadAt(position_, bytes);
    } else {
        (void)memory_.SetPosition(position_);
        count = memory_.Read(bytes);
    }
    position_ += static_cast<int64_t>(count);
    return count;
}

size_t TSQLMemTemporaryStream::Write(std::span<const std::byte> bytes) {
    if (!file_ && position_ + static_cast<int64_t>(bytes.size()) > limit_) Spill();
    size_t count = 0;
    if (file_) {
        count = file_->WriteAt(position_, bytes);
    } else {
        (void)memory_.SetPosition(position_);
        count = memory_.Write(bytes);
    }
    position_ += static_cast<int64_t>(count);
    return count;
}

int64_t TSQLMemTemporaryStream::Size() const { return file_ ? file_->Size() : memory_.Size(); }

bool TSQLMemTemporaryStream::SetPosition(int64_t position) {
    if (position < 0) return false;
    position_ = position;
    return true;
}

bool TSQLMemTemporaryStream::SetSize(int64_t size) {
    if (size < 0) return false;
    if (!file_ && size > limit_) Spill();
    return file_ ? file_->Resize(size) : memory_.SetSize(size);
}

// ---- temporary names ----

std::string SQLMemDefaultTempDir() { return TemporaryFile::Directory(); }

std::string GetTempFileName() {
    std::string pattern = SQLMemDefaultTempDir();
    if (pattern.back() != '/') pattern += '/';
    pattern += "SQLMemXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        throw ESQLMemException::Formatted(kCodeCannotCreateTemporaryFile,
                                          "Cannot create temporary file " + pattern);
    }
    ::close(fd);
    return name.data();
}

}  // namespace tapir::engine
