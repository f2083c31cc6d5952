#pragma once
// TSQLMemDataSet: the dataset layer of the engine. States, the current row and its
// buffers, field objects, events in their fixed order, calculated fields, data-source
// notification and the row operations (open, append, insert, edit, post, cancel, delete,
// navigation). Not thread-safe: one dataset is used from one thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/record/record_buffer.h"
#include "engine/table/blob_store.h"
#include "engine/table/comparison_expression.h"
#include "engine/table/data_source.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_blob_stream.h"

namespace tapir::engine {

class TDataSource;
class TSQLMemCursor;
class TSQLMemSearchExpression;

// How a Filter text compares: without regard to case; without the partial comparison
// that a text constant ending in `*` asks for.
enum class TFilterOption : uint8_t { foCaseInsensitive = 0, foNoPartialCompare = 1 };
using enum TFilterOption;

// A set of filter options.
class TFilterOptions {
  public:
    constexpr TFilterOptions() = default;
    constexpr TFilterOptions(std::initializer_list<TFilterOption> options) {
        for (const TFilterOption option : options) {
            bits_ |= Bit(option);
        }
    }
    constexpr bool Contains(TFilterOption option) const { return (bits_ & Bit(option)) != 0; }
    friend constexpr bool operator==(TFilterOptions, TFilterOptions) = default;

  private:
    static constexpr uint8_t Bit(TFilterOption option) {
        return static_cast<uint8_t>(1U << static_cast<unsigned>(option));
    }
    uint8_t bits_ = 0;
};

class TSQLMemDataSet {
  public:
    using TDataSetNotifyEvent = std::function<void(TSQLMemDataSet&)>;
    using TDataSetErrorEvent =
        std::function<void(TSQLMemDataSet&, const EDatabaseError&, TDataAction&)>;
    // Sets `accept` to false to hide the row; the field accessors read the row tested.
    using TFilterRecordEvent = std::function<void(TSQLMemDataSet&, bool& accept)>;

    // component_name prefixes dataset-layer error messages ("Timers: ...") when not empty.
    explicit TSQLMemDataSet(std::string component_name = {});
    TSQLMemDataSet(const TSQLMemDataSet&) = delete;
    TSQLMemDataSet& operator=(const TSQLMemDataSet&) = delete;
    virtual ~TSQLMemDataSet();

    const std::string& Name() const { return component_name_; }
    // "3.06 "
    std::string CurrentVersion() const;

    // --- Open / close ---
    void Open();
    void Close();
    bool Active() const;
    void SetActive(bool active);
    TDataSetState State() const;
    // The state as last relayed to the data sources: temporary states (set-key,
    // calculating fields, filtering) are entered and left without telling them.
    TDataSetState VisibleState() const { return relayed_state_; }

    // --- Row operations (order of events as documented in the .cpp) ---
    // Post and Cancel may be called from inside AfterInsert/AfterEdit handlers.
    // Leave-edit step (run first by navigation, Append, Insert, Edit and a master change):
    // linked details leave edit mode, then a pending insert/edit is posted when Modified,
    // else cancelled; a set-key state posts its key.
    void CheckBrowseMode();
    void Append();
    void Insert();
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    void First();
    void Last();
    void Next();
    void Prior();
    int MoveBy(int distance);
    bool Eof() const;
    bool Bof() const;
    bool IsEmpty() const;
    bool Modified() const;
    // Rows visible through this component (range and filter applied); 0 when closed.
    int RecordCount() const;
    // 1-based position of the current row among the visible rows; 0 when none.
    int RecNo() const;
    void SetRecNo(int rec_no);

    // --- Fields ---
    // Declares a persistent field before the table opens (as a form does). Data fields
    // missing from the table's definitions are added to them at open.
    TField& DeclareField(const std::string& name, TFieldType type, int size = 0,
                         TFieldKind kind = fkData);
    // The field whose name equals `name` without regard to case;
    // EDatabaseError "Field '%s' not found" (prefixed) when none.
    TField& FieldByName(std::string_view name) const;
    TField* FindField(std::string_view name) const;
    const std::vector<TField*>& Fields() const;
    int FieldCount() const;

