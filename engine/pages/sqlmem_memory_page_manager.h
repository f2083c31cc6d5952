#pragma once
// TSQLMemMemoryPageManager: the page store of an in-memory table's indexes. Pages live in
// slots that are allocated as the store grows and kept until it goes; a lent page points
// at its slot, so pages are edited in place. Thread-safety as TSQLMemPageManager.
//
// Stream form (little-endian):
//   OFFSET      SIZE                  DESCRIPTION
//   0           4                     Capacity (int32): page slots that follow
//   4           4                     MaxPageNo (int32): highest number handed out, -1 none
//   8           4                     GrowBy (int32): 50
//   12          2                     PageSize (uint16)
//   14          2                     PageHeaderSize (uint16): 0
//   16          4                     PageCount (int32): pages allocated
//   20          8 + ceil(bits/8)      allocation bit array (TSQLMemBitsArray form)
//   after it    Capacity * PageSize   every slot, allocated or not, in page-number order

#include <memory>
#include <vector>

#include "engine/pages/bits_array.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/pages/sqlmem_page_manager.h"

namespace tapir::engine {

// Error codes of the memory store's stream fields: save, and load at +50.
enum class MemoryPageStreamCode : int {
    Capacity = 10700,
    MaxPageNo,
    GrowBy,
    PageSize,
    PageHeaderSize,
    PageCount,
    BitCount,
    SetBitCount,
    Bits,
    Slots,
};
inline constexpr int kPageStreamLoadCodeOffset = 50;
// Raised when a loaded stream's fields contradict each other.
inline constexpr int kInvalidPageStreamCode = 10763;

class TSQLMemMemoryPageManager : public TSQLMemPageManager {
  public:
    explicit TSQLMemMemoryPageManager(
        int32_t page_size = SQLMemDefaultMemoryPageSize,
        int32_t cache_capacity = SQLMemDefaultPageMangerCacheCapactiy);
    ~TSQLMemMemoryPageManager() override;

    int32_t GetPageCount() const override;
    int32_t Capacity() const;
    int32_t MaxPageNo() const;
    bool IsAllocated(int32_t page_no) const;

    void SaveToStream(ByteSink& sink) const override;
    // Replaces the whole content. Throws the field's read error for a short stream and
    // kInvalidPageStreamCode "Invalid page store stream" for contradictory fields.
    void LoadFromStream(ByteSource& source) override;

    // Also 20023 "Index pages are not released" with pages allocated.
    void Close() const override;
    const char* ClassName() const override { return "TSQLMemMemoryPageManager"; }

  protected:
    friend class TSQLMemTemporaryPageManager;

    int32_t InternalAddPage(TSQLMemPage& page) override;
    void InternalRemovePage(int32_t page_no) override;
    // 10392 "Not released page is allocated" for a number not allocated.
    void InternalReadPage(TSQLMemPage& page) override;
    // 10393 as above.
    void InternalWritePage(TSQLMemPage& page) override;

  private:
    int32_t capacity_ = 0;
    int32_t max_page_no_ = -1;
    int32_t grow_by_ = kPageStoreGrowBy;
    int32_t page_count_ = 0;
    TSQLMemBitsArray bits_;
    // Page bytes, from the engine's memory manager (its limit applies).
    std::vector<MemoryBlock> slots_;
};

}  // namespace tapir::engine
