#pragma once
// TSQLMemCursor: one table component's view of a shared in-memory table. It holds the
// component's position, current index, range and row filter, keeps the list of visible
// rows in the cursor's order while the view is restricted, reads rows in that order, and
// stores, updates and deletes rows after checking the table's constraints.
// A cursor is used by one thread at a time; every call that touches the rows takes the
// table's lock for its whole duration, so several cursors on one table may live on
// different threads.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/index/key_path.h"
#include "engine/record/engine_allocator.h"
#include "engine/record/record_buffer.h"
#include "engine/table/blob_store.h"
#include "engine/table/navigation.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemTableData;
class TSQLMemDatabaseData;
class TSQLMemLocalSession;
class TSQLMemDatabase;
class TSQLMemDataSet;
class TSQLMemBTreeIndex;
class TSQLMemSearchExpression;
struct TSQLMemSearchView;
struct TSQLMemSearchRequest;

class TSQLMemCursor {
  public:
    struct OpenParams {
        std::string database_name = "MEMORY";
        std::string session_name;  // empty: the default connection "Default"
        // The table to open. When the database holds no table of this name (case
        // ignored) it is created from these definitions; otherwise the stored definitions
        // are in force and these are ignored (only the name's letter case is taken).
        TableDefinition definition;
        bool read_only = false;
        bool exclusive = false;
        // The table component that owns the cursor, listed by the database component
        // among its users; none for a cursor used on its own.
        TSQLMemDataSet* data_set = nullptr;
    };

    // Result of a post or delete: code 0 on success; -4 the row is no longer the one the
    // caller read (deleted, and its slot perhaps taken by a new row: "Record was changed
    // or deleted by another dataset"); -8 a constraint check failed, -1
    // the storage refused to add ("Error adding record"), -2 to update ("Error updating
    // record"), -3 to delete ("Error deleting record"); a table of "TEMP" refuses updates
    // (-9 "Cannot update record in temporary mode") and deletes (-10 "Cannot delete
    // record in temporary mode"). `message` is the complete text
    // the component raises as EDatabaseError, e.g. "Primary Key constraint 'Id' violated.
    // Duplicate found. - Native error: 30319".
    struct PostResult {
        int code = 0;
        std::string message;
        bool Ok() const { return code == 0; }
    };

    // Saved position: row identifier, both flags, and the generation of the row that was
    // in the slot then (0 off a row), so that a slot's new row is never taken for it.
    struct Position {
        TSQLMemRecordID record_id;
        bool at_beginning = true;
        bool at_end = false;
        uint64_t generation = 0;
    };

    // A test on a stored row (null bitmap + field data, layout of FieldDefs()).
    using RowPredicate = std::function<bool(const std::byte* row)>;

    // Joins the database through the connection's database component (created on first
    // use, registering this cursor as one of its users), then opens the table, creating
    // it when absent; the cursor starts before the first row in natural order. Throws
    // ESQLMemException: 11245 "Cannot open database '%s'" for an unknown database name, 10028
    // "Table not found, table name = %s" for a missing table of "TEMP", and the creation errors
    // (10025, 11429, 11430, 11432, 11433, 11434, 11428, 11427, 30289, 30050, 30007, ...) when
    // creating fails; nothing is created then.
    explicit TSQLMemCursor(const OpenParams& params);
    TSQLMemCursor(const TSQLMemCursor&) = delete;
    TSQLMemCursor& operator=(const TSQLMemCursor&) = delete;
    // Unregisters from the table and from the database component; the rows stay.
    ~TSQLMemCursor();

    // --- Definitions in force (copies of the stored ones) ---
    const std::string& TableName() const { return table_name_; }
    const TSQLMemFieldDefs& FieldDefs() const { return field_defs_; }
    const std::vector<TSQLMemIndexDef>& IndexDefs() const { return index_defs_; }
    const std::vector<TSQLMemConstraintDef>& ConstraintDefs() const { return constraint_defs_; }
    // The stored definitions in the component's terms: TFieldType through the type table,
    // Required from the not-null constraints, index options from the index definitions.
    TableDefinition StoredDefinition() const;
    // Null bitmap + field data = offset of the row identifier in a dataset buffer.
    int32_t DataSize() const { return field_defs_.DataSize(); }
    int32_t KeyBufferSize() const { return field_defs_.KeyBufferSize(); }
    // DataSize() + 7; the component adds its calculated-field area. Throws the range error
    // of RecordSizeError() when it reaches 65536 (table creation refuses such rows).
    int32_t RecordSize() const {
        if (field_defs_.RecordSize() >= kMaxRecordSize) {
            throw RecordSizeError();
        }
        return field_defs_.RecordSize();
    }
    int32_t ConnectionID() const;
    // The connection's database component this cursor is registered with.
    TSQLMemDatabase& DatabaseComponent() const { return *database_component_; }
    bool ReadOnly() const { return read_only_; }
    bool Exclusive() const { return exclusive_; }