    // Reads a visible row other than the current one without moving and without events:
    // for the duration of `visit`, the field accessors read row `rec_no` (1-based, in the
    // current order) with its calculated fields computed. Returns false when there is no
    // such row. Used by grids. Only stored rows are visited: a row being inserted is not
    // among them until posted (RecordCount and RecNo count the same rows). `visit` must
    // not move the dataset or change its state.
    bool ReadRowAt(int rec_no, const std::function<void()>& visit);

    // --- Changes to every visible row at once ---
    // Both take the visible rows once, change each through the table (constraint checks
    // and everything the table does for a change of one row run per row) and rebuild the
    // view once at the end instead of after every row. No row events fire (BeforePost,
    // AfterPost, BeforeDelete, AfterDelete, scroll events); a caller that needs them
    // changes the rows one at a time. Leave-edit step and read-only check first. The
    // first refused row ends the pass with EDatabaseError carrying the engine's complete
    // text; the rows before it stay changed. Afterwards the first visible row is current
    // and the data sources are told the data set changed (also after an error). `done`,
    // when given, holds the number of rows changed so far, also when an error propagates.
    //
    // Gives the named data fields of every visible row these values (one per name),
    // converted to each field's type as the field's value setter converts them; a BLOB
    // field gets a value of its own in every row. EDatabaseError "Field '%s' not found"
    // for an unknown name or a calculated field. Returns the number of rows changed.
    int64_t UpdateVisibleRecords(const std::vector<std::string>& field_names,
                                 const std::vector<FieldValue>& values, int64_t* done = nullptr);
    // Changes every visible row through `assign`: while it runs, the field objects read
    // and write a copy of that row (as stored, with the assignments made so far); the copy
    // is then checked and stored. `assign` must not move the dataset or change its state,
    // and may write data fields that are not BLOB fields only (a BLOB field raises
    // ESQLMemException 30047). An error `assign` raises ends the pass like a refused row
    // and passes on. Returns the number of rows changed.
    int64_t UpdateVisibleRecords(const std::function<void()>& assign, int64_t* done = nullptr);
    // Deletes every visible row. Returns the number of rows deleted.
    int64_t DeleteVisibleRecords(int64_t* done = nullptr);

    // Re-reads the current row (and rebuilds a filtered view): leave-edit step,
    // BeforeRefresh, re-read, AfterRefresh.
    void Refresh();

    // --- Bookmarks: a row's bookmark is its row identifier and generation ---
    // Requires: a current stored row (else an identifier of -1/-1 is returned).
    TSQLMemBookmark GetBookmark() const;
    // False when the row is gone (even if a new row took its slot) or not visible.
    bool BookmarkValid(const TSQLMemBookmark& bookmark);
    // Leave-edit step, BeforeScroll, move, AfterScroll; EDatabaseError "Record not found"
    // (prefixed) when the row is gone or not visible.
    void GotoBookmark(const TSQLMemBookmark& bookmark);

    // --- Filtering by the Filter text and by OnFilterRecord ---
    // While Filtered is true, rows that do not meet the Filter text, or that
    // OnFilterRecord rejects, are hidden (RecordCount, navigation). Changing Filtered,
    // Filter or FilterOptions on an open filtered dataset runs the leave-edit step,
    // compiles the text and moves to the first visible row; a text that does not compile
    // raises ESQLMemException and leaves the filter as it was. A handler assigned while
    // filtered applies from Refresh(). The Filter text is an expression over the table's
    // columns (`Name = 'Sm*' AND Begin > 45000`); compiling it needs the SQL layer
    // (ESQLMemException 11376 without it).
    bool Filtered() const { return filtered_; }
    void SetFiltered(bool filtered);
    const std::string& Filter() const { return filter_text_; }
    void SetFilter(std::string text);
    TFilterOptions FilterOptions() const { return filter_options_; }
    void SetFilterOptions(TFilterOptions options);
    // A condition with the rules of SQL statements (case-sensitive, exact, null-aware)
    // that every visible row meets, whatever Filtered says; empty for none. Applied at
    // once when open (leave-edit step, first visible row), else at open.
    const std::string& SQLFilter() const { return sql_filter_text_; }
    void SetSQLFilter(std::string text);

