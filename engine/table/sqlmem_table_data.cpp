#include "engine/table/sqlmem_table_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "engine/record/utf8_text.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"

namespace tapir::engine {

namespace {

constexpr size_t kMaxNameLength = 255;

[[noreturn]] void CreationError(int code, const std::string& text) {
    throw ESQLMemException::Formatted(code, text);
}

int RandomSuffix() {
    static std::mt19937 generator{std::random_device{}()};
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    return std::uniform_int_distribution<int>(0, 65534)(generator);
}

// `base`, or `base` followed by random numbers until no name in `taken` equals it (case
// ignored).
template <typename Taken>
std::string FreeName(const std::string& base, const Taken& taken) {
    std::string name = base;
    while (taken(name)) {
        name = base + std::to_string(RandomSuffix());
    }
    return name;
}

std::string FormatLimit(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// Names are kept whole or refused: a cut name could no longer be found by its index.
void CheckNameLength(const std::string& table, const char* what, const std::string& name) {
    if (Utf8Length(ToValidUtf8(name)) > kMaxNameLength) {
        CreationError(11436, "Cannot create table '" + table + "'. Name of " + what + " '" +
                                 name.substr(0, 32) + "...' is longer than " +
                                 std::to_string(kMaxNameLength) + " characters");
    }
}

// The width a column takes in a row, after checking that its declared size is usable.
int64_t CheckedWidth(const std::string& table, const TableFieldSpec& column) {
    const TSQLMemBaseFieldType base = AdvancedToBaseType(SpecAdvancedType(column));
    const bool sized = base == bftChar || base == bftVarchar || base == bftWideChar ||
                       base == bftWideVarchar || base == bftBytes || base == bftVarBytes;
    if (!sized) {
        return BaseTypeWidth(base, 0);
    }
    if (column.size <= 0 || column.size >= kMaxRecordSize) {
        CreationError(11437, "Cannot create table '" + table + "'. Invalid size " +
                                 std::to_string(column.size) + " of field '" + column.name + "'");
    }
    return BaseTypeWidth(base, column.size);
}

bool AnyBlobField(const TSQLMemFieldDefs& fields) {
    return std::any_of(fields.Defs().begin(), fields.Defs().end(),
                       [](const TSQLMemFieldDef& field) { return IsBlobType(field.BaseType); });
}

bool InList(const std::vector<std::string>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& listed) { return SameName(listed, name); });
}

}  // namespace

