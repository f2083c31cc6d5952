#pragma once
// TSQLMemTableData: the storage of one in-memory table, shared by every cursor that opens
// its name. It owns the column, index and constraint definitions, the B-tree indexes and
// the page store that holds their pages, the autoinc sequences and the rows. Every
// operation takes the table lock (rank 4) for its whole duration; the index objects are
// used only under that lock.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/index/sqlmem_btree_index.h"
#include "engine/pages/sqlmem_memory_page_manager.h"
#include "engine/record/record_buffer.h"
#include "engine/table/blob_store.h"
#include "engine/table/navigation.h"
#include "engine/table/sqlmem_memory_record_manager.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemCursor;
class TSQLMemDatabaseData;
class TSQLMemLocalSession;
struct RestructurePlan;

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

// Everything a table is made of, as a saved stream carries it: loading builds the parts
// first and turns them into a table only when all of them are read and sound.
struct TSQLMemTableParts {
    std::string Name;
    int32_t AllocBy = 1000;
    TSQLMemFieldDefs FieldDefs;
    std::vector<TSQLMemIndexDef> IndexDefs;
    std::vector<int32_t> RootPageNos;  // per index definition; -1 without a root
    std::vector<TSQLMemConstraintDef> Constraints;
    std::vector<TSQLMemSequenceDef> Sequences;
    std::unique_ptr<TSQLMemMemoryPageManager> Pages;
    std::unique_ptr<TSQLMemMemoryRecordManager> Records;
    // The values the rows' BLOB references name.
    BlobStore Blobs;
};

class TSQLMemTableData {
  public:
    // Runs the creation checks and builds the table; `database` hands out ObjectIDs.
    // Throws ESQLMemException with the creation errors; nothing is kept then.
    TSQLMemTableData(TSQLMemDatabaseData& database, const TableDefinition& definition);
    // Takes over loaded parts (pages, rows and root page numbers as they are); no
    // identifier is drawn. Requires: the parts agree with each other (index columns name
    // fields, roots are allocated pages, rows have the layout's size).
    TSQLMemTableData(TSQLMemDatabaseData& database, TSQLMemTableParts parts);
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
    // The store that holds the index pages. Requires: the table lock is held.
    const TSQLMemMemoryPageManager& Pages() const { return *pages_; }
    // Index object by position in IndexDefs(). Requires: the table lock is held for as
    // long as the index is used.
    TSQLMemBTreeIndex& Index(int32_t index_no) const { return *indexes_[index_no]; }
    // True when an equality on the index finds at most one row as far as the condition
    // search is concerned: a unique or primary index, or one led by an autoinc field.
    bool IndexIsUniqueForSearch(int32_t index_no) const {
        return unique_for_search_[static_cast<size_t>(index_no)];
    }
    // Position in IndexDefs() of the index with this ObjectID; -1 when none.
    int32_t IndexNoByObjectID(int32_t object_id) const;
    // Counts every change of rows; a position kept in an index (a key path) is valid only
    // while the count it was taken at stands.
    uint64_t ChangeCount() const { return change_count_; }
    // Every field null, then defaults and autoinc numbers (drawn for `session`).
    void InitNewRow(std::byte* row, TSQLMemLocalSession& session);
    // Constraint checks for a new row (old_row nullptr) or an update of `id`. Returns the
    // complete error text of the first failing constraint, or an empty text.
    // Unique and primary keys are looked up through the index pages for the connection
    // of `by` (0 without a cursor).
    std::string CheckConstraints(const std::byte* new_row, const std::byte* old_row,
                                 const TSQLMemCursor* by) const;
    // Adds the row to the slot array and every index, the index pages changed for the
    // connection of `by` (0 without a cursor). Returns the new identifier. When an index
    // refuses, nothing of the row stays. BLOB fields get new values of their own: the
    // content `blobs` gives them, else a copy of the value the row's reference names in
    // this table (null when it names none). Compression errors of BLOB values (10085)
    // pass on with nothing stored.
    TSQLMemRecordID InsertRow(const std::byte* row, const TSQLMemCursor* by,
                              const BlobChanges* blobs = nullptr);
    // False when the slot array refuses. BLOB fields that `blobs` changes get new values
    // and their old ones are freed; the others keep the stored row's values whatever the
    // buffer holds.
    bool UpdateRow(TSQLMemRecordID id, const std::byte* new_row, const TSQLMemCursor* by,
                   const BlobChanges* blobs = nullptr);
    // Frees the row's BLOB values with it.
    bool DeleteRow(TSQLMemRecordID id, const TSQLMemCursor* by);
    // The content of the BLOB value a row's reference names. Throws ESQLMemException
    // kBlobNotFoundCode for a reference the table no longer holds, and the read errors of
    // a damaged value (10086 ... 10089).
    std::vector<std::byte> ReadBlob(uint64_t reference) const;
    // The table's BLOB values. Requires: the table lock is held.
    const BlobStore& Blobs() const { return blobs_; }
    // Removes every row and empties every index; definitions and sequences stay.
    // Throws ESQLMemException 10072 "Cannot delete table '%s'. Table is open by another
    // dataset" while any cursor has the table open.
    void Empty();
    // Adds an index (and its primary-key or unique constraint) to the table, filing every
    // stored row. ESQLMemException: 20018 while a cursor has the table open; 11428 for a
    // name already used by an index; 11434 without fields; 11435 for an unknown field;
    // 30047 for a BLOB field; 11427 for a second primary index; 30319 / 30320 when the
    // rows already hold a key twice, and 30330 when a row has a null primary key column.
    // Nothing changes on an error.
    void AddIndex(const TableIndexSpec& index);
    // Removes an index and its constraint. 20018 while a cursor has the table open, 10077
    // "Index '%s' not found" for an unknown name, 11425 for the primary index while a
    // foreign key references the table.
    void DropIndex(const std::string& name);
    // Removes a constraint by name (case ignored); a primary-key or unique constraint goes
    // with its index. 20018 while a cursor has the table open, 10078 "Constraint '%s' not
    // found" for an unknown name.
    void DropConstraint(const std::string& name);
    // Number of the index of that name (case ignored); -1 when none.
    int32_t IndexNoByName(const std::string& name) const;

