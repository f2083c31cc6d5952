// Foreign keys of TSQLMemTableData: their definition, the check a referencing row must
// pass, and the actions a delete or key change of a referenced row sets off.
//
// The referencing table keeps the key (columns by name, referenced table by name); the
// referenced table asks the database for the keys that point at it when a row goes or its
// key changes. Actions run in two steps around the change of the referenced row: before
// it, the referencing rows are found and a NO ACTION key with such rows refuses, and the
// rows a SET NULL / SET DEFAULT action would produce are checked; after it, the planned
// deletes and updates are carried out (the update of a cascaded key can only pass its
// check once the referenced row holds the new key).

#include <algorithm>
#include <random>

#include "engine/record/utf8_text.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::engine {

namespace {

constexpr int kForeignKeyViolatedCode = 11420;

bool IsNullValue(const TSQLMemVariant& value) { return value.IsNull(); }

std::string ViolationText(const std::string& key_name, const std::string& table_name) {
    return ESQLMemException::Formatted(
               kForeignKeyViolatedCode,
               "Constraint foreign key '" + key_name + "' violated in table '" + table_name + "'")
        .Message();
}

int RandomNumber() {
    static std::mt19937 generator{std::random_device{}()};
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    return std::uniform_int_distribution<int>(0, 65534)(generator);
}

bool NameTaken(const std::vector<std::string>& taken, const std::string& name) {
    return std::any_of(taken.begin(), taken.end(),
                       [&](const std::string& other) { return SameName(other, name); });
}

// True when the referencing values must be looked up; false when the match rule lets the
// nulls among them pass. `partly_null` tells a full-match violation apart.
bool NeedsLookup(TSQLMemMatchRule match, const std::vector<TSQLMemVariant>& values,
                 bool& partly_null) {
    const auto nulls = std::count_if(values.begin(), values.end(), IsNullValue);
    partly_null = false;
    if (nulls == 0) {
        return true;
    }
    if (nulls == static_cast<long>(values.size())) {
        return false;
    }
    switch (match) {
        case TSQLMemMatchRule::Simple:
            return false;
        case TSQLMemMatchRule::Full:
            partly_null = true;
            return false;
        case TSQLMemMatchRule::Partial:
            return true;
    }
    return false;
}

bool Equal(const TSQLMemVariant& a, const TSQLMemVariant& b, bool ignore_case) {
    try {
        return a.Compare(b, ignore_case) == cmprEqual;
    } catch (const ESQLMemException&) {
        return false;  // values of types that do not compare never match
    }
}

// The field numbers of a key's columns; empty when the table lacks one of them.
std::vector<int32_t> KeyFields(const TSQLMemFieldDefs& defs, const TSQLMemConstraintDef& key) {
    std::vector<int32_t> fields;
    for (const std::string& column : key.Columns) {
        const int32_t field_no = defs.IndexOf(column);
        if (field_no < 0) {
            return {};
        }
        fields.push_back(field_no);
    }
    return fields;
}

// Hands `visit` the identifier and key values of every stored row whose key takes part
// in a look-up under `match`, in storage order, until `visit` returns false.
template <typename Visit>
void ForEachKeyedRow(const TSQLMemMemoryRecordManager& records, const TSQLMemFieldDefs& defs,
                     const std::vector<int32_t>& fields, TSQLMemMatchRule match, Visit visit) {
    std::vector<TSQLMemVariant> values(fields.size());
    for (int32_t slot = records.LowestSlot(); slot <= records.HighestSlot(); ++slot) {
        const std::byte* row = records.RecordPointer({slot, 0});
        if (row == nullptr) {
            continue;
        }
        for (size_t i = 0; i < fields.size(); ++i) {
            values[i] = TSQLMemVariant::FromField(defs, fields[i], row);
        }
        bool partly_null = false;
        if (NeedsLookup(match, values, partly_null) && !visit(TSQLMemRecordID{slot, 0}, values)) {
            return;
        }
    }
}

}  // namespace

std::vector<int32_t> TSQLMemTableData::PrimaryKeyFields() const {
    std::lock_guard lock(mutex_);
    for (const TSQLMemIndexDef& index : index_defs_) {
        if (!index.Primary) {
            continue;
        }
        std::vector<int32_t> fields;
        for (const TSQLMemIndexColumn& column : index.Columns) {
            fields.push_back(field_defs_.IndexOf(column.FieldName));
        }
        return fields;
    }
    return {};
}