    // --- Index ---
    // Selects the index with this name (case ignored) among IndexDefs(); an empty or
    // unknown name selects natural (slot) order. Returns whether an index was found.
    // Deactivates the visible-row list; keeps the row identifier of the position.
    bool SetIndexName(const std::string& name);
    // Name of the index in force; empty in natural order.
    std::string IndexName() const;
    // ObjectID of the index in force; -1 in natural order.
    int32_t IndexObjectID() const;
    // Field numbers of the index columns in key order; empty in natural order.
    const std::vector<int32_t>& IndexFieldNos() const { return index_field_nos_; }
    // Compares two buffers (rows or keys) on the first `field_count` columns of the index
    // in force (0 = all) with the index's column rules: nulls first, descending columns
    // reversed, case-insensitive columns ignore letter case. Negative, 0 or positive.
    // Requires: an index is in force.
    int CompareByIndex(const std::byte* a, const std::byte* b, int32_t field_count = 0) const;

    // --- Navigation ---
    // Before the first / after the last row: the next grmNext / grmPrior read yields the
    // first / last visible row.
    void First();
    void Last();
    // Reads the current, next or previous visible row in the cursor's order into `buffer`
    // (at least RecordSize() bytes): the stored row, the row identifier and the bookmark
    // flag bfCurrent. grrOK moves the position onto the row and clears both flags.
    // grrBOF / grrEOF leave the buffer untouched and set the at-beginning / at-end flag;
    // grrError (the current row is gone or not visible) leaves buffer and position.
    // An empty view answers grrEOF.
    TSQLMemGetRecordResult GetRecord(TSQLMemGetRecordMode mode, std::byte* buffer);
    bool AtBeginning() const { return position_.at_beginning; }
    bool AtEnd() const { return position_.at_end; }
    TSQLMemRecordID CurrentRecordID() const { return position_.record_id; }
    // Generation of the row the cursor is on (0 when off a row).
    uint64_t CurrentGeneration() const { return position_.generation; }
    // Generation of the row stored under `id` now; 0 when there is none.
    uint64_t RowGeneration(TSQLMemRecordID id) const;
    Position SavePosition() const { return position_; }
    void RestorePosition(const Position& position);
    // Places the cursor on a stored row (for bookmarks); false when the identifier holds
    // no visible row, or, when a generation is given, a row other than the one that had
    // it (position unchanged).
    bool GotoRecordID(TSQLMemRecordID id, std::optional<uint64_t> generation = std::nullopt);

    // Rows visible through this cursor: the visible-row list's length while a range or a
    // filter is in force, else every row of the table.
    int64_t RecordCount();
    // 1-based number of the current row in the cursor's order; -1 at the beginning, the
    // end or on an empty view.
    int64_t RecNo();
    // Places the cursor on the rec_no-th visible row (1-based); false (position
    // unchanged) when there is none. Throws ESQLMemException 10457 "Invalid bit no" only
    // for a slot array out of step with its row count.
    bool SetRecNo(int64_t rec_no);

    // --- Range (a master-detail link is a range) ---
    // Copies the keys (KeyBufferSize() bytes each, or nullptr for no bound). A row is in
    // range when it compares (CompareByIndex over the bound's field count, 0 = all
    // columns) >= start (> when start_exclusive) and <= end (< when end_exclusive).
    // Deactivates the visible-row list; the position is kept (call First() to start at
    // the first row of the range). With no index in force, a range admits every row.
    void ApplyRange(const std::byte* start_key, const std::byte* end_key, bool start_exclusive,
                    bool end_exclusive, int32_t start_count, int32_t end_count);
    void ResetRange();
    bool HasRange() const { return start_key_.has_value() || end_key_.has_value(); }
    // True when these bounds equal the ones in force byte for byte (field data and flags).
    bool IsSameRange(const std::byte* start_key, const std::byte* end_key, bool start_exclusive,
                     bool end_exclusive, int32_t start_count, int32_t end_count) const;