    // Asks the links to take pending control input into the row (UpdateData). Post and
    // the leave-edit step do this themselves. EDatabaseError "Dataset not in edit or
    // insert mode" (prefixed) outside the writing states.
    void UpdateRecord();

    // Locate: options.
    struct LocateOptions {
        bool case_insensitive = false;
        bool partial_key = false;
    };
    // Finds the first visible row whose fields (";"-separated names) equal the texts.
    // Each text is read as a value of its field's type (numbers by value: "7", "07" and
    // "7.0" find 7; a text that is no value of the type finds nothing); the empty text
    // finds null fields. Text compares with the options. Fires BeforeScroll, and
    // AfterScroll when found. Throws ESQLMemException 30112 when the counts of names and
    // values differ, 11376 without the SQL layer.
    bool Locate(const std::string& field_names, const std::vector<std::string>& values,
                LocateOptions options);
    bool Locate(const std::string& field_names, const std::vector<std::string>& values) {
        return Locate(field_names, values, LocateOptions{});
    }
    // The values of `result_fields` (";"-separated, calculated fields computed) in the
    // first visible row whose `key_fields` equal `values` as Locate compares them, read
    // without moving and without scroll events; nullopt when no row matches. Runs the
    // leave-edit step first.
    std::optional<std::vector<FieldValue>> Lookup(const std::string& key_fields,
                                                  const std::vector<std::string>& values,
                                                  const std::string& result_fields);

    // --- BLOB fields (ftBlob, ftGraphic, ftMemo, ftFmtMemo and the wide memo) ---
    // A stream over the field's content in the active row, owned by the caller: bmRead
    // reads it; bmWrite starts empty and bmReadWrite with the content, and either hands
    // what was written to the row when it is freed (edit or insert state only: otherwise
    // ESQLMemException 10007 "Dataset not in edit or insert mode"). A wide memo's stream
    // carries its UTF-16 code units (little-endian). EDatabaseError "Cannot access field
    // '%s' as type Blob" for a field that is not a BLOB column.
    std::unique_ptr<TSQLMemBlobStream> CreateBlobStream(TField& field, TBlobStreamMode mode);
    // The field's content in the active row (pending content of the row being edited
    // first); empty when null. Throws as CreateBlobStream, and ESQLMemException 10090 when
    // the row's stored value changed since the row was read, 10086 ... 10089 when it is
    // damaged.
    std::vector<std::byte> GetBlobBytes(const TField& field) const;
    // Gives the field new content in the row being inserted or edited (empty: null); it
    // is stored by Post and dropped by Cancel. Same state rule as the field setters.
    void SetBlobBytes(TField& field, std::span<const std::byte> bytes);

    bool AutoCalcFields() const { return auto_calc_fields_; }
    void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }
    bool ReadOnly() const { return read_only_; }
    void SetReadOnly(bool value) { read_only_ = value; }
    // The data source this dataset depends on (a table's master source), or nullptr.
    virtual TDataSource* GetDataSource() const { return nullptr; }

    // --- Events: replaceable handlers; an empty handler is skipped ---
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
    TDataSetNotifyEvent OnCalcFields, OnNewRecord;
    TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;
    TFilterRecordEvent OnFilterRecord;

  protected:
    // A dataset buffer: the stored row (null bitmap + field data), row identifier and
    // bookmark flag as the cursor lays them out, and the calculated-field values beside
    // it (std::monostate = null).
    struct RowBuffer {
        std::vector<std::byte> bytes;
        std::vector<FieldValue> calc;
        uint64_t generation = 0;  // of the stored row read into it; 0 for a new row
        // Content given to BLOB fields since the insert or edit began, by column.
        BlobChanges blobs;
    };

