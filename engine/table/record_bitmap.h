#pragma once
// TSQLMemRecordBitmap: a cursor's list of visible rows, in the cursor's order. While rows
// are appended in ascending identifier order the list knows it is sorted by identifier;
// the first out-of-order append clears that flag and look-ups bisect no more. A row's
// place is then found in O(1) through a side table from slot to place, built on the
// first such look-up and kept current by every later change (which moves entries anyway).
// Used under the table lock.

#include <cstddef>
#include <cstdint>

#include "engine/record/record_buffer.h"
#include "engine/record/engine_allocator.h"

namespace tapir::engine {

class TSQLMemRecordBitmap {
  public:
    bool Active() const { return active_; }
    void SetActive(bool active) { active_ = active; }
    // Built in the order of an index.
    bool Indexed() const { return indexed_; }
    void SetIndexed(bool indexed) { indexed_ = indexed; }
    bool SortedByID() const { return sorted_by_id_; }

    // Empties the list and frees its memory; inactive afterwards.
    void Clear();
    int64_t Count() const { return static_cast<int64_t>(ids_.size()); }
    bool Empty() const { return ids_.empty(); }
    // Throws ESQLMemException 11326 "Invalid item number - ItemNo = %d, ItemCount = %d".
    TSQLMemRecordID Item(int64_t item_no) const;
    TSQLMemRecordID Front() const { return ids_.front(); }
    TSQLMemRecordID Back() const { return ids_.back(); }

    // Appends while the list is built. Throws ESQLMemException 11328 "Error adding record
    // to record map - duplicate record ID = %d %d" for the identifier appended last.
    void Append(TSQLMemRecordID id);
    // Makes room for `count` more entries (30004 past the memory limit, list unchanged).
    void Reserve(int64_t count);
    // Inserts at `item_no` (0 ... Count()).
    void InsertAt(int64_t item_no, TSQLMemRecordID id);
    // Inserts right after `after`. Throws 11332 "Record does not exist, ID = %d, %d" when
    // the list does not hold it.
    void InsertAfter(TSQLMemRecordID after, TSQLMemRecordID id);
    // Throws 11327 "Record does not exist, ID = %d, %d" when the list does not hold it.
    void Remove(TSQLMemRecordID id);
    // Place of the row in the list (0-based); -1 when absent.
    int64_t Find(TSQLMemRecordID id) const;
    bool Contains(TSQLMemRecordID id) const { return Find(id) >= 0; }

  private:
    // Builds the side table when the list is not sorted by identifier.
    void EnsurePlaces() const;
    // Writes the places of the entries from `from` on.
    void Renumber(int64_t from) const;

    bool active_ = false;
    bool indexed_ = false;
    bool sorted_by_id_ = true;
    EngineVector<TSQLMemRecordID> ids_;
    // Slot -> place + 1 (0: absent), while places_built_.
    mutable EngineVector<int32_t> places_;
    mutable bool places_built_ = false;
};

}  // namespace tapir::engine