TSQLMemTableData::TSQLMemTableData(TSQLMemDatabaseData& database, const TableDefinition& definition)
    : database_(database),
      name_(definition.name),
      alloc_by_(definition.alloc_by < 1 ? 1 : definition.alloc_by) {
    const std::string& table = definition.name;
    // 1-2. Columns.
    if (definition.fields.empty()) {
        CreationError(10025, "Error creating table - no fields were specified");
    }
    // Sizes and names are checked before any width is computed or anything allocated: a
    // width is only computed from a size known to fit the row.
    int64_t data_size = BitmapSize(static_cast<int32_t>(definition.fields.size()));
    for (size_t i = 0; i < definition.fields.size(); ++i) {
        const std::string& name = definition.fields[i].name;
        if (name.empty()) {
            CreationError(11432,
                          "Cannot create table '" + table + "'. Unnamed fields are not allowed");
        }
        CheckNameLength(table, "field", name);
        data_size += CheckedWidth(table, definition.fields[i]);
        if (data_size + kRecordTrailerSize >= kMaxRecordSize) {
            throw RecordSizeError();
        }
        for (size_t j = 0; j < i; ++j) {
            if (SameName(definition.fields[j].name, name)) {
                CreationError(11430, "Cannot create table '" + table + "'. Duplicate field name '" +
                                         UpperName(name) + "'");
            }
        }
    }
    // 3. Indexes.
    int primaries = 0;
    for (size_t i = 0; i < definition.indexes.size(); ++i) {
        const TableIndexSpec& index = definition.indexes[i];
        if (index.name.empty()) {
            CreationError(11433,
                          "Cannot create table '" + table + "'. Unnamed indexes are not allowed");
        }
        CheckNameLength(table, "index", index.name);
        if (SplitFieldList(index.fields).empty()) {
            CreationError(11434, "Cannot create table '" + table +
                                     "'. No fields defined in index '" + index.name + "'");
        }
        for (size_t j = 0; j < i; ++j) {
            if (SameName(definition.indexes[j].name, index.name)) {
                CreationError(11428, "Cannot create table '" + table + "'. Duplicate index name '" +
                                         index.name + "'");
            }
        }
        primaries += index.primary ? 1 : 0;
        if (primaries > 1) {
            CreationError(11427, "Cannot create table '" + table +
                                     "'. Error in indexes definition - multiple primary "
                                     "indexes are not allowed");
        }
        for (const std::string& field : SplitFieldList(index.fields)) {
            const bool known = std::any_of(definition.fields.begin(), definition.fields.end(),
                                           [&](const TableFieldSpec& column_spec) {
                                               return SameName(column_spec.name, field);
                                           });
            if (!known) {
                CreationError(11435, "Cannot create table '" + table + "'. Field '" + field +
                                         "' of index '" + index.name + "' not found");
            }
            // BLOB content has no order: keys cannot compare it.
            for (const TableFieldSpec& column_spec : definition.fields) {
                if (SameName(column_spec.name, field)) {
                    const TSQLMemBaseFieldType base =
                        AdvancedToBaseType(SpecAdvancedType(column_spec));
                    if (IsBlobType(base)) {
                        CreationError(
                            30047, "Unknown DataType: '" + std::string(BaseTypeName(base)) + "'");
                    }
                }
            }
        }
    }
    // 4. Constraint names: primary and unique constraints are named as their index; the
    // generated names below are made free of those.
    std::vector<std::string> constraint_names;
    for (const TableIndexSpec& index : definition.indexes) {
        if (index.primary || index.unique) {
            if (InList(constraint_names, index.name)) {
                CreationError(11431, "Cannot create table '" + table +
                                         "'. Duplicate constraint name '" + index.name + "'");
            }
            constraint_names.push_back(index.name);
        }
    }

    // 5. Columns with object identifiers and offsets.
    std::vector<TSQLMemFieldDef> defs;
    for (const TableFieldSpec& column_spec : definition.fields) {
        TSQLMemFieldDef def;
        def.Name = column_spec.name;
        def.SetAdvancedType(SpecAdvancedType(column_spec), column_spec.size);
        def.ObjectID = database_.NextObjectID();
        def.Increment = column_spec.increment;
        def.InitialValue = column_spec.initial_value;
        def.MinValue = column_spec.min_value;
        def.MaxValue = column_spec.max_value;
        def.Cycled = column_spec.cycled;
        def.BlobCompressionAlgorithm = column_spec.blob_compression_algorithm;
        def.BlobCompressionMode = column_spec.blob_compression_mode;
        def.BlobBlockSize = column_spec.blob_block_size;
        defs.push_back(std::move(def));
    }
    field_defs_ = TSQLMemFieldDefs(std::move(defs));
    // Default values, kept as the bytes the field holds in a row.
    bool has_defaults = false;
    std::vector<std::byte> scratch(static_cast<size_t>(field_defs_.DataSize()));
    for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
        const std::optional<TSQLMemVariant>& value = definition.fields[field_no].default_value;
        TSQLMemFieldDef& def = field_defs_[field_no];
        if (!value || value->IsNull() || IsBlobType(def.BaseType)) {
            continue;
        }
        value->Cast(def.BaseType).ToField(field_defs_, field_no, scratch.data());
        def.DefaultValue =
            std::string(reinterpret_cast<const char*>(scratch.data()) + def.MemoryOffset,
                        static_cast<size_t>(def.MemoryDataSize));
        has_defaults = true;
    }
    if (has_defaults) {
        field_defs_.Recalculate();
    }

    for (const TableIndexSpec& column_spec : definition.indexes) {
        TSQLMemIndexDef def;
        def.Name = column_spec.name;
        def.ObjectID = database_.NextObjectID();
        def.Primary = column_spec.primary;
        def.Unique = column_spec.unique || column_spec.primary;
        const std::vector<std::string> desc = SplitFieldList(column_spec.desc_fields);
        const std::vector<std::string> case_ins = SplitFieldList(column_spec.case_ins_fields);
        for (const std::string& field : SplitFieldList(column_spec.fields)) {
            TSQLMemIndexColumn column;
            column.FieldName = field_defs_[field_defs_.IndexOf(field)].Name;
            column.Descending = InList(desc, field) || (column_spec.descending && desc.empty());
            column.CaseInsensitive =
                InList(case_ins, field) || (column_spec.case_insensitive && case_ins.empty());
            def.Columns.push_back(std::move(column));
        }
        index_defs_.push_back(std::move(def));
    }

    // Constraints in definition order: per column its not-null and check constraint, then
    // per index its primary-key or unique constraint.
    auto taken = [&](const std::string& name) { return InList(constraint_names, name); };
    for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
        const TableFieldSpec& column_spec = definition.fields[field_no];
        if (column_spec.required) {
            TSQLMemConstraintDef constraint;
            constraint.Kind = ConstraintKind::NotNull;
            constraint.Name = FreeName("$C_NotNull$" + table + "$" + column_spec.name, taken);
            constraint.ObjectID = database_.NextObjectID();
            constraint.TableName = table;
            constraint.FieldNo = field_no;
            constraint_names.push_back(constraint.Name);
            constraints_.push_back(std::move(constraint));
        }
        if (column_spec.check_min || column_spec.check_max) {
            TSQLMemConstraintDef constraint;
            constraint.Kind = ConstraintKind::Check;
            constraint.Name = FreeName("$C_Check$" + table + "$" + column_spec.name, taken);
            constraint.ObjectID = database_.NextObjectID();
            constraint.TableName = table;
            constraint.FieldNo = field_no;
            constraint.MinValue = column_spec.check_min;
            constraint.MaxValue = column_spec.check_max;
            constraint_names.push_back(constraint.Name);
            constraints_.push_back(std::move(constraint));
        }
    }
    for (int32_t index_no = 0; index_no < static_cast<int32_t>(index_defs_.size()); ++index_no) {
        const TSQLMemIndexDef& index = index_defs_[index_no];
        if (!index.Primary && !index.Unique) {
            continue;
        }
        TSQLMemConstraintDef constraint;
        constraint.Kind = index.Primary ? ConstraintKind::PrimaryKey : ConstraintKind::Unique;
        constraint.Name = index.Name;
        constraint.ObjectID = database_.NextObjectID();
        constraint.TableName = table;
        constraint.IndexNo = index_no;
        constraints_.push_back(std::move(constraint));
    }

    // Foreign keys, after every other constraint: their names are made free of those.
    for (const TableForeignKeySpec& foreign : definition.foreign_keys) {
        if (!foreign.name.empty() && taken(foreign.name)) {
            CreationError(11431, "Cannot create table '" + table +
                                     "'. Duplicate constraint name '" + foreign.name + "'");
        }
        TSQLMemConstraintDef key = MakeForeignKey(foreign, constraint_names);
        key.ObjectID = database_.NextObjectID();
        constraint_names.push_back(key.Name);
        constraints_.push_back(std::move(key));
    }
    if (!definition.foreign_keys.empty()) {
        database_.NoteForeignKeys();
    }

    // 6. One sequence per autoinc column.
    for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
        TSQLMemFieldDef& field = field_defs_[field_no];
        if (!IsAutoIncType(field.AdvancedType)) {
            continue;
        }
        TSQLMemSequenceDef sequence;
        sequence.Name =
            FreeName("$S_Autoinc$" + table + "$" + field.Name, [&](const std::string& name) {
                return std::any_of(
                    sequences_.begin(), sequences_.end(),
                    [&](const TSQLMemSequenceDef& s) { return SameName(s.Name, name); });
            }).substr(0, 255);
        sequence.ObjectID = database_.NextObjectID();
        sequence.BaseType = field.BaseType;
        sequence.MinValue = field.MinValue;
        sequence.MaxValue = field.MaxValue;
        sequence.LastValue = field.InitialValue;
        sequence.Increment = field.Increment;
        sequence.Cycled = field.Cycled;
        field.SequenceObjectID = sequence.ObjectID;
        sequences_.push_back(std::move(sequence));
    }

    // 8. Rows, then the index objects over them.
    records_ = std::make_unique<TSQLMemMemoryRecordManager>(field_defs_.DataSize(), alloc_by_);
    pages_ = std::make_unique<TSQLMemMemoryPageManager>();
    BuildIndexes(std::vector<int32_t>(index_defs_.size(), -1));
    has_blob_fields_ = AnyBlobField(field_defs_);
}