    // Hooks of the dataset layer over the engine cursor, in the order the layer declares
    // them; the operations above call them at fixed points of their order of events.
    virtual void ClearCalcFields(RowBuffer& row) const;
    // Opens the cursor: CreateHandle, then InternalOpen. Throws on failure; the caller
    // releases what was opened.
    virtual void OpenCursor();
    // Releases the field objects made at open (InternalClose) and the cursor
    // (DestroyHandle).
    virtual void CloseCursor();
    virtual bool GetCanModify() const;
    virtual int GetRecordCount() const;
    virtual int GetRecNo() const;
    // A new row: InternalInitRecord, calculated fields cleared, bookmark flag "inserted".
    virtual void InitRecord(RowBuffer& row);
    // Restores the values the row had when Edit began (nothing to undo for an insert).
    virtual void InternalCancel();
    // Takes the row's stored values again and keeps them as the old values.
    virtual void InternalEdit();
    virtual void InternalInsert();
    virtual void InternalRefresh();
    // Removes the current row; EDatabaseError with the engine's text when refused.
    virtual void InternalDelete();
    virtual void InternalFirst();
    virtual bool InternalGotoBookmark(const TSQLMemBookmark& bookmark);
    // Every field null, then defaults and autoinc numbers (ESQLMemException 30009 when a
    // sequence runs out).
    virtual void InternalInitRecord(RowBuffer& row);
    virtual void InternalLast();
    // Stores the row being inserted or edited after the engine's checks; EDatabaseError
    // with the engine's complete text (unprefixed) when refused.
    virtual void InternalPost();
    // Reads the current, next or previous visible row into `row` and computes its
    // calculated fields; false at either end or when the row is gone.
    virtual bool GetRecord(RowBuffer& row, int mode);
    virtual void InternalClose();
    // Prepares the cursor (PrepareCursor), builds and binds the fields, applies the
    // filter.
    virtual void InternalOpen();
    virtual bool IsCursorOpen() const { return cursor_ != nullptr; }
    // Fills a new row after the autoinc numbers: the base runs OnNewRecord.
    virtual void DoOnNewRecord();
    // Own operations: create and release the engine cursor, and prepare it (index and
    // range) before the fields are bound.
    virtual void CreateHandle();
    virtual void DestroyHandle();
    virtual void PrepareCursor() {}
    // Releases everything without events and without raising (destruction).
    void CloseQuietly() noexcept;
    // Leaves edit, insert or set-key state without posting and without events (as a
    // close does), and shows the stored row again.
    void DiscardPendingRow();
    // The active row's bytes (the new row while inserting).
    std::byte* CurrentRowBytes() { return current_.bytes.data(); }

    // Raises EDatabaseError "<Name>: <message>" (the message alone without a name).
    [[noreturn]] void ComponentError(const std::string& message) const;
    void CheckActive() const;    // "Cannot perform this operation on a closed dataset"
    void CheckInactive() const;  // "Cannot perform this operation on an open dataset"
    // Sends an event to every data source (held back during temporary states).
    void NotifyDataSources(TDataEvent event, TField* field = nullptr);
    // Creates field objects for the cursor's columns when none are declared, and binds
    // every field to its column or calculated slot. "Field '%s' not found" for a declared
    // data field with no column.
    void BindFields();
    // Reads the row at the cursor's position again (or its neighbour, or the first row)
    // into the active buffer; sets Eof and Bof as after Post/Cancel/Delete.
    void Resync();
    // Replaces the range of the cursor (nullopt: no range) and records it; false when
    // `values` equal the range in force. Values pair with the leading index columns.
    bool SetRangeValues(const std::optional<std::vector<FieldValue>>& values);
    const std::optional<std::vector<FieldValue>>& RangeValues() const { return range_values_; }
    // The active buffer's value of a field, independent of accessors.
    FieldValue ReadFieldValue(const TField& field) const;
    void WriteFieldValue(TField& field, const FieldValue& value);
    // Writes a value into a column of a row or key buffer, converting to the column type.
    void WriteColumn(int column, const FieldValue& value, std::byte* buffer) const;
    FieldValue ReadColumn(int column, const std::byte* buffer) const;
    // The buffer that field objects of data fields write into (key buffer in set-key).
    RowBuffer& ActiveBuffer();