    // --- Row filter (the component's filter test) ---
    // A row is visible when it is in range and the filter accepts it. Setting or clearing
    // deactivates the visible-row list.
    void SetRowFilter(RowPredicate filter);
    void ClearRowFilter();

    // --- Filter expressions ---
    // The parsed Filter text and the SQL filter (a query's condition on its table): a row
    // is visible when it is in range, meets the filter text, meets the SQL filter and the
    // row filter accepts it, tested in that order. The search serves the comparisons an
    // index covers from that index. The cursor owns the expressions; each was compiled
    // over FieldDefs(). Setting or clearing deactivates the visible-row list.
    void ActivateFilters(std::unique_ptr<TSQLMemSearchExpression> filter_text);
    void DeactivateFilters();
    void SetSQLFilter(std::unique_ptr<TSQLMemSearchExpression> sql_filter);
    bool HasFilterExpression() const { return filter_expression_ != nullptr; }
    bool HasSQLFilter() const { return sql_filter_ != nullptr; }

    // --- Distinct ---
    // Hides every row whose first `field_count` fields of the index in force equal those
    // of the row before it (0 = off; no effect in natural order). Deactivates the list.
    void SetDistinct(int32_t field_count);
    int32_t Distinct() const { return distinct_count_; }

    // Finds the first visible row, in the cursor's order, that `matches` accepts; on
    // success the cursor is placed there and the row read into `buffer` (when given), on
    // failure the position is left. With an expression, the search serves the
    // comparisons it offers from an index where one covers them, and the row must meet
    // the expression as well as `matches` (which may be empty then). Throws
    // ESQLMemException 11375 "Nil pointer occured" with neither.
    bool Locate(const RowPredicate& matches, std::byte* buffer = nullptr);
    bool Locate(TSQLMemSearchExpression* expression, const RowPredicate& matches,
                std::byte* buffer = nullptr);
    // Rows read and tested by this cursor's searches so far (a measure of their cost).
    int64_t RowsRead() const { return rows_read_; }

    // How FindKey compares the rows with the key.
    enum class KeySearch {
        Exact,         // the first row whose key equals the key
        Nearest,       // the first row whose key is not less than the key
        NearestAfter,  // the first row whose key is greater than the key
    };
    // Places the cursor on the first visible row, in the order of the index in force,
    // that the search accepts, comparing over the first `field_count` index columns
    // (0 = all) with the column rules of CompareByIndex; the row is read into `buffer`
    // when given. False when no row qualifies: an exact search leaves the position, a
    // nearest search moves the cursor after the last row. Requires: an index is in force.
    bool FindKey(const std::byte* key, int32_t field_count, KeySearch search,
                 std::byte* buffer = nullptr);

    // Diagnostic: every fault found in the table's indexes, empty when sound.
    std::vector<std::string> CheckIntegrity();

    // --- Row buffers ---
    // A new row: every field null, defaults, each autoinc field the next number of its
    // sequence; row identifier -1/-1 and bookmark flag bfInserted. Throws ESQLMemException
    // 30009 "Sequence '%s' overflow" when a sequence passes its maximum (nothing else in
    // the buffer is meaningful then).
    void InitNewRecord(std::byte* buffer);
    // A key buffer: zero bytes, then every field null.
    void InitKeyBuffer(std::byte* key) const;
    // Field access through the cursor's field list (the component's field numbers).
    // Throw ESQLMemException 10005 / 10006 "Invalid field number - FieldNo = %d,
    // FieldCount = %d" for a field number that is not a column.
    bool GetFieldData(int32_t field_no, void* dest, const std::byte* buffer) const;
    void SetFieldData(int32_t field_no, const void* source, std::byte* buffer) const;

    // Writes a field of a key buffer (set-key state): like SetFieldData, and marks the key
    // modified. Throws ESQLMemException 20019 "Field %s is not in the current index" for a
    // column that is not part of the index in force (any column in natural order).
    void SetKeyFieldData(int32_t field_no, const void* source, std::byte* key) const;