TSQLMemConstraintDef TSQLMemTableData::MakeForeignKey(const TableForeignKeySpec& foreign,
                                                      const std::vector<std::string>& taken) const {
    TSQLMemConstraintDef key;
    key.Kind = ConstraintKind::ForeignKey;
    key.TableName = name_;
    key.Match = foreign.match;
    key.OnUpdate = foreign.on_update;
    key.OnDelete = foreign.on_delete;
    const std::string base =
        foreign.name.empty() ? "FOREIGN_KEY_" + std::to_string(RandomNumber()) : foreign.name;
    key.Name = base;
    while (NameTaken(taken, key.Name)) {
        key.Name = base + std::to_string(RandomNumber());
    }
    const std::string prefix =
        "Cannot create foreign key '" + key.Name + "' in table '" + name_ + "'";
    const std::vector<std::string> columns = SplitFieldList(foreign.fields);
    if (columns.empty()) {
        throw ESQLMemException::Formatted(11424, prefix + ". No fields defined");
    }
    for (const std::string& column : columns) {
        const int32_t field_no = field_defs_.IndexOf(column);
        if (field_no < 0 || IsBlobType(field_defs_[field_no].BaseType)) {
            throw ESQLMemException::Formatted(
                11424, prefix + ". Field '" + column + "' not found or not comparable");
        }
        key.Columns.push_back(field_defs_[field_no].Name);
    }
    const TSQLMemTableData* referenced =
        SameName(foreign.referenced_table, name_) ? this : database_.FindTable(foreign.referenced_table);
    if (referenced == nullptr) {
        throw ESQLMemException::Formatted(
            11421, prefix + ". Referenced table '" + foreign.referenced_table + "' not found");
    }
    key.ReferencedTable = referenced == this ? name_ : referenced->Name();
    const std::vector<int32_t> primary = referenced->PrimaryKeyFields();
    if (primary.empty()) {
        throw ESQLMemException::Formatted(
            11422, prefix + ". Referenced table '" + key.ReferencedTable + "' has no primary key");
    }
    if (primary.size() != columns.size()) {
        throw ESQLMemException::Formatted(11423, prefix + ". " + std::to_string(columns.size()) +
                                                     " referencing field(s) for a primary key of " +
                                                     std::to_string(primary.size()) +
                                                     " field(s) in table '" + key.ReferencedTable +
                                                     "'");
    }
    return key;
}

void TSQLMemTableData::AddForeignKey(const TableForeignKeySpec& foreign) {
    std::lock_guard lock(mutex_);
    CheckNoCursors();
    std::vector<std::string> taken;
    for (const TSQLMemConstraintDef& constraint : constraints_) {
        taken.push_back(constraint.Name);
    }
    if (!foreign.name.empty() && NameTaken(taken, foreign.name)) {
        throw ESQLMemException::Formatted(
            11431,
            "Cannot create table '" + name_ + "'. Duplicate constraint name '" + foreign.name + "'");
    }
    TSQLMemConstraintDef key = MakeForeignKey(foreign, taken);
    for (int32_t slot = records_->LowestSlot(); slot <= records_->HighestSlot(); ++slot) {
        const std::byte* row = records_->RecordPointer({slot, 0});
        if (row == nullptr) {
            continue;
        }
        const std::string failure = ForeignKeyViolation(key, row);
        if (!failure.empty()) {
            throw ESQLMemException::Formatted(
                kForeignKeyViolatedCode,
                "Constraint foreign key '" + key.Name + "' violated in table '" + name_ + "'");
        }
    }
    key.ObjectID = database_.NextObjectID();
    constraints_.push_back(std::move(key));
    database_.NoteForeignKeys();
    ++change_count_;
}

std::vector<TSQLMemConstraintDef> TSQLMemTableData::ForeignKeysTo(
    const std::string& table_name) const {
    std::lock_guard lock(mutex_);
    std::vector<TSQLMemConstraintDef> keys;
    for (const TSQLMemConstraintDef& constraint : constraints_) {
        if (constraint.Kind == ConstraintKind::ForeignKey &&
            SameName(constraint.ReferencedTable, table_name)) {
            keys.push_back(constraint);
        }
    }
    return keys;
}

