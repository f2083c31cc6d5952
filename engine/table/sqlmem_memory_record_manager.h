#pragma once
// TSQLMemMemoryRecordManager: the rows of one in-memory table in fixed-size slots, with a
// free-slot bitmap. A row's identifier is its slot number. New rows take the slot after
// the highest used one, so slots freed below it are not reused until the table is emptied.
// Beside each row the array keeps its generation, a number no earlier row of any slot had,
// so that a holder of an old identifier can tell that its row is gone even when a new row
// took the slot.
//
// The capacity grows by the growth step at a time, and each step is a chunk of its own:
// rows never move once stored, so growing costs one allocation per step however many rows
// the table holds. Thread-safe (its own lock, rank 5, taken once per call).

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "engine/record/engine_allocator.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/navigation.h"

namespace tapir::engine {

class TSQLMemMemoryRecordManager {
  public:
    // Throws ESQLMemException 10017 "Invalid record size = 0" for row_size 0. A growth
    // step below 1 counts as 1.
    TSQLMemMemoryRecordManager(int32_t row_size, int32_t alloc_by);
    TSQLMemMemoryRecordManager(const TSQLMemMemoryRecordManager&) = delete;
    TSQLMemMemoryRecordManager& operator=(const TSQLMemMemoryRecordManager&) = delete;

    // Stores a copy of `row` (RowSize() bytes) and returns its identifier. When the
    // capacity must grow and the memory manager refuses (ESQLMemException 30004 past its
    // limit, 30015 out of memory or out of 32-bit slot numbers), the array stays as it was.
    TSQLMemRecordID AddRecord(const std::byte* row);
    // Stores a copy of `row` in `slot`, which must lie above every stored row (a loaded
    // table gets its rows back in the slots they were saved from). Grows as far as needed;
    // throws like AddRecord, and ESQLMemException 10457 for a slot at or below the highest.
    TSQLMemRecordID AddRecordAt(int32_t slot, const std::byte* row);
    // False when the identifier is outside lowest..highest or free.
    bool UpdateRecord(TSQLMemRecordID id, const std::byte* row);
    bool DeleteRecord(TSQLMemRecordID id);
    bool RecordExists(TSQLMemRecordID id) const;
    // Generation of the row in this slot; 0 when the identifier holds no row. Never 0 for
    // a stored row, and never the same for two rows stored one after the other.
    uint64_t Generation(TSQLMemRecordID id) const;
    // The stored row; nullptr when the identifier holds none. The address stays valid
    // while the row is stored: adding rows never moves it; update rewrites it in place;
    // deleting the row or emptying the array ends it.
    const std::byte* RecordPointer(TSQLMemRecordID id) const;
    // First, last, current, next or prior row in slot order (see TSQLMemNavigationInfo);
    // copies the row into info.RecordBuffer when given.
    void GetRecord(TSQLMemNavigationInfo& info) const;
    // Frees every row: capacity 0, count 0, bounds 0; the dense flag stays.
    void Empty();
    // Slot of the n-th stored row (from 0). Throws ESQLMemException 10457 "Invalid bit no
    // = %d, number of bits = %d" when the bitmap runs past the capacity.
    int32_t SlotOfRow(int64_t row_no) const;
    // Rows stored in slots up to and including `slot`.
    int64_t RowsUpTo(int32_t slot) const;

    int64_t RecordCount() const;
    int32_t RowSize() const { return row_size_; }
    int32_t Capacity() const;
    int32_t LowestSlot() const;
    int32_t HighestSlot() const;
    // True until the first row is deleted; a loaded table takes its saved state, which
    // must be false when slots below the highest are free.
    bool Dense() const;
    void SetDense(bool dense);

  private:
    // The helpers below expect the lock held.
    void Grow();
    bool Holds(int32_t slot) const;
    bool IsFree(int32_t slot) const {
        return ((free_words_[static_cast<uint32_t>(slot) / 64] >> (slot % 64)) & 1u) != 0;
    }
    // Chunk `slot / alloc_by_` holds the rows of its slots (so rows lie as they would in
    // one block), then their generations (8 bytes each, unaligned).
    std::byte* ChunkOf(int32_t slot, int32_t& offset) const;
    std::byte* GenerationsOf(std::byte* chunk) const;
    std::byte* RowAt(int32_t slot) const;
    uint64_t GenerationAt(int32_t slot) const;
    int32_t NextUsed(int32_t slot) const;   // -1 when none
    int32_t PriorUsed(int32_t slot) const;  // -1 when none
    // Rows stored in slots first..last (both within the capacity).
    int64_t CountUsed(int32_t first, int32_t last) const;

    // One growth step: its block never moves; `rows` counts the rows stored in it, so
    // that row numbers need not count through every bitmap word below them.
    struct Chunk {
        MemoryBlock block;
        int32_t rows = 0;
    };

    // Guards everything below; rank 5. Callers inside the engine hold the owning table's
    // lock as well; this one keeps the array sound on its own, at one uncontended lock per
    // call (the helpers above never take it again).
    mutable std::recursive_mutex mutex_;
    const int32_t row_size_;
    const int32_t alloc_by_;
    int32_t capacity_ = 0;
    EngineVector<Chunk> chunks_;
    // Bit s (word s / 64, bit s % 64) set = slot s holds no row; bits past the capacity
    // are set too, so a word's occupied slots are the zero bits of the word.
    EngineVector<uint64_t> free_words_;
    uint64_t last_generation_ = 0;  // kept across Empty
    int64_t row_count_ = 0;
    int32_t lowest_ = 0;
    int32_t highest_ = 0;
    bool dense_ = true;
};

}  // namespace tapir::engine
