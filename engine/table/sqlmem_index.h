#pragma once
// TSQLMemIndex: one index of an in-memory table, keeping the row identifiers in key order
// by the index's column rules (nulls first, descending columns reversed, case-insensitive
// text). Rows with equal keys keep the order in which they were filed. Guarded by the
// owning table's lock.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/table/engine_allocator.h"
#include "engine/record/record_buffer.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemMemoryRecordManager;

// One key column of the sorted index, resolved against the table's columns (the B-tree has
// its own key parts).
struct SortedIndexKeyPart {
    int32_t FieldNo = 0;
    int32_t RecordOffset = 0;
    TSQLMemBaseFieldType DataType = bftUnknown;
    bool Descending = false;
    bool CaseInsensitive = false;
};

class TSQLMemIndex {
  public:
    // Resolves the columns by name; ESQLMemException 11435 "Cannot create table '%s'.
    // Field '%s' of index '%s' not found" is raised by the table before this is reached.
    // Requires: `records` outlives the index.
    TSQLMemIndex(const TSQLMemIndexDef& def, const TSQLMemFieldDefs& fields,
                 const TSQLMemMemoryRecordManager& records);

    const TSQLMemIndexDef& Def() const { return def_; }
    const std::vector<SortedIndexKeyPart>& Parts() const { return parts_; }

    // Compares two buffers (rows or key buffers) over the first part_count parts
    // (0 or more than the parts: all). Negative, 0 or positive.
    int CompareRecordBuffersByIndex(const std::byte* a, const std::byte* b,
                                    int32_t part_count = 0) const;
    // False when another row already holds the key of `row` (unique or primary only).
    bool CanInsertRecord(const std::byte* row) const;
    // False when a row other than `id` holds the key of new_row.
    bool CanUpdateRecord(TSQLMemRecordID id, const std::byte* new_row) const;
    void InsertRecord(TSQLMemRecordID id, const std::byte* row);
    // `row` is the stored row (its key finds the entry).
    void DeleteRecord(TSQLMemRecordID id, const std::byte* row);
    void UpdateRecord(TSQLMemRecordID id, const std::byte* old_row, const std::byte* new_row);
    // Frees the entries and their memory.
    void Empty() { EngineVector<int32_t>().swap(order_); }
    // Makes room for `count` entries, so that filing that many rows allocates nothing.
    // Throws ESQLMemException 30004 past the memory limit (the index is unchanged).
    void Reserve(int64_t count) { order_.reserve(static_cast<size_t>(count)); }

    // Rows in key order.
    int64_t Count() const { return static_cast<int64_t>(order_.size()); }
    TSQLMemRecordID At(int64_t position) const;
    // Position of the row in key order; -1 when the index does not hold it.
    int64_t PositionOf(TSQLMemRecordID id, const std::byte* row) const;
    // First position whose key is not less (upper: greater) than `key` over part_count.
    int64_t LowerBound(const std::byte* key, int32_t part_count = 0) const;
    int64_t UpperBound(const std::byte* key, int32_t part_count = 0) const;

  private:
    const std::byte* Row(int32_t slot) const;

    TSQLMemIndexDef def_;
    std::vector<SortedIndexKeyPart> parts_;
    const TSQLMemMemoryRecordManager& records_;
    EngineVector<int32_t> order_;  // slots in key order
};

}  // namespace tapir::engine