void TSQLMemTableData::RenameReferencedTable(const std::string& old_name,
                                             const std::string& new_name) {
    std::lock_guard lock(mutex_);
    for (TSQLMemConstraintDef& constraint : constraints_) {
        if (constraint.Kind == ConstraintKind::ForeignKey &&
            SameName(constraint.ReferencedTable, old_name)) {
            constraint.ReferencedTable = new_name;
        }
    }
}

int TSQLMemTableData::RemoveForeignKeysTo(const std::string& table_name) {
    std::lock_guard lock(mutex_);
    const auto removed = std::erase_if(constraints_, [&](const TSQLMemConstraintDef& constraint) {
        return constraint.Kind == ConstraintKind::ForeignKey &&
               SameName(constraint.ReferencedTable, table_name);
    });
    if (removed > 0) {
        ++change_count_;
    }
    return static_cast<int>(removed);
}

bool TSQLMemTableData::HasReferencingRows(const TSQLMemConstraintDef& key) const {
    std::lock_guard lock(mutex_);
    const std::vector<int32_t> fields = KeyFields(field_defs_, key);
    bool found = false;
    if (!fields.empty()) {
        ForEachKeyedRow(*records_, field_defs_, fields, key.Match,
                        [&](TSQLMemRecordID, const std::vector<TSQLMemVariant>&) {
                            found = true;
                            return false;
                        });
    }
    return found;
}

std::vector<bool> TSQLMemTableData::PrimaryKeyCaseRules() const {
    std::lock_guard lock(mutex_);
    std::vector<bool> rules;
    for (const TSQLMemIndexDef& index : index_defs_) {
        if (index.Primary) {
            for (const TSQLMemIndexColumn& column : index.Columns) {
                rules.push_back(column.CaseInsensitive);
            }
        }
    }
    return rules;
}

bool TSQLMemTableData::HoldsKey(const std::vector<TSQLMemVariant>& values,
                                std::optional<TSQLMemRecordID> exclude) const {
    std::lock_guard lock(mutex_);
    int32_t primary_index = -1;
    for (int32_t i = 0; i < static_cast<int32_t>(index_defs_.size()); ++i) {
        if (index_defs_[i].Primary) {
            primary_index = i;
        }
    }
    if (primary_index < 0 || index_defs_[primary_index].Columns.size() != values.size()) {
        return false;
    }
    const TSQLMemIndexDef& index = index_defs_[primary_index];
    std::vector<int32_t> fields;
    for (const TSQLMemIndexColumn& column : index.Columns) {
        fields.push_back(field_defs_.IndexOf(column.FieldName));
    }
    const bool complete = std::none_of(values.begin(), values.end(), IsNullValue);
    if (complete && !exclude) {
        // The primary index holds the key exactly when it refuses a new row with it.
        std::vector<std::byte> probe(static_cast<size_t>(field_defs_.DataSize()));
        SetAllNull(probe.data(), field_defs_.Count());
        try {
            for (size_t i = 0; i < fields.size(); ++i) {
                values[i].ToField(field_defs_, fields[i], probe.data());
                // A value the column cannot hold as it is (cut text, a fraction in an
                // integer) is no key of this table.
                if (!Equal(TSQLMemVariant::FromField(field_defs_, fields[i], probe.data()),
                           values[i], false)) {
                    return false;
                }
            }
        } catch (const ESQLMemException&) {
            return false;
        }
        return !indexes_[primary_index]->CanInsertRecord(0, probe.data());
    }
    for (int32_t slot = records_->LowestSlot(); slot <= records_->HighestSlot(); ++slot) {
        const std::byte* row = records_->RecordPointer({slot, 0});
        if (row == nullptr || (exclude && exclude->PageNo == slot)) {
            continue;
        }
        bool match = true;
        for (size_t i = 0; i < fields.size() && match; ++i) {
            match = values[i].IsNull() ||
                    Equal(values[i], TSQLMemVariant::FromField(field_defs_, fields[i], row),
                          index.Columns[i].CaseInsensitive);
        }
        if (match) {
            return true;
        }
    }
    return false;
}