TSQLMemTableData::TSQLMemTableData(TSQLMemDatabaseData& database, TSQLMemTableParts parts)
    : database_(database),
      name_(std::move(parts.Name)),
      alloc_by_(parts.AllocBy < 1 ? 1 : parts.AllocBy),
      field_defs_(std::move(parts.FieldDefs)),
      index_defs_(std::move(parts.IndexDefs)),
      constraints_(std::move(parts.Constraints)),
      sequences_(std::move(parts.Sequences)),
      records_(std::move(parts.Records)),
      pages_(std::move(parts.Pages)),
      blobs_(std::move(parts.Blobs)) {
    BuildIndexes(parts.RootPageNos);
    has_blob_fields_ = AnyBlobField(field_defs_);
    if (std::any_of(constraints_.begin(), constraints_.end(), [](const TSQLMemConstraintDef& c) {
            return c.Kind == ConstraintKind::ForeignKey;
        })) {
        database_.NoteForeignKeys();
    }
}

void TSQLMemTableData::BuildIndexes(const std::vector<int32_t>& root_page_nos) {
    for (size_t index_no = 0; index_no < index_defs_.size(); ++index_no) {
        AppendIndexObject(index_defs_[index_no], root_page_nos[index_no]);
    }
}

void TSQLMemTableData::AppendIndexObject(const TSQLMemIndexDef& def, int32_t root_page_no) {
    BTreeIndexDef tree;
    tree.RootPageNo = root_page_no;
    tree.Name = def.Name;
    tree.ObjectID = def.ObjectID;
    tree.Unique = def.Unique;
    tree.Primary = def.Primary;
    for (const TSQLMemIndexColumn& column : def.Columns) {
        const int32_t field_no = field_defs_.IndexOf(column.FieldName);
        const TSQLMemFieldDef& field = field_defs_[field_no];
        KeyColumn key;
        key.type = static_cast<KeyFieldType>(field.BaseType);
        key.size = field.Size;
        key.record_offset = field.MemoryOffset;
        key.field_no = field_no;
        key.descending = column.Descending;
        key.case_insensitive = column.CaseInsensitive;
        tree.Columns.push_back(key);
    }
    bool unique = def.Unique || def.Primary;
    if (!unique && !def.Columns.empty()) {
        const int32_t field_no = field_defs_.IndexOf(def.Columns.front().FieldName);
        unique = IsAutoIncType(field_defs_[field_no].AdvancedType);
    }
    indexes_.push_back(std::make_unique<TSQLMemBTreeIndex>(*pages_, std::move(tree)));
    unique_for_search_.push_back(unique);
}

int32_t TSQLMemTableData::IndexNoByName(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (int32_t i = 0; i < static_cast<int32_t>(index_defs_.size()); ++i) {
        if (SameName(index_defs_[i].Name, name)) {
            return i;
        }
    }
    return -1;
}

