#include "engine/table/sqlmem_table.h"

#include <random>

#include "engine/table/data_source.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"

namespace tapir::engine {

namespace {

constexpr const char* kDatabaseName = "MEMORY";

std::string RandomTableName() {
    std::random_device device;
    std::mt19937 generator(device());
    std::uniform_int_distribution<int32_t> distribution(0, 2147483646);
    return "Table" + std::to_string(distribution(generator));
}

// Whether `fields` begins with `prefix` (case ignored) followed by ";" or its end.
bool FieldListStartsWith(const std::string& fields, const std::string& prefix) {
    if (fields.size() < prefix.size() || !SameName(fields.substr(0, prefix.size()), prefix)) {
        return false;
    }
    return fields.size() == prefix.size() || fields[prefix.size()] == ';';
}

}  // namespace

// Ties a detail table to its master's data source.
class TSQLMemTable::MasterLink : public TDataLink {
  public:
    explicit MasterLink(TSQLMemTable& detail) : detail_(detail) {}
    void ActiveChanged() override { detail_.MasterChanged(); }
    void DataSetChanged() override { detail_.MasterChanged(); }
    void DataSetScrolled() override { detail_.MasterChanged(); }
    void RecordChanged(TField* field) override {
        if (field == nullptr || detail_.IsMasterField(field)) {
            detail_.MasterChanged();
        }
    }
    void CheckBrowseMode() override {
        if (detail_.Active()) {
            detail_.CheckBrowseMode();
        }
    }