std::string TSQLMemTableData::ForeignKeyViolation(const TSQLMemConstraintDef& key,
                                                  const std::byte* row) const {
    std::vector<TSQLMemVariant> values;
    for (const std::string& column : key.Columns) {
        const int32_t field_no = field_defs_.IndexOf(column);
        if (field_no < 0) {
            return ViolationText(key.Name, name_);
        }
        values.push_back(TSQLMemVariant::FromField(field_defs_, field_no, row));
    }
    bool partly_null = false;
    if (!NeedsLookup(key.Match, values, partly_null)) {
        return partly_null ? ViolationText(key.Name, name_) : std::string();
    }
    const bool self = SameName(key.ReferencedTable, name_);
    if (self) {
        // A row may reference itself: it is the referenced row once it is stored.
        const std::vector<int32_t> primary = PrimaryKeyFields();
        bool own = primary.size() == values.size();
        for (size_t i = 0; i < values.size() && own; ++i) {
            own =
                primary[i] >= 0 &&
                (values[i].IsNull() ||
                 Equal(values[i], TSQLMemVariant::FromField(field_defs_, primary[i], row), false));
        }
        if (own) {
            return {};
        }
    }
    const TSQLMemTableData* referenced = self ? this : database_.FindTable(key.ReferencedTable);
    if (referenced == nullptr || !referenced->HoldsKey(values, std::nullopt)) {
        return ViolationText(key.Name, name_);
    }
    return {};
}

std::vector<TSQLMemRecordID> TSQLMemTableData::ReferencingRows(
    const TSQLMemConstraintDef& key, const TSQLMemTableData& referenced, TSQLMemRecordID id,
    const std::vector<TSQLMemVariant>& key_values) const {
    std::lock_guard lock(mutex_);
    const std::vector<int32_t> fields = KeyFields(field_defs_, key);
    if (fields.empty() || fields.size() != key_values.size() ||
        referenced.PrimaryKeyCaseRules().size() != key_values.size()) {
        return {};
    }
    const std::vector<bool> ignore_case = referenced.PrimaryKeyCaseRules();
    std::vector<TSQLMemRecordID> rows;
    ForEachKeyedRow(
        *records_, field_defs_, fields, key.Match,
        [&](TSQLMemRecordID row_id, const std::vector<TSQLMemVariant>& values) {
            bool match = true;
            for (size_t i = 0; i < fields.size() && match; ++i) {
                match = values[i].IsNull() || Equal(values[i], key_values[i], ignore_case[i]);
            }
            // Under a partial match a row with nulls keeps its reference while another
            // row still matches what it holds.
            if (match && std::any_of(values.begin(), values.end(), IsNullValue) &&
                referenced.HoldsKey(values, id)) {
                match = false;
            }
            if (match) {
                rows.push_back(row_id);
            }
            return true;
        });
    return rows;
}

bool TSQLMemTableData::StillReferences(const TSQLMemConstraintDef& key, const std::byte* new_row,
                                       const std::vector<TSQLMemVariant>& old_key) const {
    if (new_row == nullptr || key.Columns.size() != old_key.size()) {
        return false;
    }
    for (size_t i = 0; i < old_key.size(); ++i) {
        const int32_t field_no = field_defs_.IndexOf(key.Columns[i]);
        if (field_no < 0 ||
            !Equal(TSQLMemVariant::FromField(field_defs_, field_no, new_row), old_key[i], false)) {
            return false;
        }
    }
    return true;
}