void TSQLMemTableData::CheckNoCursors() const {
    if (!cursors_.empty()) {
        throw ESQLMemException::Formatted(
            20018, "Cannot alter table '" + name_ + "'. Table is open by another dataset");
    }
}

void TSQLMemTableData::AddIndex(const TableIndexSpec& new_index) {
    std::lock_guard lock(mutex_);
    CheckNoCursors();
    const std::string& table = name_;
    // The checks a table's creation makes of its indexes.
    if (new_index.name.empty()) {
        CreationError(11433,
                      "Cannot create table '" + table + "'. Unnamed indexes are not allowed");
    }
    CheckNameLength(table, "index", new_index.name);
    const std::vector<std::string> fields = SplitFieldList(new_index.fields);
    if (fields.empty()) {
        CreationError(11434, "Cannot create table '" + table + "'. No fields defined in index '" +
                                 new_index.name + "'");
    }
    if (IndexNoByName(new_index.name) >= 0) {
        CreationError(11428, "Cannot create table '" + table + "'. Duplicate index name '" +
                                 new_index.name + "'");
    }
    for (const TSQLMemConstraintDef& constraint : constraints_) {
        if ((new_index.primary || new_index.unique) && SameName(constraint.Name, new_index.name)) {
            CreationError(11431, "Cannot create table '" + table +
                                     "'. Duplicate constraint name '" + new_index.name + "'");
        }
    }
    if (new_index.primary) {
        for (const TSQLMemIndexDef& def : index_defs_) {
            if (def.Primary) {
                CreationError(11427, "Cannot create table '" + table +
                                         "'. Error in indexes definition - multiple primary "
                                         "indexes are not allowed");
            }
        }
    }
    TSQLMemIndexDef def;
    def.Name = new_index.name;
    def.Primary = new_index.primary;
    def.Unique = new_index.unique || new_index.primary;
    const std::vector<std::string> desc = SplitFieldList(new_index.desc_fields);
    const std::vector<std::string> case_ins = SplitFieldList(new_index.case_ins_fields);
    for (const std::string& field : fields) {
        const int32_t field_no = field_defs_.IndexOf(field);
        if (field_no < 0) {
            CreationError(11435, "Cannot create table '" + table + "'. Field '" + field +
                                     "' of index '" + new_index.name + "' not found");
        }
        if (IsBlobType(field_defs_[field_no].BaseType)) {
            CreationError(30047, "Unknown DataType: '" +
                                     std::string(BaseTypeName(field_defs_[field_no].BaseType)) +
                                     "'");
        }
        TSQLMemIndexColumn column;
        column.FieldName = field_defs_[field_no].Name;
        column.Descending = InList(desc, field) || (new_index.descending && desc.empty());
        column.CaseInsensitive =
            InList(case_ins, field) || (new_index.case_insensitive && case_ins.empty());
        def.Columns.push_back(std::move(column));
    }
    def.ObjectID = database_.NextObjectID();

    index_defs_.push_back(def);
    AppendIndexObject(def, -1);
    TSQLMemBTreeIndex& index = *indexes_.back();
    try {
        // File every stored row; a unique index refuses a key it already holds.
        for (int32_t slot = records_->LowestSlot(); slot <= records_->HighestSlot(); ++slot) {
            const std::byte* row = records_->RecordPointer({slot, 0});
            if (row == nullptr) {
                continue;
            }
            if (def.Primary) {
                for (const TSQLMemIndexColumn& column : def.Columns) {
                    const int32_t field_no = field_defs_.IndexOf(column.FieldName);
                    if (IsFieldNull(row, field_no)) {
                        throw ESQLMemException::Formatted(
                            30330, "Constraint '" + def.Name + "' violated. Value in field '" +
                                       field_defs_[field_no].Name + "' cannot be null");
                    }
                }
            }
            if (def.Unique && !index.CanInsertRecord(0, row)) {
                throw def.Primary
                    ? ESQLMemException::Formatted(30319, "Primary Key constraint '" + def.Name +
                                                             "' violated. Duplicate found.")
                    : ESQLMemException::Formatted(
                          30320, "Constraint unique '" + def.Name + "' violated. Duplicate found.");
            }
            index.InsertRecord(0, row, IndexRecordId{slot, 0});
        }
        pages_->ApplyChanges(0);
    } catch (...) {
        try {
            index.DropIndex(0);
            pages_->ApplyChanges(0);
        } catch (...) {
            pages_->CancelChanges(0);
        }
        indexes_.pop_back();
        unique_for_search_.pop_back();
        index_defs_.pop_back();
        throw;
    }
    if (def.Unique) {
        TSQLMemConstraintDef constraint;
        constraint.Kind = def.Primary ? ConstraintKind::PrimaryKey : ConstraintKind::Unique;
        constraint.Name = def.Name;
        constraint.ObjectID = database_.NextObjectID();
        constraint.TableName = name_;
        constraint.IndexNo = static_cast<int32_t>(index_defs_.size()) - 1;
        constraints_.push_back(std::move(constraint));
    }
    ++change_count_;
}