    // --- Search and range keys ---
    // A key buffer: the key's field data and trailer (KeyBufferSize() bytes), which index
    // columns were assigned, and the search options that go with it.
    struct KeyBuffer {
        RowBuffer row;
        std::vector<bool> assigned;  // per column
        bool exclusive = false;
        int field_count = 0;  // 0: up to the last assigned index column
    };
    enum class KeyKind { Lookup, RangeStart, RangeEnd };
    // Leave-edit step, then set-key state with field objects writing into the key of
    // `kind` (emptied first when `clear`). The data sources are not told: the state is
    // temporary. Post keeps the key, Cancel restores it as it was before.
    void BeginKeyEdit(KeyKind kind, bool clear);
    KeyBuffer& Key(KeyKind kind);
    // The key being edited in set-key state; nullptr in any other state.
    KeyBuffer* EditedKey() const { return state_ == dsSetKey ? edited_key_ : nullptr; }
    // Writes a value into an index column of a key and marks it assigned. Throws
    // ESQLMemException 20019 for a column outside the index in force.
    void WriteKeyColumn(KeyBuffer& key, int column, const FieldValue& value);
    // Leading index columns a search or bound with this key compares: the key's own
    // count, else up to its last assigned index column (0 when none: every column).
    int32_t KeyCompareCount(const KeyBuffer& key) const;
    bool KeyAssigned(const KeyBuffer& key) const;
    // Forgets the master link's range values after another range replaced them.
    void ForgetRangeValues() { range_values_.reset(); }
    // Empties every search and range key (the index they were built for is gone).
    void ResetKeys();
    // EDatabaseError (prefixed) when no index is in force: keys pair with index columns.
    void CheckIndexInForce() const;
    // Leave-edit step, BeforeScroll, then a search for the lookup key over the index in
    // force. Exact: on a match the row becomes current and AfterScroll fires; otherwise
    // nothing moves and false is returned. Nearest: the first row not below the key
    // (above it when the key is exclusive) becomes current; with none, the position goes
    // to the end of the data (the last row, Eof true); AfterScroll fires either way.
    bool SearchKey(bool nearest);
    // Fills the key of `kind` afresh with `values` for the leading index columns.
    void SetKeyValues(KeyKind kind, const std::vector<FieldValue>& values);

    std::unique_ptr<TSQLMemCursor> cursor_;
    bool auto_calc_fields_ = true;
    bool read_only_ = false;

  private:
    friend class TDataSource;
    friend class TField;
    friend class TSQLMemBlobStream;

    // BLOB columns: the content of `column` in `row`, pending content first.
    bool IsBlobColumn(int column) const;
    bool IsWideBlobColumn(int column) const;
    std::vector<std::byte> BlobContent(int column, const RowBuffer& row) const;
    FieldValue ReadBlobValue(int column, const RowBuffer& row) const;
    // Takes the visible rows and changes each through `change` (UpdateRecords), then
    // shows the first visible row; raises what the pass refused.
    int64_t RunUpdatePass(const std::function<void(std::byte* row)>& change,
                          const BlobChanges* blobs, int64_t* done);
    // The content a BLOB column stores for a field value (empty for null).
    std::vector<std::byte> BlobContentOf(int column, const FieldValue& value) const;
    void WriteBlobValue(TField& field, const FieldValue& value);
    void SetBlobContent(TField& field, std::vector<std::byte> content);
    int CheckBlobField(const TField& field) const;
    // A freed write stream's content, taken only while the edit it was made in lasts.
    void CommitBlobStream(int column, uint64_t edit_serial,
                          std::vector<std::byte>&& content) noexcept;
    // Streams still alive when the dataset closes no longer hand anything back.
    void DetachBlobStreams() noexcept;