    // --- Foreign keys (the referencing side keeps them; the referenced side finds them
    // through the database when one of its rows is deleted or its key changes) ---
    // Adds a foreign key and checks every stored row against it. ESQLMemException: 20018
    // while a cursor has the table open; the definition errors of a foreign key (11421
    // unknown referenced table, 11422 referenced table without primary key, 11423 column
    // counts differ, 11424 unknown or BLOB referencing column); 11420 when a stored row
    // references no row. Nothing changes on an error.
    void AddForeignKey(const TableForeignKeySpec& key);
    // Copies of the foreign keys of this table that reference `table_name` (case ignored).
    std::vector<TSQLMemConstraintDef> ForeignKeysTo(const std::string& table_name) const;
    // True when some row holds a reference under `key` (columns not null as its match rule
    // asks), so that removing the referenced rows would leave it dangling.
    bool HasReferencingRows(const TSQLMemConstraintDef& key) const;
    // Points the foreign keys that reference `old_name` at `new_name`.
    void RenameReferencedTable(const std::string& old_name, const std::string& new_name);
    // Removes the foreign keys that reference `table_name`; returns how many went.
    int RemoveForeignKeysTo(const std::string& table_name);

    // Diagnostic: every fault found in the indexes (order, entry count), empty when sound.
    std::vector<std::string> CheckIntegrity() const;

    // --- Sequences ---
    // Next value of the sequence: LastValue + Increment, MinValue after MaxValue when
    // cycled; ESQLMemException 30009 "Sequence '%s' overflow" otherwise.
    int64_t NextSequenceValue(int32_t sequence_object_id);
    int64_t LastAutoincValue(int32_t field_no, const TSQLMemLocalSession& session) const;
    void SetAutoincValue(int32_t field_no, int64_t value);

  private:
    // Builds the new table aside and fills in what its creation does not.
    friend void RestructureTable(TSQLMemDatabaseData& database, const std::string& table_name,
                                 const RestructurePlan& plan);