    // --- Changes ---
    // Checks the constraints (not null and check per column in column order, then primary
    // key and unique per index in index order), then stores the row and files it in every
    // index. On success the buffer gets the new row identifier and bookmark flag
    // bfInserted, and the cursor is on the new row, or, when the row is outside its view,
    // back where it was. A failed check stores nothing (code -8).
    // `blobs` gives the content of BLOB fields set while the row was built; the buffer
    // gets the stored row's references afterwards.
    PostResult InsertRecord(std::byte* buffer, const BlobChanges* blobs = nullptr);
    // Same checks with the old values (a row keeping its own key is no duplicate), then
    // rewrites the row identified by new_buffer's row identifier and re-files it in the
    // indexes. A row leaving the view is dropped from the visible-row list and the cursor
    // moves to the next row, else the previous one.
    // `generation` is that of the row as the caller read it; without it, the generation
    // of the cursor's position when the cursor is on that identifier. A row of another
    // generation is left alone (code -4).
    // `blobs` replaces the content of the BLOB fields it names (the old values are freed);
    // the others keep their stored values.
    PostResult UpdateRecord(const std::byte* old_buffer, std::byte* new_buffer,
                            std::optional<uint64_t> generation = std::nullopt,
                            const BlobChanges* blobs = nullptr);
    // Deletes the row identified by buffer's row identifier (generation as for
    // UpdateRecord). The cursor moves to the row that followed it in the cursor's order
    // and view, else the one before it, else to the beginning.
    PostResult DeleteRecord(const std::byte* buffer,
                            std::optional<uint64_t> generation = std::nullopt);

    // --- Changes to many rows at once ---
    // A visible row as the bulk changes take it: identifier and generation.
    struct RowRef {
        TSQLMemRecordID id;
        uint64_t generation = 0;
    };
    // Every visible row, in the cursor's order. Position unchanged.
    std::vector<RowRef> VisibleRows();
    // Rewrites each row of `rows` in turn: a copy of the stored row (DataSize() bytes) is
    // handed to `change`, then checked against the constraints as UpdateRecord checks it
    // and stored through the table. A row that is gone or holds another row by now is
    // skipped. The first refused row stops the pass with its result; the rows before it
    // stay changed; so do they when `change` throws (the error passes on). `done` counts
    // the rows changed. `blobs` gives every row the same new
    // content for the BLOB fields it names. The visible-row list is not kept up to date
    // row by row: it is built afresh when next needed, and the cursor goes to the
    // beginning.
    PostResult UpdateRecords(const std::vector<RowRef>& rows,
                             const std::function<void(std::byte* row)>& change,
                             const BlobChanges* blobs, int64_t& done);
    // Deletes each row of `rows` in turn (rows gone by now are skipped); the first refused
    // row stops the pass. Visible-row list and position as for UpdateRecords.
    PostResult DeleteRecords(const std::vector<RowRef>& rows, int64_t& done);

    // The content of a BLOB field of a row buffer read from this table; empty when null.
    // Throws ESQLMemException kBlobNotFoundCode when the row's value was replaced or
    // deleted since the buffer was read, 10086 ... 10089 for a damaged value.
    std::vector<std::byte> ReadBlob(int32_t field_no, const std::byte* buffer) const;

    // --- Sequences ---
    // The value this connection drew last for the autoinc column. Throws ESQLMemException
    // 30012 "No SequenceLastValue in session for sequence '%s'. Call GetNextVal first",
    // or 30335 "Field #%d not found".
    int64_t LastAutoincValue(int32_t field_no) const;
    // Sets the column's sequence value: the next new row gets value + Increment.
    void SetAutoincValue(int32_t field_no, int64_t value);

  private:
    friend class TSQLMemTableData;