void TSQLMemTableData::DropConstraint(const std::string& name) {
    std::lock_guard lock(mutex_);
    CheckNoCursors();
    const auto found = std::find_if(
        constraints_.begin(), constraints_.end(),
        [&](const TSQLMemConstraintDef& constraint) { return SameName(constraint.Name, name); });
    if (found == constraints_.end()) {
        throw ESQLMemException::Formatted(10078, "Constraint '" + name + "' not found");
    }
    if (found->Kind == ConstraintKind::PrimaryKey || found->Kind == ConstraintKind::Unique) {
        DropIndex(index_defs_[found->IndexNo].Name);
        return;
    }
    constraints_.erase(found);
    ++change_count_;
}

void TSQLMemTableData::DropIndex(const std::string& name) {
    std::lock_guard lock(mutex_);
    CheckNoCursors();
    const int32_t index_no = IndexNoByName(name);
    if (index_no < 0) {
        throw ESQLMemException::Formatted(10077, "Index '" + name + "' not found");
    }
    // Foreign keys reference the primary key: without it no row could be referenced.
    if (index_defs_[index_no].Primary && !database_.ReferencingTables(name_).empty()) {
        throw ESQLMemException::Formatted(11425, "Cannot drop primary key '" + name +
                                                     "' of table '" + name_ +
                                                     "' - foreign key(s) reference this table");
    }
    indexes_[index_no]->DropIndex(0);
    pages_->ApplyChanges(0);
    indexes_.erase(indexes_.begin() + index_no);
    unique_for_search_.erase(unique_for_search_.begin() + index_no);
    index_defs_.erase(index_defs_.begin() + index_no);
    std::erase_if(constraints_, [&](const TSQLMemConstraintDef& constraint) {
        return constraint.IndexNo == index_no && (constraint.Kind == ConstraintKind::PrimaryKey ||
                                                  constraint.Kind == ConstraintKind::Unique);
    });
    for (TSQLMemConstraintDef& constraint : constraints_) {
        if (constraint.IndexNo > index_no) {
            --constraint.IndexNo;
        }
    }
    ++change_count_;
}

TSQLMemTableData::~TSQLMemTableData() {
    // The indexes go before the store that holds their pages.
    indexes_.clear();
}

int32_t TSQLMemTableData::IndexNoByObjectID(int32_t object_id) const {
    for (int32_t i = 0; i < static_cast<int32_t>(index_defs_.size()); ++i) {
        if (index_defs_[i].ObjectID == object_id) {
            return i;
        }
    }
    return -1;
}

ConnectionID TSQLMemTableData::ConnectionOf(const TSQLMemCursor* by) {
    return by != nullptr ? by->ConnectionID() : 0;
}

std::string TSQLMemTableData::Name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void TSQLMemTableData::SetName(const std::string& name) {
    std::lock_guard lock(mutex_);
    name_ = name;
}

void TSQLMemTableData::RegisterCursor(TSQLMemCursor* cursor) {
    std::lock_guard lock(mutex_);
    cursors_.push_back(cursor);
}

void TSQLMemTableData::UnregisterCursor(TSQLMemCursor* cursor) {
    std::lock_guard lock(mutex_);
    std::erase(cursors_, cursor);
}

size_t TSQLMemTableData::OpenCursorCount() const {
    std::lock_guard lock(mutex_);
    return cursors_.size();
}

int64_t TSQLMemTableData::RecordCount() const {
    std::lock_guard lock(mutex_);
    return records_->RecordCount();
}

void TSQLMemTableData::InitNewRow(std::byte* row, TSQLMemLocalSession& session) {
    std::lock_guard lock(mutex_);
    std::memset(row, 0, static_cast<size_t>(field_defs_.DataSize()));
    SetAllNull(row, field_defs_.Count());
    if (!field_defs_.HasDefaults() && !field_defs_.HasAutoInc()) {
        return;
    }
    for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
        const TSQLMemFieldDef& field = field_defs_[field_no];
        if (field.DefaultValue) {
            SetFieldData(field_defs_, field_no, field.DefaultValue->data(), row);
        }
        if (IsAutoIncType(field.AdvancedType) && field.SequenceObjectID >= 0) {
            const int64_t value = NextSequenceValue(field.SequenceObjectID);
            session.SetLastValue(SequenceByObjectID(field.SequenceObjectID).Name, value);
            SetInteger(field_defs_, field_no, value, row);
        }
    }
}

TSQLMemSequenceDef& TSQLMemTableData::SequenceByObjectID(int32_t object_id) {
    for (TSQLMemSequenceDef& sequence : sequences_) {
        if (sequence.ObjectID == object_id) {
            return sequence;
        }
    }
    throw ESQLMemException::Formatted(30010,
                                      "Sequence #" + std::to_string(object_id) + " not found");
}