void TSQLMemTableData::PlanForeignKeyActions(TSQLMemRecordID id, const std::byte* old_row,
                                             const std::byte* new_row,
                                             std::vector<ForeignKeyAction>& actions) {
    if (!database_.HasForeignKeys()) {
        return;
    }
    const std::vector<int32_t> primary = PrimaryKeyFields();
    if (primary.empty() || std::find(primary.begin(), primary.end(), -1) != primary.end()) {
        return;
    }
    std::vector<TSQLMemVariant> old_key;
    std::vector<TSQLMemVariant> new_key;
    bool changed = new_row == nullptr;
    for (const int32_t field_no : primary) {
        old_key.push_back(TSQLMemVariant::FromField(field_defs_, field_no, old_row));
        if (new_row != nullptr) {
            new_key.push_back(TSQLMemVariant::FromField(field_defs_, field_no, new_row));
            changed = changed || !(new_key.back() == old_key.back());
        }
    }
    if (!changed) {
        return;
    }
    for (TSQLMemTableData* table : database_.ReferencingTables(name_)) {
        for (const TSQLMemConstraintDef& key : table->ForeignKeysTo(name_)) {
            std::vector<TSQLMemRecordID> rows = table->ReferencingRows(key, *this, id, old_key);
            if (table == this && std::find(rows.begin(), rows.end(), id) != rows.end() &&
                !StillReferences(key, new_row, old_key)) {
                // A row that references itself loses that reference with its deletion, or
                // trades it for the one its update writes.
                std::erase(rows, id);
            }
            if (rows.empty()) {
                continue;
            }
            const TSQLMemReferentialAction action =
                new_row == nullptr ? key.OnDelete : key.OnUpdate;
            if (action == TSQLMemReferentialAction::NoAction) {
                throw ESQLMemException::Formatted(
                    kForeignKeyViolatedCode, "Constraint foreign key '" + key.Name +
                                                 "' violated in table '" + table->Name() + "'");
            }
            std::lock_guard table_lock(table->mutex_);
            const TSQLMemFieldDefs& defs = table->field_defs_;
            std::vector<int32_t> fields;
            for (const std::string& column : key.Columns) {
                fields.push_back(defs.IndexOf(column));
            }
            for (const TSQLMemRecordID row_id : rows) {
                ForeignKeyAction planned;
                planned.table = table;
                planned.id = row_id;
                if (action == TSQLMemReferentialAction::Cascade && new_row == nullptr) {
                    planned.remove = true;
                    actions.push_back(std::move(planned));
                    continue;
                }
                const std::byte* stored = table->records_->RecordPointer(row_id);
                planned.fields = fields;
                planned.values.assign(stored, stored + table->records_->RowSize());
                std::byte* values = planned.values.data();
                for (size_t i = 0; i < fields.size(); ++i) {
                    const TSQLMemFieldDef& field = defs[fields[i]];
                    if (action == TSQLMemReferentialAction::Cascade) {
                        // A value the referencing column cannot take refuses the change;
                        // the null columns of a partial match stay null.
                        if (!IsFieldNull(stored, fields[i])) {
                            new_key[i].ToField(defs, fields[i], values);
                        }
                    } else if (action == TSQLMemReferentialAction::SetDefault &&
                               field.DefaultValue) {
                        SetFieldData(defs, fields[i], field.DefaultValue->data(), values);
                    } else {
                        SetFieldNull(values, fields[i], true);
                    }
                }
                if (action != TSQLMemReferentialAction::Cascade) {
                    const std::string failure = table->CheckConstraints(values, stored, nullptr);
                    if (!failure.empty()) {
                        throw EDatabaseError(failure);
                    }
                }
                actions.push_back(std::move(planned));
            }
        }
    }
}

void TSQLMemTableData::RunForeignKeyActions(std::vector<ForeignKeyAction> actions) {
    // The actions waiting to run on this thread while an outer delete or update runs
    // them; nullptr when none does.
    thread_local std::vector<std::vector<ForeignKeyAction>>* pending_actions = nullptr;
    if (actions.empty()) {
        return;
    }
    if (pending_actions != nullptr) {
        pending_actions->push_back(std::move(actions));
        return;
    }
    std::vector<std::vector<ForeignKeyAction>> queue;
    queue.push_back(std::move(actions));
    pending_actions = &queue;
    try {
        while (!queue.empty()) {
            std::vector<ForeignKeyAction> batch = std::move(queue.back());
            queue.pop_back();
            for (ForeignKeyAction& action : batch) {
                TSQLMemTableData& table = *action.table;
                std::lock_guard lock(table.mutex_);
                const std::byte* stored = table.records_->RecordPointer(action.id);
                if (stored == nullptr) {
                    continue;  // gone already, through another reference
                }
                if (action.remove) {
                    table.DeleteRow(action.id, nullptr);
                    continue;
                }
                std::vector<std::byte> row(stored, stored + table.records_->RowSize());
                for (const int32_t field_no : action.fields) {
                    const auto offset =
                        static_cast<size_t>(table.field_defs_[field_no].MemoryOffset);
                    const auto size =
                        static_cast<size_t>(table.field_defs_[field_no].MemoryDataSize);
                    std::copy_n(action.values.begin() + static_cast<std::ptrdiff_t>(offset), size,
                                row.begin() + static_cast<std::ptrdiff_t>(offset));
                    SetFieldNull(row.data(), field_no, IsFieldNull(action.values.data(), field_no));
                }
                const std::string failure = table.CheckConstraints(row.data(), stored, nullptr);
                if (!failure.empty()) {
                    throw EDatabaseError(failure);
                }
                table.UpdateRow(action.id, row.data(), nullptr);
            }
        }
    } catch (...) {
        pending_actions = nullptr;
        throw;
    }
    pending_actions = nullptr;
}

}  // namespace tapir::engine
