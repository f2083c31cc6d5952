#pragma once
// The engine's seekable byte streams: memory, named file and temporary (memory that
// spills to a temporary file), all copying to and from each other block-wise with a
// progress event. Every stream is a ByteSink and a ByteSource, so the verified transfers
// SaveDataToStream / LoadDataFromStream work on it. A stream is not thread-safe by
// itself; callers that share one hold its Lock.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/pages/byte_stream.h"
#include "engine/pages/sqlmem_compression.h"
#include "engine/pages/temporary_file.h"
#include "engine/record/engine_allocator.h"

namespace tapir::engine {

class TSQLMemStream;

// Raised during a copy after every block with the share done so far, and with 100 at
// the end; setting `Abort` stops the copy after the block just moved.
using TSQLMemProgressEvent =
    std::function<void(TSQLMemStream& sender, int PercentDone, bool& Abort)>;

class TSQLMemStream : public ByteSink, public ByteSource {
  public:
    explicit TSQLMemStream(int32_t block_size) : block_size_(block_size) {}
    TSQLMemStream(const TSQLMemStream&) = delete;
    TSQLMemStream& operator=(const TSQLMemStream&) = delete;
    ~TSQLMemStream() override = default;

    // Reads and writes at the current position and move it by the bytes moved. Reading
    // at or past the end moves nothing; writing past the end fills the gap with zeros.
    size_t Read(std::span<std::byte> bytes) override = 0;
    size_t Write(std::span<const std::byte> bytes) override = 0;
    int64_t Position() const override = 0;
    int64_t Size() const override = 0;
    // False (nothing changed) for a negative position.
    [[nodiscard]] virtual bool SetPosition(int64_t position) = 0;
    // Cuts or extends (with zeros) the content; the position is kept. False when the
    // stream cannot take that size.
    [[nodiscard]] virtual bool SetSize(int64_t size) = 0;

    int32_t BlockSize() const { return block_size_; }
    void SetBlockSize(int32_t block_size) { block_size_ = block_size; }

    // Copies the whole content, from position 0, to `target` at its current position,
    // one block at a time. Both positions are as before afterwards. Throws
    // ESQLMemException 10418 for a block size of 0, 10146 / 10147 with the read / write
    // messages of the verified transfers on a short read or write. Returns false when
    // the progress event aborted the copy.
    bool SaveToStream(TSQLMemStream& target);
    // Empties this stream and copies `count` bytes of `source` from `source_position`,
    // one block at a time; this stream ends at position 0, the source's position is as
    // before. Throws 10419 for a block size of 0, 10146 / 10147 as above (also when the
    // source holds fewer bytes). Returns false when aborted.
    bool LoadFromStreamWithPosition(TSQLMemStream& source, int64_t count, int64_t source_position);
    // The whole of `source`.
    bool LoadFromStream(TSQLMemStream& source);
    // The same through a file, created (or emptied) for saving. Throws 10081 "Cannot
    // open file %s" when the file cannot be opened.
    bool SaveToFile(const std::string& file_name);
    bool LoadFromFile(const std::string& file_name);

    // For callers that share the stream between threads; rank: innermost but for the
    // memory manager's lock.
    void Lock() { lock_.lock(); }
    void Unlock() { lock_.unlock(); }

    TSQLMemProgressEvent OnProgress;

  private:
    // Moves `count` bytes from `from` (at its position) to `to` (at its position).
    bool CopyBlocks(TSQLMemStream& from, TSQLMemStream& to, int64_t count, int32_t block_size);
    // False when the handler asked to stop.
    bool DoProgress(int percent_done);

    int32_t block_size_;
    std::recursive_mutex lock_;
};

// A growable buffer in engine memory (its bytes count against the memory manager's
// limit), or a caller's buffer of fixed size that the stream borrows for its lifetime.
class TSQLMemMemoryStream final : public TSQLMemStream {
  public:
    TSQLMemMemoryStream() : TSQLMemStream(DefaultMemoryBlockSize) {}
    // Borrows `buffer`, which must outlive the stream; size = buffer size, and writes
    // cannot go past it (they come out short).
    explicit TSQLMemMemoryStream(std::span<std::byte> buffer)
        : TSQLMemStream(DefaultMemoryBlockSize), borrowed_(buffer), size_(buffer.size()) {}