int64_t TSQLMemTableData::NextSequenceValue(int32_t sequence_object_id) {
    std::lock_guard lock(mutex_);
    TSQLMemSequenceDef& sequence = SequenceByObjectID(sequence_object_id);
    // The column's width bounds the sequence as much as its own limits do: a value that
    // does not fit would be stored as its low bytes, a wrapped number.
    const IntegerRange column = BaseTypeIntegerRange(sequence.BaseType);
    const int64_t min_value = std::max(sequence.MinValue, column.min);
    const int64_t max_value = std::min(sequence.MaxValue, column.max);
    int64_t next = 0;
    const bool overflow = __builtin_add_overflow(sequence.LastValue, sequence.Increment, &next);
    if (overflow || next > max_value || next < min_value) {
        if (!sequence.Cycled) {
            throw ESQLMemException::Formatted(30009, "Sequence '" + sequence.Name + "' overflow");
        }
        next = sequence.Increment >= 0 ? min_value : max_value;
    }
    sequence.LastValue = next;
    return next;
}

int64_t TSQLMemTableData::LastAutoincValue(int32_t field_no,
                                           const TSQLMemLocalSession& session) const {
    std::lock_guard lock(mutex_);
    if (field_no < 0 || field_no >= field_defs_.Count()) {
        throw ESQLMemException::Formatted(30335,
                                          "Field #" + std::to_string(field_no) + " not found");
    }
    const int32_t object_id = field_defs_[field_no].SequenceObjectID;
    for (const TSQLMemSequenceDef& sequence : sequences_) {
        if (sequence.ObjectID == object_id) {
            int64_t value = 0;
            if (!session.LastValue(sequence.Name, value)) {
                throw ESQLMemException::Formatted(
                    30012, "No SequenceLastValue in session for sequence '" + sequence.Name +
                               "'. Call GetNextVal first");
            }
            return value;
        }
    }
    throw ESQLMemException::Formatted(30011,
                                      "Sequence #" + std::to_string(object_id) + " not found");
}

void TSQLMemTableData::SetAutoincValue(int32_t field_no, int64_t value) {
    std::lock_guard lock(mutex_);
    if (field_no < 0 || field_no >= field_defs_.Count()) {
        throw ESQLMemException::Formatted(10575,
                                          "Field #" + std::to_string(field_no) + " not found");
    }
    SequenceByObjectID(field_defs_[field_no].SequenceObjectID).LastValue = value;
}

std::string TSQLMemTableData::CheckConstraints(const std::byte* new_row, const std::byte* old_row,
                                               const TSQLMemCursor* by) const {
    std::lock_guard lock(mutex_);
    const ConnectionID connection = ConnectionOf(by);
    const bool has_rows = records_->RecordCount() > 0;
    for (const TSQLMemConstraintDef& constraint : constraints_) {
        switch (constraint.Kind) {
            case ConstraintKind::PrimaryKey:
            case ConstraintKind::Unique: {
                TSQLMemBTreeIndex& index = *indexes_[constraint.IndexNo];
                const bool primary = constraint.Kind == ConstraintKind::PrimaryKey;
                if (primary) {
                    for (const KeyColumn& column : index.Definition().Columns) {
                        if (IsFieldNull(new_row, column.field_no)) {
                            return ESQLMemException::Formatted(
                                       30330, "Constraint '" + constraint.Name +
                                                  "' violated. Value in field '" +
                                                  field_defs_[column.field_no].Name +
                                                  "' cannot be null")
                                .Message();
                        }
                    }
                }
                if (!has_rows) {
                    break;
                }
                const bool free = old_row == nullptr
                                      ? index.CanInsertRecord(connection, new_row)
                                      : index.CanUpdateRecord(connection, old_row, new_row);
                if (!free) {
                    return primary ? ESQLMemException::Formatted(
                                         30319, "Primary Key constraint '" + constraint.Name +
                                                    "' violated. Duplicate found.")
                                         .Message()
                                   : ESQLMemException::Formatted(
                                         30320, "Constraint unique '" + constraint.Name +
                                                    "' violated. Duplicate found.")
                                         .Message();
                }
                break;
            }
            case ConstraintKind::NotNull:
                if (IsFieldNull(new_row, constraint.FieldNo)) {
                    return ESQLMemException::Formatted(
                               30026, "Constraint '" + constraint.Name +
                                          "' violated. Value in field '" +
                                          field_defs_[constraint.FieldNo].Name + "' cannot be null")
                        .Message();
                }
                break;
            case ConstraintKind::Check: {
                if (constraint.FieldNo < 0 || constraint.FieldNo >= field_defs_.Count()) {
                    return ESQLMemException::Formatted(
                               30024, "Field #" + std::to_string(constraint.FieldNo) + " not found")
                        .Message();
                }
                const std::optional<double> value =
                    GetFloat(field_defs_, constraint.FieldNo, new_row);
                if (!value) {
                    break;
                }
                const std::string& field = field_defs_[constraint.FieldNo].Name;
                if (constraint.MinValue && *value < *constraint.MinValue) {
                    return ESQLMemException::Formatted(30029,
                                                       "Constraint '" + constraint.Name +
                                                           "' violated. Value in field '" + field +
                                                           "' cannot be lower then '" +
                                                           FormatLimit(*constraint.MinValue) + "'")
                        .Message();
                }
                if (constraint.MaxValue && *value > *constraint.MaxValue) {
                    return ESQLMemException::Formatted(30030,
                                                       "Constraint '" + constraint.Name +
                                                           "' violated. Value in field '" + field +
                                                           "' cannot be greater then '" +
                                                           FormatLimit(*constraint.MaxValue) + "'")
                        .Message();
                }
                break;
            }
            case ConstraintKind::ForeignKey: {
                // An update that leaves the referencing columns as they were keeps a
                // reference that was checked when it was made.
                if (old_row != nullptr) {
                    bool same = true;
                    for (const std::string& column : constraint.Columns) {
                        const int32_t field_no = field_defs_.IndexOf(column);
                        same = same && field_no >= 0 &&
                               TSQLMemVariant::FromField(field_defs_, field_no, new_row) ==
                                   TSQLMemVariant::FromField(field_defs_, field_no, old_row);
                    }
                    if (same) {
                        break;
                    }
                }
                std::string failure = ForeignKeyViolation(constraint, new_row);
                if (!failure.empty()) {
                    return failure;
                }
                break;
            }
        }
    }
    return {};
}