  private:
    TSQLMemTable& detail_;
};

TSQLMemTable::TSQLMemTable(std::string component_name)
    : TSQLMemDataSet(std::move(component_name)),
      table_name_(RandomTableName()),
      master_link_(std::make_unique<MasterLink>(*this)) {}

TSQLMemTable::~TSQLMemTable() {
    try {
        // Unlinking discards a pending row rather than posting it (MasterChanged).
        master_link_->SetDataSource(nullptr);
    } catch (...) {
        // Nothing may leave a destructor; the close below releases what is left.
    }
    CloseQuietly();
}

// --- Properties -----------------------------------------------------------------------------

const std::string& TSQLMemTable::TableName() const { return table_name_; }

void TSQLMemTable::SetTableName(const std::string& name) {
    CheckInactive();
    table_name_ = name;
}

std::vector<TFieldDef>& TSQLMemTable::FieldDefs() { return field_defs_; }

std::vector<TIndexDef>& TSQLMemTable::IndexDefs() { return index_defs_; }

const std::string& TSQLMemTable::IndexFieldNames() const { return index_field_names_; }

void TSQLMemTable::SetIndexFieldNames(const std::string& names) {
    SwitchOrdering(names, std::string());
}

const std::string& TSQLMemTable::IndexName() const { return index_name_; }

void TSQLMemTable::SetIndexName(const std::string& name) { SwitchOrdering(std::string(), name); }

void TSQLMemTable::SwitchOrdering(const std::string& field_names, const std::string& index_name) {
    if (Active()) {
        // A pending row that cannot be posted stops the change before anything changed.
        CheckBrowseMode();
    }
    const std::string previous_names = index_field_names_;
    const std::string previous_index = index_name_;
    index_field_names_ = field_names;
    index_name_ = index_name;
    if (!Active()) {
        return;
    }
    try {
        SelectIndex();
    } catch (...) {
        index_field_names_ = previous_names;
        index_name_ = previous_index;
        SelectIndex();
        throw;
    }
    // Keys and a range of the caller's pair with the old index's columns: they go.
    ResetKeys();
    if (cursor_->HasRange() && !RangeValues()) {
        cursor_->ResetRange();
    }
    // The master link's range pairs with the new index's columns: build it again.
    const auto values = RangeValues();
    SetRangeValues(std::nullopt);
    SetRangeValues(values);
    Resync();
}

// The link forgets a data source that goes away, so this never dangles.
TDataSource* TSQLMemTable::MasterSource() const { return master_link_->DataSource(); }

TDataSource* TSQLMemTable::GetDataSource() const { return MasterSource(); }

void TSQLMemTable::SetMasterSource(TDataSource* source) {
    // Walk the chain of masters: reaching this table again would make a cycle.
    for (TDataSource* link = source; link != nullptr;) {
        TSQLMemDataSet* dataset = link->DataSet();
        if (dataset == nullptr) {
            break;
        }
        if (dataset == this) {
            ComponentError("Circular datalinks are not allowed");
        }
        link = dataset->GetDataSource();
    }
    master_link_->SetDataSource(source);
    if (Active()) {
        MasterChanged();
    }
}

const std::string& TSQLMemTable::MasterFields() const { return master_fields_; }

void TSQLMemTable::SetMasterFields(const std::string& fields) {
    master_fields_ = fields;
    if (Active()) {
        MasterChanged();
    }
}

bool TSQLMemTable::Exclusive() const { return exclusive_; }

void TSQLMemTable::SetExclusive(bool exclusive) {
    CheckInactive();
    exclusive_ = exclusive;
}

int TSQLMemTable::MemoryTableAllocBy() const { return memory_table_alloc_by_; }

void TSQLMemTable::SetMemoryTableAllocBy(int rows) { memory_table_alloc_by_ = rows; }

bool TSQLMemTable::StoreDefs() const { return store_defs_; }

void TSQLMemTable::SetStoreDefs(bool store) { store_defs_ = store; }

TSQLMemDatabase* TSQLMemTable::Database() const {
    return cursor_ ? &cursor_->DatabaseComponent() : nullptr;
}

bool TSQLMemTable::Exists() const { return TableExists(kDatabaseName, table_name_); }

// --- Table operations -----------------------------------------------------------------------

TableDefinition TSQLMemTable::BuildDefinition() const {
    TableDefinition definition;
    definition.name = table_name_;
    definition.alloc_by = memory_table_alloc_by_;
    for (const TFieldDef& def : field_defs_) {
        TableFieldSpec column_spec;
        column_spec.name = def.Name;
        column_spec.data_type = def.DataType;
        column_spec.size = def.Size;
        column_spec.required = def.Required;
        column_spec.advanced_type = def.AdvancedType;
        column_spec.blob_compression_algorithm = static_cast<int32_t>(def.BlobCompressionAlgorithm);
        column_spec.blob_compression_mode = def.BlobCompressionMode;
        column_spec.blob_block_size = def.BlobBlockSize;
        definition.fields.push_back(column_spec);
    }
    for (const TField* field : Fields()) {
        if (field->FieldKind() != fkData) {
            continue;
        }
        bool known = false;
        for (const TableFieldSpec& column_spec : definition.fields) {
            known = known || SameName(column_spec.name, field->FieldName());
        }
        if (!known) {
            TableFieldSpec column_spec;
            column_spec.name = field->FieldName();
            column_spec.data_type = field->DataType();
            column_spec.size = field->Size();
            column_spec.required = field->Required();
            definition.fields.push_back(column_spec);
        }
    }
    for (const TIndexDef& def : index_defs_) {
        TableIndexSpec column_spec;
        column_spec.name = def.Name;
        column_spec.fields = def.Fields;
        column_spec.primary = HasOption(def.Options, ixPrimary);
        column_spec.unique = HasOption(def.Options, ixUnique);
        column_spec.descending = HasOption(def.Options, ixDescending);
        column_spec.case_insensitive = HasOption(def.Options, ixCaseInsensitive);
        column_spec.desc_fields = def.DescFields;
        column_spec.case_ins_fields = def.CaseInsFields;
        definition.indexes.push_back(column_spec);
    }
    return definition;
}

void TSQLMemTable::CreateTable() {
    CheckInactive();
    tapir::engine::CreateTable(kDatabaseName, BuildDefinition());
}

void TSQLMemTable::EmptyTable() {
    CheckInactive();
    tapir::engine::EmptyTable(kDatabaseName, table_name_);
}

void TSQLMemTable::DeleteTable() {
    CheckInactive();
    tapir::engine::DeleteTable(kDatabaseName, table_name_);
}

// --- Opening --------------------------------------------------------------------------------

void TSQLMemTable::CreateHandle() {
    if (table_name_.empty()) {
        ComponentError("Missing TableName property");
    }
    TSQLMemCursor::OpenParams params;
    params.database_name = kDatabaseName;
    params.definition = BuildDefinition();
    params.read_only = ReadOnly();
    params.exclusive = exclusive_;
    params.data_set = this;
    cursor_ = std::make_unique<TSQLMemCursor>(params);
    InitFieldDefs();
    UpdateIndexDefs();
}

void TSQLMemTable::InitFieldDefs() {
    field_defs_.clear();
    for (const TableFieldSpec& column_spec : cursor_->StoredDefinition().fields) {
        field_defs_.push_back(
            TFieldDef{column_spec.name, column_spec.data_type, column_spec.size,
                      column_spec.required, column_spec.advanced_type,
                      static_cast<TCompressionAlgorithm>(column_spec.blob_compression_algorithm),
                      column_spec.blob_compression_mode, column_spec.blob_block_size});
    }
}

void TSQLMemTable::UpdateIndexDefs() {
    index_defs_.clear();
    for (const TableIndexSpec& column_spec : cursor_->StoredDefinition().indexes) {
        TIndexOptions options = 0;
        if (column_spec.primary) {
            options |= static_cast<unsigned>(ixPrimary);
        }
        if (column_spec.unique) {
            options |= static_cast<unsigned>(ixUnique);
        }
        if (column_spec.descending) {
            options |= static_cast<unsigned>(ixDescending);
        }
        if (column_spec.case_insensitive) {
            options |= static_cast<unsigned>(ixCaseInsensitive);
        }
        index_defs_.push_back(TIndexDef{column_spec.name, column_spec.fields, options,
                                        column_spec.desc_fields, column_spec.case_ins_fields});
    }
}

void TSQLMemTable::DestroyHandle() { cursor_.reset(); }

void TSQLMemTable::PrepareCursor() {
    SelectIndex();
    if (MasterLinkActive()) {
        SetRangeValues(MasterValues());
    }
}

void TSQLMemTable::SelectIndex() {
    if (!index_name_.empty()) {
        if (!cursor_->SetIndexName(index_name_)) {
            ComponentError("Index '" + index_name_ + "' not found");
        }
        return;
    }
    if (index_field_names_.empty()) {
        cursor_->SetIndexName("");
        return;
    }
    const TIndexDef* chosen = nullptr;
    auto usable = [](const TIndexDef& def) {
        return !HasOption(def.Options, ixDescending) && !HasOption(def.Options, ixExpression);
    };
    for (const TIndexDef& def : index_defs_) {
        if (usable(def) && SameName(def.Fields, index_field_names_)) {
            chosen = &def;
            break;
        }
    }
    if (chosen == nullptr) {
        for (const TIndexDef& def : index_defs_) {
            if (usable(def) && FieldListStartsWith(def.Fields, index_field_names_)) {
                chosen = &def;
                break;
            }
        }
    }
    if (chosen == nullptr) {
        ComponentError("No index for fields '" + index_field_names_ + "'");
    }
    cursor_->SetIndexName(chosen->Name);
}

// --- Master-detail --------------------------------------------------------------------------

bool TSQLMemTable::MasterLinkActive() const {
    return master_link_->Active() && !SplitFieldList(master_fields_).empty();
}

std::vector<FieldValue> TSQLMemTable::MasterValues() const {
    std::vector<FieldValue> values;
    TSQLMemDataSet* master = master_link_->DataSet();
    for (const std::string& name : SplitFieldList(master_fields_)) {
        values.push_back(master->FieldByName(name).Value());
    }
    return values;
}

bool TSQLMemTable::IsMasterField(const TField* field) const {
    if (field == nullptr || &field->DataSet() != master_link_->DataSet()) {
        return false;
    }
    for (const std::string& name : SplitFieldList(master_fields_)) {
        if (SameName(name, field->FieldName())) {
            return true;
        }
    }
    return false;
}

void TSQLMemTable::MasterChanged() {
    if (!Active()) {
        return;
    }
    if (!master_link_->Active()) {
        // The master is closing or going away: a pending row is discarded, as closing
        // this table would, never posted against a master that no longer holds a row.
        DiscardPendingRow();
    } else {
        CheckBrowseMode();
    }
    std::optional<std::vector<FieldValue>> values;
    if (MasterLinkActive()) {
        values = MasterValues();
    }
    if (!SetRangeValues(values)) {
        return;
    }
    if (values) {
        First();
    } else {
        Resync();
    }
}

void TSQLMemTable::DoOnNewRecord() {
    if (MasterLinkActive()) {
        const std::vector<FieldValue> values = MasterValues();
        const std::vector<int32_t>& columns = cursor_->IndexFieldNos();
        for (size_t i = 0; i < values.size() && i < columns.size(); ++i) {
            WriteColumn(columns[i], values[i], CurrentRowBytes());
        }
    }
    TSQLMemDataSet::DoOnNewRecord();
}

// --- Key searches and ranges ----------------------------------------------------------------

void TSQLMemTable::SetKey() { BeginKeyEdit(KeyKind::Lookup, true); }

void TSQLMemTable::EditKey() { BeginKeyEdit(KeyKind::Lookup, false); }

bool TSQLMemTable::GotoKey() { return SearchKey(false); }

void TSQLMemTable::GotoNearest() { SearchKey(true); }

bool TSQLMemTable::FindKey(const std::vector<FieldValue>& values) {
    SetKeyValues(KeyKind::Lookup, values);
    return GotoKey();
}

void TSQLMemTable::FindNearest(const std::vector<FieldValue>& values) {
    SetKeyValues(KeyKind::Lookup, values);
    GotoNearest();
}

TSQLMemDataSet::KeyBuffer& TSQLMemTable::CheckKeyEdit() const {
    KeyBuffer* key = EditedKey();
    if (key == nullptr) {
        ComponentError("Dataset not in edit or insert mode");
    }
    return *key;
}

bool TSQLMemTable::KeyExclusive() const { return CheckKeyEdit().exclusive; }

void TSQLMemTable::SetKeyExclusive(bool exclusive) { CheckKeyEdit().exclusive = exclusive; }

int TSQLMemTable::KeyFieldCount() const { return CheckKeyEdit().field_count; }

void TSQLMemTable::SetKeyFieldCount(int count) {
    KeyBuffer& key = CheckKeyEdit();
    if (count < 0) {
        ComponentError("Invalid key field count " + std::to_string(count));
    }
    key.field_count = count;
}

void TSQLMemTable::SetRangeStart() { BeginKeyEdit(KeyKind::RangeStart, true); }

void TSQLMemTable::SetRangeEnd() { BeginKeyEdit(KeyKind::RangeEnd, true); }

void TSQLMemTable::EditRangeStart() { BeginKeyEdit(KeyKind::RangeStart, false); }

void TSQLMemTable::EditRangeEnd() { BeginKeyEdit(KeyKind::RangeEnd, false); }

void TSQLMemTable::ApplyRange() {
    CheckActive();
    CheckBrowseMode();
    CheckIndexInForce();
    const KeyBuffer& start = Key(KeyKind::RangeStart);
    const KeyBuffer& end = Key(KeyKind::RangeEnd);
    const std::byte* start_key = KeyAssigned(start) ? start.row.bytes.data() : nullptr;
    const std::byte* end_key = KeyAssigned(end) ? end.row.bytes.data() : nullptr;
    const int32_t start_count = KeyCompareCount(start);
    const int32_t end_count = KeyCompareCount(end);
    const bool start_exclusive = start_key != nullptr && start.exclusive;
    const bool end_exclusive = end_key != nullptr && end.exclusive;
    if (cursor_->IsSameRange(start_key, end_key, start_exclusive, end_exclusive, start_count,
                             end_count)) {
        return;
    }
    cursor_->ApplyRange(start_key, end_key, start_exclusive, end_exclusive, start_count, end_count);
    ForgetRangeValues();
    First();
}

void TSQLMemTable::CancelRange() {
    CheckActive();
    CheckBrowseMode();
    if (!cursor_->HasRange()) {
        return;
    }
    cursor_->ResetRange();
    ForgetRangeValues();
    Resync();
}

void TSQLMemTable::SetRange(const std::vector<FieldValue>& start_values,
                            const std::vector<FieldValue>& end_values) {
    SetKeyValues(KeyKind::RangeStart, start_values);
    SetKeyValues(KeyKind::RangeEnd, end_values);
    ApplyRange();
}

}  // namespace tapir::engine