    void SetState(TDataSetState state);
    // Releases the fields made at open and the cursor; never raises.
    void ReleaseCursor() noexcept;
    // Enters a temporary state without telling the data sources; restores on scope exit.
    class TempState;
    void FireEvent(const TDataSetNotifyEvent& event);
    // Runs a storing step, consulting an error handler: true when done, false when the
    // handler chose to abort silently.
    bool CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& handler);
    void CheckCanModify() const;  // "Cannot modify a read-only dataset"
    void DoOpen();
    void DoClose();
    void BeginInsertAppend(bool append);
    // First (to_first) or Last: leave-edit step, scroll events, the end flags.
    void MoveToEnd(bool to_first);
    // Sizes a buffer for the cursor and makes every field null.
    void InitRowBuffer(RowBuffer& row) const;
    void CalculateFields(RowBuffer& row);
    bool HasCalcFields() const { return calc_field_count_ > 0; }
    void AddDataSource(TDataSource* source);
    void RemoveDataSource(TDataSource* source);
    void FreeOpenFields();
    // Installs or removes the filters on the cursor according to Filtered, Filter,
    // FilterOptions and SQLFilter.
    void ApplyFilter();
    // The compiled Filter text as these settings would have it; nullptr when no text
    // filter applies.
    std::unique_ptr<TSQLMemSearchExpression> CompileFilterText(bool filtered,
                                                               const std::string& text,
                                                               TFilterOptions options) const;
    std::unique_ptr<TSQLMemSearchExpression> CompileSQLFilter(const std::string& text) const;
    // Installs a new filter setting on an open dataset: leave-edit step, compile (nothing
    // changes when that throws), commit, first visible row.
    void ChangeFilter(bool filtered, std::string text, TFilterOptions options);
    // The columns Locate and Lookup name (EDatabaseError "Field '%s' not found" for an
    // unknown or calculated field).
    std::vector<int> LocateColumns(const std::string& field_names) const;
    // Locate's search through the cursor with the compiled comparison tree; the row found
    // is read into `buffer`.
    bool LocateRow(const std::string& field_names, const std::vector<std::string>& values,
                   LocateOptions options, std::byte* buffer);
    // Leaves set-key state; `keep` false restores the key as it was when the edit began.
    void EndKeyEdit(bool keep);
    void InitKeyBuffer(KeyBuffer& key) const;

    std::string component_name_;
    TDataSetState state_ = dsInactive;
    TDataSetState relayed_state_ = dsInactive;
    bool modified_ = false;
    bool eof_ = true;
    bool bof_ = true;
    bool has_row_ = false;  // the active buffer holds a row (stored or being inserted)
    RowBuffer current_;
    RowBuffer old_;    // the row's values when Edit began
    RowBuffer spare_;  // reused by the steps of MoveBy
    RowBuffer key_;    // master link's range key
    KeyBuffer lookup_key_;
    KeyBuffer range_start_key_;
    KeyBuffer range_end_key_;
    KeyBuffer* edited_key_ = nullptr;     // the key set-key state writes into
    KeyBuffer saved_key_;                 // its contents when the edit began
    RowBuffer* read_override_ = nullptr;  // a row other than current_ (calc, ReadRowAt)
    std::vector<std::unique_ptr<TField>> owned_fields_;
    std::vector<TField*> fields_;
    int calc_field_count_ = 0;
    std::vector<TDataSource*> data_sources_;
    std::optional<std::vector<FieldValue>> range_values_;
    bool filtered_ = false;
    // Changes with every state change: a BLOB stream hands its content back only to the
    // edit it was made in.
    uint64_t edit_serial_ = 0;
    std::vector<TSQLMemBlobStream*> blob_streams_;
    std::string filter_text_;
    TFilterOptions filter_options_;
    std::string sql_filter_text_;
};

}  // namespace tapir::engine
