#pragma once
// TSQLMemTableData: the storage of one in-memory table, shared by every cursor that opens
// its name. It owns the column, index and constraint definitions, the index objects, the
// autoinc sequences and the rows. Every operation takes the table lock (rank 4) for its
// whole duration.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/table/navigation.h"
#include "engine/record/record_buffer.h"
#include "engine/table/sqlmem_index.h"
#include "engine/table/sqlmem_memory_record_manager.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemCursor;
class TSQLMemDatabaseData;
class TSQLMemLocalSession;

struct TSQLMemSequenceDef {
    std::string Name;  // at most 255 characters
    int32_t ObjectID = -1;
    TSQLMemBaseFieldType BaseType = bftSignedInt32;
    int64_t MinValue = 0;
    int64_t MaxValue = 4294967295LL;
    int64_t LastValue = 0;
    int64_t Increment = 1;
    bool Cycled = true;
};

class TSQLMemTableData {
  public:
    // Runs the creation checks and builds the table; `database` hands out ObjectIDs.
    // Throws ESQLMemException with the creation errors; nothing is kept then.
    TSQLMemTableData(TSQLMemDatabaseData& database, const TableDefinition& definition);
    TSQLMemTableData(const TSQLMemTableData&) = delete;
    TSQLMemTableData& operator=(const TSQLMemTableData&) = delete;
    ~TSQLMemTableData();

    // The lock of this table (rank 4); cursors hold it across multi-step operations.
    std::recursive_mutex& Mutex() const { return mutex_; }

    std::string Name() const;
    void SetName(const std::string& name);
    const TSQLMemFieldDefs& FieldDefs() const { return field_defs_; }
    const std::vector<TSQLMemIndexDef>& IndexDefs() const { return index_defs_; }
    const std::vector<TSQLMemConstraintDef>& ConstraintDefs() const { return constraints_; }
    const std::vector<TSQLMemSequenceDef>& Sequences() const { return sequences_; }
    int32_t AllocBy() const { return alloc_by_; }

    // --- Cursors ---
    void RegisterCursor(TSQLMemCursor* cursor);
    void UnregisterCursor(TSQLMemCursor* cursor);
    size_t OpenCursorCount() const;

    // --- Rows ---
    int64_t RecordCount() const;
    const TSQLMemMemoryRecordManager& Records() const { return *records_; }
    // Index object by position in IndexDefs().
    const TSQLMemIndex& Index(int32_t index_no) const { return *indexes_[index_no]; }
    // Every field null, then defaults and autoinc numbers (drawn for `session`).
    void InitNewRow(std::byte* row, TSQLMemLocalSession& session);
    // Constraint checks for a new row (old_row nullptr) or an update of `id`. Returns the
    // complete error text of the first failing constraint, or an empty text.
    std::string CheckConstraints(const std::byte* new_row, const std::byte* old_row,
                                 TSQLMemRecordID id) const;
    // Adds the row to the slot array and every index. Returns the new identifier.
    TSQLMemRecordID InsertRow(const std::byte* row, const TSQLMemCursor* by);
    // False when the slot array refuses.
    bool UpdateRow(TSQLMemRecordID id, const std::byte* new_row, const TSQLMemCursor* by);
    bool DeleteRow(TSQLMemRecordID id, const TSQLMemCursor* by);
    // Removes every row and empties every index; definitions and sequences stay.
    // Throws ESQLMemException 10072 "Cannot delete table '%s'. Table is open by another
    // dataset" while any cursor has the table open.
    void Empty();

    // Diagnostic: every fault found in the indexes (order, entry count), empty when sound.
    std::vector<std::string> CheckIntegrity() const;

    // --- Sequences ---
    // Next value of the sequence: LastValue + Increment, MinValue after MaxValue when
    // cycled; ESQLMemException 30009 "Sequence '%s' overflow" otherwise.
    int64_t NextSequenceValue(int32_t sequence_object_id);
    int64_t LastAutoincValue(int32_t field_no, const TSQLMemLocalSession& session) const;
    void SetAutoincValue(int32_t field_no, int64_t value);

  private:
    TSQLMemSequenceDef& SequenceByObjectID(int32_t object_id);
    void NotifyOtherCursors(const TSQLMemCursor* by);

    // Guards everything below; rank 4.
    mutable std::recursive_mutex mutex_;
    TSQLMemDatabaseData& database_;
    std::string name_;
    int32_t alloc_by_ = 1000;
    TSQLMemFieldDefs field_defs_;
    std::vector<TSQLMemIndexDef> index_defs_;
    std::vector<TSQLMemConstraintDef> constraints_;
    std::vector<TSQLMemSequenceDef> sequences_;
    std::unique_ptr<TSQLMemMemoryRecordManager> records_;
    std::vector<std::unique_ptr<TSQLMemIndex>> indexes_;
    std::vector<TSQLMemCursor*> cursors_;
};

}  // namespace tapir::engine
