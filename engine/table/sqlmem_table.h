#pragma once
// TSQLMemTable: a table of the in-memory database "MEMORY". Adds to the dataset layer
// the table name, the field and index definitions, index selection by IndexName or
// IndexFieldNames, the master-detail link, and the table-level operations.
// Components with the same TableName (case ignored) share one stored table.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/table/sqlmem_dataset.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TDataSource;
class TSQLMemDatabase;

struct TFieldDef {
    std::string Name;
    TFieldType DataType = ftUnknown;
    int Size = 0;
    bool Required = false;
    // The declared type where DataType does not say it (aftWideMemo is an ftMemo);
    // aftUnknown: the type table's for DataType.
    TSQLMemAdvancedFieldType AdvancedType = aftUnknown;
    // BLOB fields: how their values are kept (algorithm, level 0 ... 9, bytes per block).
    TCompressionAlgorithm BlobCompressionAlgorithm = caNone;
    int BlobCompressionMode = 0;
    int BlobBlockSize = 102400;
};

enum class TIndexOption : unsigned {
    ixPrimary = 1u << 0,
    ixUnique = 1u << 1,
    ixDescending = 1u << 2,
    ixCaseInsensitive = 1u << 3,
    ixExpression = 1u << 4,
    ixNonMaintained = 1u << 5,
};
using enum TIndexOption;
using TIndexOptions = unsigned;  // bit set of TIndexOption
constexpr TIndexOptions operator|(TIndexOption a, TIndexOption b) {
    return static_cast<unsigned>(a) | static_cast<unsigned>(b);
}
constexpr bool HasOption(TIndexOptions set, TIndexOption option) {
    return (set & static_cast<unsigned>(option)) != 0;
}

struct TIndexDef {
    std::string Name;
    std::string Fields;  // field names separated by ";"
    TIndexOptions Options = 0;
    std::string DescFields;
    std::string CaseInsFields;
};

class TSQLMemTable : public TSQLMemDataSet {
  public:
    // TableName defaults to "Table" + a random number in 0..2147483646.
    explicit TSQLMemTable(std::string component_name = {});
    ~TSQLMemTable() override;

    const std::string& TableName() const;
    void SetTableName(const std::string& name);  // only when closed
    std::vector<TFieldDef>& FieldDefs();
    std::vector<TIndexDef>& IndexDefs();
    const std::string& IndexFieldNames() const;
    void SetIndexFieldNames(const std::string& names);  // clears IndexName
    const std::string& IndexName() const;
    void SetIndexName(const std::string& name);  // clears IndexFieldNames
    TDataSource* MasterSource() const;
    void SetMasterSource(TDataSource* source);
    const std::string& MasterFields() const;
    void SetMasterFields(const std::string& fields);
    bool Exclusive() const;
    void SetExclusive(bool exclusive);
    int MemoryTableAllocBy() const;
    void SetMemoryTableAllocBy(int rows);
    bool StoreDefs() const;
    void SetStoreDefs(bool store);
    // The database component of the default connection the open table is registered
    // with (created by the first table that opens); nullptr while closed.
    TSQLMemDatabase* Database() const;
    // True when the in-memory database holds a table of this name.
    bool Exists() const;

    // Each raises EDatabaseError "Cannot perform this operation on an open dataset"
    // (prefixed) on an open component, and the engine's ESQLMemException otherwise (e.g.
    // 10072 "Cannot delete table '%s'. Table is open by another dataset" from EmptyTable,
    // 10027 "Table '%s' already exists" from CreateTable).
    void CreateTable();  // only when closed
    void EmptyTable();   // only when closed; rows go, definitions and sequences stay
    void DeleteTable();  // only when closed

    // The stored table as a table stream, and back (only when closed; the operations are
    // defined beside the stream format). A load replaces a stored table of the stream's
    // name and sets TableName to that name. Errors as the stream format raises them.
    void SaveTableToStream(TSQLMemStream& stream, TCompressionAlgorithm algorithm = caNone,
                           uint8_t level = 1, int32_t value = 0);
    void SaveTableToFile(const std::string& file_name, TCompressionAlgorithm algorithm = caNone,
                         uint8_t level = 1, int32_t value = 0);
    void LoadTableFromStream(TSQLMemStream& stream);
    void LoadTableFromFile(const std::string& file_name);

    TDataSource* GetDataSource() const override;

