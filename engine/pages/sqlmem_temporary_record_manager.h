#pragma once
// TSQLMemTemporaryRecordManager: the append-only record store of temporary tables (query
// results). Records have one fixed size; they live in a memory block up to a limit drawn
// from the free memory, and the rest go through a small write buffer into a temporary
// file ("SQLMem" prefix), created with the first such record and deleted with the store.
// Thread-safe: one recursive mutex of its own guards the whole store (innermost rank).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/pages/temporary_file.h"

namespace tapir::engine {

class TSQLMemTemporaryRecordManager {
  public:
    struct Options {
        // Records the memory block grows by at a time.
        int32_t grow_by_records = 1000;
        // Records the write buffer holds (at least 1).
        int32_t write_buffer_records = 100;
        // Records kept in memory; unset: free memory / 10 / record size.
        std::optional<int64_t> memory_record_limit;
    };

    // Throws ESQLMemException 10124 "Invalid record size = 0" for a size of 0 or less.
    TSQLMemTemporaryRecordManager(int32_t record_size, Options options);
    TSQLMemTemporaryRecordManager(const TSQLMemTemporaryRecordManager&) = delete;
    TSQLMemTemporaryRecordManager& operator=(const TSQLMemTemporaryRecordManager&) = delete;

    // Appends a record (record_size bytes); returns its 0-based ordinal, which is its
    // identifier. Throws 10125 "Error writing to stream" when the file takes fewer bytes,
    // 10128 "Cannot set stream position to %d. Position = %d, Size = %d" when the write
    // would land past the file's end, 10126 "Invalid record count = %d. Limit is %d"
    // when the buffer would hold more records than it may.
    uint64_t AddRecord(const std::byte* record);
    // Copies the record into `out`. Throws 10129 "Invalid record number = %d, record count
    // = %d" for an ordinal not stored, and the file's read error.
    void GetRecord(uint64_t ordinal, std::byte* out) const;
    uint64_t RecordCount() const;
    int64_t MemoryRecordLimit() const { return memory_limit_; }
    // Path of the temporary file, empty while there is none.
    std::string FilePath() const;
    // Frees the memory and deletes the file.
    void Empty();

  private:
    void FlushBuffer();

    // Guards everything below; the store's own lock, innermost.
    mutable std::recursive_mutex mutex_;
    int32_t record_size_;
    int32_t grow_by_;
    int32_t buffer_capacity_;
    int64_t memory_limit_;
    uint64_t record_count_ = 0;
    std::vector<std::byte> memory_;
    std::vector<std::byte> buffer_;
    int32_t buffered_ = 0;
    mutable std::optional<TemporaryFile> file_;
};

}  // namespace tapir::engine
