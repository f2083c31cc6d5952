#pragma once
// TSQLMemTemporaryPageManager: the page store of temporary tables and temporary indexes.
// Page numbers below MemoryPageLimit live in an inner memory store; the others live in a
// temporary file at offset page number * PageSize, created on first need and deleted with
// the store. Thread-safety as TSQLMemPageManager.
//
// Stream form (little-endian):
//   OFFSET      SIZE              DESCRIPTION
//   0           n                 the inner memory store's stream form
//   n           8 + ceil(bits/8)  own allocation bit array over all page numbers
//   after it    4                 NextPageNo (int32): page numbers handed out so far
//   +4          4                 MemoryPageLimit (int32)
//   +8          2                 PageSize (uint16)
//   +10         2                 PageHeaderSize (uint16): 0
//   +12         4                 PageCount (int32)
//   +16         8                 temporary file size (int64), 0 without a file
//   +24         file size         the file's bytes

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/pages/bits_array.h"
#include "engine/pages/sqlmem_memory_page_manager.h"
#include "engine/pages/temporary_file.h"

namespace tapir::engine {

// Error codes of the temporary store's own stream fields: save, and load at +50.
enum class TemporaryPageStreamCode : int {
    BitCount = 10720,
    SetBitCount,
    Bits,
    NextPageNo,
    MemoryPageLimit,
    PageSize,
    PageHeaderSize,
    PageCount,
    FileSize,
    FileBytes,
};

class TSQLMemTemporaryPageManager : public TSQLMemPageManager {
  public:
    // MemoryPageLimit from the physical memory available now, capped by
    // `memory_cap_bytes` when given: free memory / 10 / page size.
    explicit TSQLMemTemporaryPageManager(int32_t page_size = SQLMemDefaultTemporaryPageSize,
                                         std::optional<int64_t> memory_cap_bytes = std::nullopt);
    // An explicit budget of pages held in memory.
    TSQLMemTemporaryPageManager(int32_t page_size, int32_t memory_page_limit);
    ~TSQLMemTemporaryPageManager() override;

    static int32_t DefaultMemoryPageLimit(int32_t page_size, std::optional<int64_t> memory_cap);

    int32_t GetPageCount() const override;
    int32_t MemoryPageLimit() const { return memory_page_limit_; }
    int32_t NextPageNo() const { return next_page_no_; }
    // The temporary file's path, empty while there is none.
    std::string FilePath() const;

    void SaveToStream(ByteSink& sink) const override;
    void LoadFromStream(ByteSource& source) override;

    // Also 20036 "Index pages are not released" with pages allocated.
    void Close() const override;
    const char* ClassName() const override { return "TSQLMemTemporaryPageManager"; }

  protected:
    int32_t InternalAddPage(TSQLMemPage& page) override;
    void InternalRemovePage(int32_t page_no) override;
    // 10396 "Not released page is allocated" for a number not allocated.
    void InternalReadPage(TSQLMemPage& page) override;
    // 10397 as above.
    void InternalWritePage(TSQLMemPage& page) override;

  private:
    void EnsureBits(int32_t count);
    bool IsAllocated(int32_t page_no) const;
    TemporaryFile& File();

    std::unique_ptr<TSQLMemMemoryPageManager> memory_;
    TSQLMemBitsArray bits_;
    int32_t next_page_no_ = 0;
    int32_t memory_page_limit_ = 0;
    std::optional<TemporaryFile> file_;
};

}  // namespace tapir::engine