    // --- Key searches and ranges over the index in force ---
    // Keys pair their values with the index columns in key order. Every operation below
    // raises EDatabaseError (prefixed) "No index in force: key searches and ranges need
    // IndexName or IndexFieldNames" in natural order. While a key is edited (set-key
    // state), field objects of index columns write into the key and other data fields
    // raise ESQLMemException 20019 "Field %s is not in the current index"; Post keeps the
    // key, Cancel restores it as it was before set-key began, and any move or change of
    // the row leaves set-key first (keeping the key).

    // Set-key state on the search key: SetKey empties it first, EditKey keeps it.
    void SetKey();
    void EditKey();
    // Exact search over KeyFieldCount leading index columns (default: up to the last one
    // assigned). True and positioned on the first matching row in index order; false with
    // the position unchanged. Leave-edit step, BeforeScroll, and AfterScroll when found.
    bool GotoKey();
    // The first row whose key is not below the key (above it with KeyExclusive); with
    // none, the end of the data: the last row is current and Eof is true.
    void GotoNearest();
    // SetKey, the values into the leading index columns, then GotoKey / GotoNearest.
    // EDatabaseError (prefixed) "Too many key values: %d given, the index in force has %d
    // fields" when there are more values than index columns.
    bool FindKey(const std::vector<FieldValue>& values);
    void FindNearest(const std::vector<FieldValue>& values);
    // Options of the key being edited; EDatabaseError (prefixed) "Dataset not in edit or
    // insert mode" outside set-key state. A field count of 0 restores the default.
    bool KeyExclusive() const;
    void SetKeyExclusive(bool exclusive);
    int KeyFieldCount() const;
    void SetKeyFieldCount(int count);

    // Set-key state on the start or end key of a range (Set* empties it first, Edit*
    // keeps it). A key with no index column assigned is no bound.
    void SetRangeStart();
    void SetRangeEnd();
    void EditRangeStart();
    void EditRangeEnd();
    // Leave-edit step, then restricts the view to the rows between the two keys (each
    // over its KeyFieldCount, KeyExclusive leaving the bound itself out) and moves to the
    // first of them. A range equal to the one in force is not applied again and the
    // position stays. Replaces the master link's range until the master moves.
    void ApplyRange();
    // Leave-edit step; every row is visible again and the current row stays current.
    void CancelRange();
    // SetRangeStart with `start_values`, SetRangeEnd with `end_values`, ApplyRange.
    void SetRange(const std::vector<FieldValue>& start_values,
                  const std::vector<FieldValue>& end_values);

  protected:
    // Resolves or creates the table and opens the cursor on it; FieldDefs and IndexDefs
    // then describe the table as stored.
    void CreateHandle() override;
    void DestroyHandle() override;
    // Selects the index and applies the master range.
    void PrepareCursor() override;
    // Copies the master's link values into the new row, then OnNewRecord.
    void DoOnNewRecord() override;

  private:
    class MasterLink;
    friend class MasterLink;

    // The definition a new table is created from: FieldDefs plus declared data fields
    // missing from them, IndexDefs.
    TableDefinition BuildDefinition() const;
    // FieldDefs and IndexDefs from the stored definitions of the open cursor.
    void InitFieldDefs();
    void UpdateIndexDefs();
    // Picks the index for IndexName / IndexFieldNames on the open cursor.
    void SelectIndex();
    // Sets the ordering (one of the two texts is empty) and, on an open table, leaves edit
    // mode, switches the index and rebuilds the range; an unusable ordering is undone.
    void SwitchOrdering(const std::string& field_names, const std::string& index_name);
    // Leave-edit step, then the range for the master's current values (or none when the
    // link is inactive); moves to the first row of a new range.
    void MasterChanged();
    bool MasterLinkActive() const;
    std::vector<FieldValue> MasterValues() const;
    bool IsMasterField(const TField* field) const;
    KeyBuffer& CheckKeyEdit() const;

    std::string table_name_;
    std::vector<TFieldDef> field_defs_;
    std::vector<TIndexDef> index_defs_;
    std::string index_field_names_;
    std::string index_name_;
    std::string master_fields_;
    bool exclusive_ = false;
    int memory_table_alloc_by_ = 1000;
    bool store_defs_ = false;
    std::unique_ptr<MasterLink> master_link_;
};

}  // namespace tapir::engine