    // The index objects over pages_, one per index definition, with these roots.
    void BuildIndexes(const std::vector<int32_t>& root_page_nos);
    // The index object for `def` (and its search flag), appended to the lists.
    void AppendIndexObject(const TSQLMemIndexDef& def, int32_t root_page_no);
    // 20018 while a cursor has the table open.
    void CheckNoCursors() const;
    static tapir::engine::ConnectionID ConnectionOf(const TSQLMemCursor* by);
    // Every index of the table, then the connection's page changes applied.
    void InsertIntoIndexes(tapir::engine::ConnectionID connection, const std::byte* row,
                           TSQLMemRecordID id);
    TSQLMemSequenceDef& SequenceByObjectID(int32_t object_id);
    void NotifyOtherCursors(const TSQLMemCursor* by);
    // The row as it is to be stored: `row` with the BLOB references it owns in this table
    // (new values for changed fields; for the others the stored row's when given, else
    // copies). References made are added to `made`.
    std::vector<std::byte> RowWithBlobs(const std::byte* row, const std::byte* stored,
                                        const BlobChanges* blobs, std::vector<uint64_t>& made);
    void FreeBlobs(const std::vector<uint64_t>& references) noexcept;

    // A stored foreign key from its definition, checked against this table's columns and
    // the referenced table (this one when it names itself); `taken`: the constraint names
    // in use. Throws the definition errors listed at AddForeignKey.
    TSQLMemConstraintDef MakeForeignKey(const TableForeignKeySpec& foreign,
                                        const std::vector<std::string>& taken) const;
    // The complete 11420 text when `row` references no row under `key`, else empty.
    std::string ForeignKeyViolation(const TSQLMemConstraintDef& key, const std::byte* row) const;
    // The field numbers of the primary key, in key order; empty without one.
    std::vector<int32_t> PrimaryKeyFields() const;
    // Per primary-key column: true when it compares without regard to case.
    std::vector<bool> PrimaryKeyCaseRules() const;
    // True when a row other than `exclude` matches `values` on the primary-key columns
    // whose value is not null (at least one is). Looks the key up in the primary index when
    // every value is given.
    bool HoldsKey(const std::vector<TSQLMemVariant>& values,
                  std::optional<TSQLMemRecordID> exclude) const;
    // Records what the rows referencing `old_row` must undergo when it is deleted
    // (new_row nullptr) or its key changes to `new_row`'s. Throws 11420 for a NO ACTION
    // key with referencing rows, and the constraint failure of a row an action would set.
    struct ForeignKeyAction {
        TSQLMemTableData* table = nullptr;
        TSQLMemRecordID id;
        bool remove = false;            // delete the row; else set `fields`
        std::vector<int32_t> fields;    // the columns to set
        std::vector<std::byte> values;  // a row of `table` that holds their new values
    };
    void PlanForeignKeyActions(TSQLMemRecordID id, const std::byte* old_row,
                               const std::byte* new_row, std::vector<ForeignKeyAction>& actions);
    // True when `new_row` (a row of this table; nullptr: none) still holds `old_key` in
    // the referencing columns of `key`.
    bool StillReferences(const TSQLMemConstraintDef& key, const std::byte* new_row,
                         const std::vector<TSQLMemVariant>& old_key) const;
    // Runs planned actions; the actions they cause in turn are run in the same loop, so a
    // long chain of references does not deepen the stack and a cycle ends when its rows are gone.
    static void RunForeignKeyActions(std::vector<ForeignKeyAction> actions);
    // The rows that reference `key_values` (primary-key values of `referenced`, a row of
    // it `id`, left out of the partial-match search for other referenced rows) under `key`.
    std::vector<TSQLMemRecordID> ReferencingRows(
        const TSQLMemConstraintDef& key, const TSQLMemTableData& referenced, TSQLMemRecordID id,
        const std::vector<TSQLMemVariant>& key_values) const;

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
    std::unique_ptr<TSQLMemMemoryPageManager> pages_;
    BlobStore blobs_;
    bool has_blob_fields_ = false;
    std::vector<std::unique_ptr<TSQLMemBTreeIndex>> indexes_;
    std::vector<bool> unique_for_search_;
    uint64_t change_count_ = 0;
    std::vector<TSQLMemCursor*> cursors_;
};

}  // namespace tapir::engine