    size_t Read(std::span<std::byte> bytes) override;
    size_t Write(std::span<const std::byte> bytes) override;
    int64_t Position() const override { return static_cast<int64_t>(position_); }
    int64_t Size() const override { return static_cast<int64_t>(size_); }
    [[nodiscard]] bool SetPosition(int64_t position) override;
    [[nodiscard]] bool SetSize(int64_t size) override;

    // The content; valid until the next write or resize.
    std::span<const std::byte> Bytes() const;
    // Empties the stream and gives an owned buffer's memory back.
    void Clear();

  private:
    std::byte* Data();

    EngineVector<std::byte> owned_;
    std::optional<std::span<std::byte>> borrowed_;
    size_t size_ = 0;
    size_t position_ = 0;
};

enum class FileOpenMode { Create, OpenRead, OpenReadWrite };

// A named file. Create makes it (or empties it); the open modes need it to exist.
//
// Small reads and writes go through one buffer of `kBufferSize` bytes, so that a table
// written field by field costs a system call per buffer, not per field. Writes that
// continue one another collect in the buffer until it is full, and a read fills it from
// the file. A failed write of the buffer is remembered: every later write and `Flush`
// reports it, so a save that lost bytes cannot end as a success. The destructor writes
// what is left but cannot report a failure; a writer that must know calls `Flush`.
// Another stream on the same file does not see buffered writes until they are flushed.
class TSQLMemFileStream final : public TSQLMemStream {
  public:
    static constexpr size_t kBufferSize = 64 * 1024;

    // Throws ESQLMemException 10081 "Cannot open file %s" when the system refuses.
    TSQLMemFileStream(const std::string& file_name, FileOpenMode mode);
    ~TSQLMemFileStream() override;

    size_t Read(std::span<std::byte> bytes) override;
    size_t Write(std::span<const std::byte> bytes) override;
    int64_t Position() const override { return position_; }
    int64_t Size() const override;
    [[nodiscard]] bool SetPosition(int64_t position) override;
    [[nodiscard]] bool SetSize(int64_t size) override;

    // Writes the buffered bytes; false when they (or earlier ones) could not be written.
    [[nodiscard]] bool Flush();
    // Flushes and waits until the file's content is on the disk.
    [[nodiscard]] bool Sync();

    const std::string& FileName() const { return file_name_; }

  private:
    // Forgets read-ahead bytes; pending writes must have been flushed.
    void DropBuffer();
    size_t ReadThroughBuffer(std::span<std::byte> bytes);

    std::string file_name_;
    int fd_ = -1;
    int64_t position_ = 0;
    // Holds pending writes when `dirty_`, else bytes read ahead; they belong at
    // `buffer_offset_` in the file.
    std::vector<std::byte> buffer_;
    int64_t buffer_offset_ = 0;
    size_t buffer_length_ = 0;
    bool dirty_ = false;
    bool writable_ = false;
    bool write_failed_ = false;
};

// Memory until a write would take the content past `limit` bytes; then the content moves
// into a new temporary file ("SQLMem" prefix in the temporary directory) and stays
// there. The file is deleted with the stream.
class TSQLMemTemporaryStream final : public TSQLMemStream {
  public:
    explicit TSQLMemTemporaryStream(int64_t limit = DefaultTemporaryLimit)
        : TSQLMemStream(DefaultTemporaryBlockSize), limit_(limit) {}

    // Throws ESQLMemException 10127 when the temporary file cannot be made and 10147
    // when the memory content cannot be written into it.
    size_t Read(std::span<std::byte> bytes) override;
    size_t Write(std::span<const std::byte> bytes) override;
    int64_t Position() const override { return position_; }
    int64_t Size() const override;
    [[nodiscard]] bool SetPosition(int64_t position) override;
    [[nodiscard]] bool SetSize(int64_t size) override;

    bool InFile() const { return file_ != nullptr; }
    // The temporary file's name; empty while the content is in memory.
    std::string FileName() const { return file_ ? file_->Path() : std::string(); }

  private:
    void Spill();

    int64_t limit_;
    TSQLMemMemoryStream memory_;
    std::unique_ptr<TemporaryFile> file_;
    int64_t position_ = 0;
};

// The directory temporary files go to.
std::string SQLMemDefaultTempDir();
// A unique new file name with the "SQLMem" prefix in SQLMemDefaultTempDir; the file is
// created empty to hold the name, and the caller owns (and deletes) it. Throws
// ESQLMemException 10127 when the system refuses.
std::string GetTempFileName();

}  // namespace tapir::engine