void TSQLMemTableData::NotifyOtherCursors(const TSQLMemCursor* by) {
    for (TSQLMemCursor* cursor : cursors_) {
        if (cursor != by) {
            cursor->OnTableChangedElsewhere();
        }
    }
}

void TSQLMemTableData::InsertIntoIndexes(ConnectionID connection, const std::byte* row,
                                         TSQLMemRecordID id) {
    const IndexRecordId entry{id.PageNo, 0};
    size_t filed = 0;
    try {
        for (; filed < indexes_.size(); ++filed) {
            indexes_[filed]->InsertRecord(connection, row, entry);
        }
        pages_->ApplyChanges(connection);
    } catch (...) {
        // Take the row out of the indexes that filed it, so that none holds a row the
        // slot array does not.
        try {
            for (size_t i = 0; i < filed; ++i) {
                indexes_[i]->DeleteRecord(connection, row, entry);
            }
            pages_->ApplyChanges(connection);
        } catch (...) {
            pages_->CancelChanges(connection);
        }
        throw;
    }
}

std::vector<std::byte> TSQLMemTableData::RowWithBlobs(const std::byte* row, const std::byte* stored,
                                                      const BlobChanges* blobs,
                                                      std::vector<uint64_t>& made) {
    const size_t size = static_cast<size_t>(field_defs_.DataSize());
    std::vector<std::byte> result(row, row + size);
    // Every reference made is in `made` before anything else can fail.
    made.reserve(made.size() + static_cast<size_t>(field_defs_.Count()));
    for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
        const TSQLMemFieldDef& field = field_defs_[field_no];
        if (!IsBlobType(field.BaseType)) {
            continue;
        }
        const bool changed = blobs != nullptr && static_cast<size_t>(field_no) < blobs->size() &&
                             (*blobs)[field_no].has_value();
        uint64_t reference = 0;
        if (changed) {
            const std::vector<std::byte>& content = *(*blobs)[field_no];
            if (!content.empty()) {
                reference = blobs_.Add(MakeBlobValue(field, content));
                made.push_back(reference);
            }
        } else if (stored != nullptr) {
            reference = GetBlobReference(field_defs_, field_no, stored);
        } else if (const BlobValue* value =
                       blobs_.Find(GetBlobReference(field_defs_, field_no, row))) {
            // A row copied from another stored row gets a value of its own.
            BlobValue copy = BlobValue::FromStored(
                value->EncodeHeader(),
                EngineVector<std::byte>(value->Data().begin(), value->Data().end()));
            reference = blobs_.Add(std::move(copy));
            made.push_back(reference);
        }
        SetBlobReference(field_defs_, field_no, reference, result.data());
    }
    return result;
}

void TSQLMemTableData::FreeBlobs(const std::vector<uint64_t>& references) noexcept {
    for (const uint64_t reference : references) {
        blobs_.Free(reference);
    }
}

TSQLMemRecordID TSQLMemTableData::InsertRow(const std::byte* row, const TSQLMemCursor* by,
                                            const BlobChanges* blobs) {
    std::lock_guard lock(mutex_);
    const ConnectionID connection = ConnectionOf(by);
    std::vector<uint64_t> made;
    try {
        // Rows without BLOB fields are stored as they come, without a copy.
        std::vector<std::byte> with_blobs;
        if (has_blob_fields_) {
            with_blobs = RowWithBlobs(row, nullptr, blobs, made);
            row = with_blobs.data();
        }
        const TSQLMemRecordID id = records_->AddRecord(row);
        ++change_count_;
        try {
            InsertIntoIndexes(connection, row, id);
        } catch (...) {
            records_->DeleteRecord(id);
            throw;
        }
        NotifyOtherCursors(by);
        return id;
    } catch (...) {
        FreeBlobs(made);
        throw;
    }
}