    bool Restricted() const;
    TSQLMemBTreeIndex& CurrentIndex() const;
    // A position on the stored row `id`, with its generation; keeps a copy of the row so
    // that a step can go on from where it stood in the order after another component
    // deleted it.
    Position OnRow(TSQLMemRecordID id);
    // True when the row the caller read as (id, generation) is still stored.
    bool IsSameRow(TSQLMemRecordID id, std::optional<uint64_t> generation) const;
    // In the range of the index in force (always true in natural order).
    bool InRange(const std::byte* row) const;
    bool IsVisible(const std::byte* row) const;
    // The cursor's order, position and view as the condition search takes them.
    TSQLMemSearchView View() const;
    // The first match of a search in the cursor's order; places the cursor on it.
    bool SearchFirst(TSQLMemSearchRequest& request, std::byte* buffer);
    void DeactivateVisibleList();
    void EnsureVisibleList();
    void ApplyDistinct();
    TSQLMemGetRecordResult ReadRestricted(TSQLMemGetRecordMode mode, TSQLMemRecordID& found);
    TSQLMemGetRecordResult ReadUnrestricted(TSQLMemGetRecordMode mode, TSQLMemRecordID& found);
    TSQLMemGetRecordResult ReadByIndex(TSQLMemGetRecordMode mode, TSQLMemRecordID& found);
    // True when path_ designates an entry of the index in force as it stands now.
    bool PathUsable() const;
    // ... and that entry is the position's.
    bool PathOnPosition() const;
    // Keeps path_ as the entry of `id`, with its record number when known (0: unknown).
    void KeepPath(TSQLMemRecordID id, int64_t rec_no);
    // Record number of `id` in the index in force when it is known without a walk; 0
    // otherwise.
    int64_t KnownRecNo(TSQLMemRecordID id) const;
    void NoteRecNo(TSQLMemRecordID id, int64_t rec_no);
    // The row at a record number (1 ... RecordCount) of the index in force.
    TSQLMemRecordID RowAtRecNo(int64_t rec_no);
    void CopyOut(TSQLMemRecordID id, std::byte* buffer) const;
    // Writes the BLOB references of the stored row `id` into `buffer`.
    void TakeStoredBlobs(TSQLMemRecordID id, std::byte* buffer) const;
    int64_t FindInVisibleList(TSQLMemRecordID id) const;
    void InsertIntoVisibleList(TSQLMemRecordID id, const std::byte* row);
    void RemoveFromVisibleList(TSQLMemRecordID id);
    std::optional<TSQLMemRecordID> NeighbourInView(TSQLMemRecordID id);
    // Called by the table when another cursor changed its rows: a built list may be stale.
    void OnTableChangedElsewhere();

    TSQLMemDatabase* database_component_ = nullptr;
    TSQLMemLocalSession* session_ = nullptr;
    TSQLMemDatabaseData* database_ = nullptr;
    TSQLMemTableData* table_ = nullptr;
    std::string table_name_;
    bool read_only_ = false;
    bool exclusive_ = false;
    TSQLMemFieldDefs field_defs_;
    std::vector<TSQLMemIndexDef> index_defs_;
    std::vector<TSQLMemConstraintDef> constraint_defs_;
    int32_t index_no_ = -1;                 // into index_defs_; -1 = natural order
    std::vector<int32_t> index_field_nos_;  // of the index in force
    Position position_;
    // The row position_ stands on, as it was when the cursor got there.
    std::vector<std::byte> position_row_;
    std::optional<std::vector<std::byte>> start_key_;
    std::optional<std::vector<std::byte>> end_key_;
    bool start_exclusive_ = false;
    bool end_exclusive_ = false;
    int32_t start_count_ = 0;
    int32_t end_count_ = 0;
    RowPredicate filter_;
    std::unique_ptr<TSQLMemSearchExpression> filter_expression_;
    std::unique_ptr<TSQLMemSearchExpression> sql_filter_;
    int32_t distinct_count_ = 0;
    // Visible rows in the cursor's order while the view is restricted.
    TSQLMemRecordBitmap visible_;
    // The position's place in the index in force, kept between steps so that a step
    // costs no search; valid while the table's change count stands.
    TSQLMemKeyPath path_;
    bool path_valid_ = false;
    int32_t path_index_no_ = -1;
    uint64_t path_change_count_ = 0;
    TSQLMemRecordID path_id_;
    int64_t path_rec_no_ = 0;
    // The last record number found by a walk of the index, for the same row asked again.
    struct RecNoNote {
        TSQLMemRecordID id;
        int64_t rec_no = 0;
        int32_t index_no = -1;
        uint64_t change_count = 0;
    } rec_no_note_;
    int64_t rows_read_ = 0;
    std::vector<std::byte> scratch_;
};

}  // namespace tapir::engine