bool TSQLMemTableData::UpdateRow(TSQLMemRecordID id, const std::byte* new_row,
                                 const TSQLMemCursor* by, const BlobChanges* blobs) {
    std::lock_guard lock(mutex_);
    const std::byte* stored = records_->RecordPointer(id);
    if (stored == nullptr) {
        return false;
    }
    const ConnectionID connection = ConnectionOf(by);
    const std::vector<std::byte> old_row(stored, stored + records_->RowSize());
    std::vector<uint64_t> made;
    std::vector<std::byte> with_blobs;
    const std::byte* row = new_row;
    if (has_blob_fields_) {
        try {
            with_blobs = RowWithBlobs(new_row, old_row.data(), blobs, made);
        } catch (...) {
            FreeBlobs(made);
            throw;
        }
        row = with_blobs.data();
    }
    // The values the changed fields held before.
    std::vector<uint64_t> replaced;
    if (blobs != nullptr) {
        for (size_t field_no = 0; field_no < blobs->size(); ++field_no) {
            const auto field = static_cast<int32_t>(field_no);
            if (has_blob_fields_ && (*blobs)[field_no] && field < field_defs_.Count() &&
                IsBlobType(field_defs_[field].BaseType)) {
                replaced.push_back(GetBlobReference(field_defs_, field, old_row.data()));
            }
        }
    }
    std::vector<ForeignKeyAction> actions;
    try {
        PlanForeignKeyActions(id, old_row.data(), row, actions);
    } catch (...) {
        FreeBlobs(made);
        throw;
    }
    const IndexRecordId entry{id.PageNo, 0};
    ++change_count_;
    bool updated = false;
    try {
        for (auto& index : indexes_) {
            index->UpdateRecord(connection, old_row.data(), row, entry);
        }
        pages_->ApplyChanges(connection);
        updated = records_->UpdateRecord(id, row);
    } catch (...) {
        FreeBlobs(made);
        throw;
    }
    FreeBlobs(updated ? replaced : made);
    NotifyOtherCursors(by);
    if (updated) {
        RunForeignKeyActions(std::move(actions));
    }
    return updated;
}

bool TSQLMemTableData::DeleteRow(TSQLMemRecordID id, const TSQLMemCursor* by) {
    std::lock_guard lock(mutex_);
    const std::byte* stored = records_->RecordPointer(id);
    if (stored == nullptr) {
        return false;
    }
    std::vector<ForeignKeyAction> actions;
    PlanForeignKeyActions(id, stored, nullptr, actions);
    std::vector<uint64_t> values;
    if (has_blob_fields_) {
        for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
            if (IsBlobType(field_defs_[field_no].BaseType)) {
                values.push_back(GetBlobReference(field_defs_, field_no, stored));
            }
        }
    }
    const ConnectionID connection = ConnectionOf(by);
    const IndexRecordId entry{id.PageNo, 0};
    ++change_count_;
    for (auto& index : indexes_) {
        index->DeleteRecord(connection, stored, entry);
    }
    pages_->ApplyChanges(connection);
    const bool deleted = records_->DeleteRecord(id);
    if (deleted) {
        FreeBlobs(values);
    }
    NotifyOtherCursors(by);
    if (deleted) {
        RunForeignKeyActions(std::move(actions));
    }
    return deleted;
}

std::vector<std::byte> TSQLMemTableData::ReadBlob(uint64_t reference) const {
    std::lock_guard lock(mutex_);
    return blobs_.Get(reference).Read();
}

void TSQLMemTableData::Empty() {
    std::lock_guard lock(mutex_);
    if (!cursors_.empty()) {
        throw ESQLMemException::Formatted(
            10072, "Cannot delete table '" + name_ + "'. Table is open by another dataset");
    }
    ++change_count_;
    for (auto& index : indexes_) {
        index->DropIndex(0);
    }
    pages_->ApplyChanges(0);
    records_->Empty();
    blobs_.Clear();
}

std::vector<std::string> TSQLMemTableData::CheckIntegrity() const {
    // Enough to tell what is wrong; a badly damaged table would list every entry.
    constexpr size_t kMaxProblems = 100;
    std::lock_guard lock(mutex_);
    std::vector<std::string> problems;
    for (size_t i = 0; i < indexes_.size(); ++i) {
        TSQLMemBTreeIndex& index = *indexes_[i];
        const std::string name = "index '" + index.Definition().Name + "': ";
        for (const std::string& problem : index.CheckIntegrity(0)) {
            problems.push_back(name + problem);
        }
        // Every entry names a stored row whose key is the entry's, and every row has one.
        // The index's own check has found the keys in order, so a row whose key is the
        // entry's is where a search for it would land.
        int64_t entries = 0;
        const TSQLMemBTreeKeyRef& key_ref = index.KeyRef();
        std::vector<std::byte> row_key(static_cast<size_t>(key_ref.KeySize()));
        index.VisitEntries(0, [&](IndexRecordId entry, const std::byte* key) {
            // More entries than rows is wrong already; a damaged leaf chain must not run on.
            if (++entries > records_->RecordCount() || problems.size() >= kMaxProblems) {
                return false;
            }
            const std::byte* row = records_->RecordPointer({entry.PageNo, 0});
            if (row == nullptr) {
                problems.push_back(name + "entry for missing row " + std::to_string(entry.PageNo));
                return true;
            }
            key_ref.MakeKey(row, row_key.data());
            if (std::memcmp(row_key.data(), key, row_key.size()) != 0) {
                problems.push_back(name + "row " + std::to_string(entry.PageNo) +
                                   " is filed under another key");
            }
            return true;
        });
        if (entries != records_->RecordCount()) {
            problems.push_back(name + std::to_string(entries) + " entries for " +
                               std::to_string(records_->RecordCount()) + " rows");
        }
    }
    return problems;
}

}  // namespace tapir::engine
