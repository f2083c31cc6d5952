#include "engine/table/table_restructure.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/record/field_types.h"
#include "engine/record/record_buffer.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/table/blob_store.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::engine {

namespace {

[[noreturn]] void Refuse(const std::string& text) {
    throw ESQLMemException::Formatted(kRestructureColumnCode, text);
}

std::vector<std::byte> ToBytes(std::string_view text) {
    std::vector<std::byte> bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

// Wide BLOB text is kept as UTF-16 code units, little-endian.
std::vector<std::byte> WideToBytes(const std::u16string& text) {
    std::vector<std::byte> bytes(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<std::byte>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::byte>(text[i] >> 8);
    }
    return bytes;
}

std::u16string BytesToWide(const std::vector<std::byte>& bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(std::to_integer<unsigned>(bytes[2 * i]) |
                                        (std::to_integer<unsigned>(bytes[2 * i + 1]) << 8));
    }
    return text;
}

// The content of a BLOB value as a value of its column's type.
TSQLMemVariant BlobContentValue(TSQLMemBaseFieldType type, const std::vector<std::byte>& content) {
    const std::string_view bytes(reinterpret_cast<const char*>(content.data()), content.size());
    switch (type) {
        case bftClob:
            return TSQLMemVariant::FromText(bytes, bftClob);
        case bftWideClob:
            return TSQLMemVariant::FromWideText(BytesToWide(content), bftWideClob);
        default:
            return TSQLMemVariant::FromBytes(bytes, bftBlob);
    }
}

// The content a BLOB column of `type` keeps for a value (empty for null).
std::vector<std::byte> BlobContentOf(TSQLMemBaseFieldType type, const TSQLMemVariant& value) {
    if (value.IsNull()) {
        return {};
    }
    const TSQLMemVariant cast = value.Cast(type);
    if (type == bftWideClob) {
        return WideToBytes(cast.AsWideText());
    }
    return ToBytes(cast.AsBytes());
}

// Position of the plan column that takes its values from stored column `name`; -1 when
// the column is dropped.
int32_t TargetOf(const RestructurePlan& plan, const std::string& name) {
    for (size_t i = 0; i < plan.columns.size(); ++i) {
        if (!plan.columns[i].source.empty() && SameName(plan.columns[i].source, name)) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// The old index as an index of the new table; nullopt when one of its columns is dropped.
// A column that becomes a BLOB column cannot stay in it: refused.
std::optional<TableIndexSpec> SurvivingIndex(const TSQLMemIndexDef& index,
                                             const RestructurePlan& plan) {
    TableIndexSpec surviving;
    surviving.name = index.Name;
    surviving.primary = index.Primary;
    surviving.unique = index.Unique;
    auto append = [](std::string& list, const std::string& item) {
        list += (list.empty() ? "" : ";") + item;
    };
    for (const TSQLMemIndexColumn& column : index.Columns) {
        const int32_t target = TargetOf(plan, column.FieldName);
        if (target < 0) {
            return std::nullopt;
        }
        const TableFieldSpec& field = plan.columns[static_cast<size_t>(target)].field;
        if (IsBlobType(AdvancedToBaseType(SpecAdvancedType(field)))) {
            Refuse("Field '" + field.name + "' of index '" + index.Name +
                   "' cannot become a BLOB field");
        }
        append(surviving.fields, field.name);
        if (column.Descending) {
            append(surviving.desc_fields, field.name);
        }
        if (column.CaseInsensitive) {
            append(surviving.case_ins_fields, field.name);
        }
    }
    return surviving;
}

}  // namespace

TableFieldSpec StoredColumnSpec(const TSQLMemTableData& table, int32_t field_no) {
    std::lock_guard lock(table.Mutex());
    const TSQLMemFieldDefs& defs = table.FieldDefs();
    const TSQLMemFieldDef& field = defs[field_no];
    TableFieldSpec column;
    column.name = field.Name;
    column.advanced_type = field.AdvancedType;
    column.data_type = AdvancedToFieldType(field.AdvancedType);
    column.size = field.Size;
    column.increment = field.Increment;
    column.initial_value = field.InitialValue;
    column.min_value = field.MinValue;
    column.max_value = field.MaxValue;
    column.cycled = field.Cycled;
    column.blob_compression_algorithm = field.BlobCompressionAlgorithm;
    column.blob_compression_mode = field.BlobCompressionMode;
    column.blob_block_size = field.BlobBlockSize;
    for (const TSQLMemConstraintDef& constraint : table.ConstraintDefs()) {
        if (constraint.FieldNo != field_no) {
            continue;
        }
        if (constraint.Kind == ConstraintKind::NotNull) {
            column.required = true;
        } else if (constraint.Kind == ConstraintKind::Check) {
            column.check_min = constraint.MinValue;
            column.check_max = constraint.MaxValue;
        }
    }
    if (field.DefaultValue) {
        std::vector<std::byte> row(static_cast<size_t>(defs.DataSize()));
        SetAllNull(row.data(), defs.Count());
        SetFieldData(defs, field_no, field.DefaultValue->data(), row.data());
        column.default_value = TSQLMemVariant::FromField(defs, field_no, row.data());
    }
    return column;
}

RestructurePlan CurrentColumns(const TSQLMemTableData& table) {
    std::lock_guard lock(table.Mutex());
    RestructurePlan plan;
    for (int32_t field_no = 0; field_no < table.FieldDefs().Count(); ++field_no) {
        plan.columns.push_back(
            {StoredColumnSpec(table, field_no), table.FieldDefs()[field_no].Name});
    }
    return plan;
}

void RestructureTable(TSQLMemDatabaseData& database, const std::string& table_name,
                      const RestructurePlan& plan) {
    std::lock_guard database_lock(database.Mutex());
    TSQLMemTableData* old_table = database.FindTable(table_name);
    if (old_table == nullptr) {
        database.EmptyTable(table_name);  // raises the database's "not found"
    }
    std::unique_ptr<TSQLMemTableData> fresh;
    {
        TSQLMemTableData& old = *old_table;
        std::lock_guard table_lock(old.Mutex());
        old.CheckNoCursors();
        const std::string name = old.Name();
        const TSQLMemFieldDefs& old_defs = old.FieldDefs();

        // Where each new column takes its values from.
        std::vector<int32_t> sources;
        for (const RestructureColumn& column : plan.columns) {
            int32_t source = -1;
            if (!column.source.empty()) {
                source = old_defs.IndexOf(column.source);
                if (source < 0) {
                    Refuse("Field '" + column.source + "' not found in table '" + name + "'");
                }
            }
            sources.push_back(source);
        }

        // Constraints the column list does not describe go with the table, their column
        // names renamed; one that names a dropped column stops the restructure.
        std::vector<TSQLMemConstraintDef> carried;
        for (const TSQLMemConstraintDef& constraint : old.ConstraintDefs()) {
            switch (constraint.Kind) {
                case ConstraintKind::PrimaryKey:
                case ConstraintKind::Unique:
                case ConstraintKind::NotNull:
                case ConstraintKind::Check:
                    continue;
                case ConstraintKind::ForeignKey:
                    break;
            }
            TSQLMemConstraintDef copy = constraint;
            copy.TableName = name;
            for (std::string& field : copy.Columns) {
                const int32_t target = TargetOf(plan, field);
                if (target < 0) {
                    Refuse("Cannot drop field '" + field + "' of table '" + name +
                           "': constraint '" + constraint.Name + "' uses it");
                }
                field = plan.columns[static_cast<size_t>(target)].field.name;
            }
            carried.push_back(std::move(copy));
        }

        // The new definition: the columns, the old indexes that survive, the added ones.
        TableDefinition definition;
        definition.name = name;
        definition.alloc_by = old.AllocBy();
        for (const RestructureColumn& column : plan.columns) {
            definition.fields.push_back(column.field);
        }
        const bool adds_primary =
            std::any_of(plan.added_indexes.begin(), plan.added_indexes.end(),
                        [](const TableIndexSpec& index) { return index.primary; });
        for (const TSQLMemIndexDef& index : old.IndexDefs()) {
            if (index.Primary && adds_primary) {
                continue;
            }
            if (std::optional<TableIndexSpec> surviving = SurvivingIndex(index, plan)) {
                definition.indexes.push_back(std::move(*surviving));
            }
        }
        for (const TableIndexSpec& index : plan.added_indexes) {
            definition.indexes.push_back(index);
        }
        // Foreign keys, this table's own included, reference the primary key by its column
        // count: the key must stay, as wide as it was.
        if (!database.ReferencingTables(name).empty()) {
            size_t old_width = 0;
            for (const TSQLMemIndexDef& index : old.IndexDefs()) {
                if (index.Primary) {
                    old_width = index.Columns.size();
                }
            }
            size_t new_width = 0;
            for (const TableIndexSpec& index : definition.indexes) {
                if (index.primary) {
                    new_width = SplitFieldList(index.fields).size();
                }
            }
            if (new_width != old_width) {
                Refuse("Cannot change the primary key of table '" + name +
                       "' - foreign key(s) reference this table");
            }
        }
        fresh = std::make_unique<TSQLMemTableData>(database, definition);
        for (TSQLMemConstraintDef& constraint : carried) {
            fresh->constraints_.push_back(std::move(constraint));
        }

        const TSQLMemFieldDefs& new_defs = fresh->FieldDefs();
        const int32_t count = new_defs.Count();
        // Sequences: a column that was autoinc keeps its last value; one that becomes
        // autoinc continues after the highest value it is given below.
        std::vector<std::optional<int64_t>> highest(static_cast<size_t>(count));
        for (int32_t field_no = 0; field_no < count; ++field_no) {
            const int32_t source = sources[static_cast<size_t>(field_no)];
            if (!IsAutoIncType(new_defs[field_no].AdvancedType) || source < 0) {
                continue;
            }
            if (IsAutoIncType(old_defs[source].AdvancedType)) {
                for (const TSQLMemSequenceDef& sequence : old.Sequences()) {
                    if (sequence.ObjectID == old_defs[source].SequenceObjectID) {
                        fresh->SetAutoincValue(field_no, sequence.LastValue);
                    }
                }
            } else {
                highest[static_cast<size_t>(field_no)] = new_defs[field_no].InitialValue;
            }
        }

        // The rows, in storage order.
        const TSQLMemMemoryRecordManager& records = old.Records();
        std::vector<std::byte> row(static_cast<size_t>(new_defs.DataSize()));
        BlobChanges blobs(static_cast<size_t>(count));
        for (int32_t slot = records.LowestSlot(); slot <= records.HighestSlot(); ++slot) {
            const std::byte* old_row = records.RecordPointer({slot, 0});
            if (old_row == nullptr) {
                continue;
            }
            std::fill(row.begin(), row.end(), std::byte{0});
            SetAllNull(row.data(), count);
            for (auto& blob : blobs) {
                blob.reset();
            }
            for (int32_t field_no = 0; field_no < count; ++field_no) {
                const TSQLMemFieldDef& field = new_defs[field_no];
                const int32_t source = sources[static_cast<size_t>(field_no)];
                const bool blob_target = IsBlobType(field.BaseType);
                // BLOB content of the same kind passes as it is.
                if (source >= 0 && blob_target && old_defs[source].BaseType == field.BaseType) {
                    const uint64_t reference = GetBlobReference(old_defs, source, old_row);
                    if (reference != 0) {
                        blobs[static_cast<size_t>(field_no)] = old.ReadBlob(reference);
                    }
                    continue;
                }
                TSQLMemVariant value = TSQLMemVariant::Null(field.BaseType);
                if (source >= 0) {
                    if (IsBlobType(old_defs[source].BaseType)) {
                        const uint64_t reference = GetBlobReference(old_defs, source, old_row);
                        if (reference != 0) {
                            value = BlobContentValue(old_defs[source].BaseType,
                                                     old.ReadBlob(reference));
                        }
                    } else {
                        value = TSQLMemVariant::FromField(old_defs, source, old_row);
                    }
                }
                if (blob_target) {
                    blobs[static_cast<size_t>(field_no)] = BlobContentOf(field.BaseType, value);
                    continue;
                }
                if (!value.IsNull()) {
                    value.ToField(new_defs, field_no, row.data());
                } else if (IsAutoIncType(field.AdvancedType) && field.SequenceObjectID >= 0) {
                    SetInteger(new_defs, field_no, fresh->NextSequenceValue(field.SequenceObjectID),
                               row.data());
                } else if (field.DefaultValue &&
                           (source < 0 ||
                            definition.fields[static_cast<size_t>(field_no)].required)) {
                    SetFieldData(new_defs, field_no, field.DefaultValue->data(), row.data());
                }
                if (std::optional<int64_t>& top = highest[static_cast<size_t>(field_no)]) {
                    if (const std::optional<int64_t> number =
                            GetInteger(new_defs, field_no, row.data())) {
                        top = std::max(*top, *number);
                    }
                }
            }
            const std::string broken = fresh->CheckConstraints(row.data(), nullptr, nullptr);
            if (!broken.empty()) {
                throw EDatabaseError(broken);
            }
            fresh->InsertRow(row.data(), nullptr, &blobs);
        }
        for (int32_t field_no = 0; field_no < count; ++field_no) {
            if (const std::optional<int64_t>& top = highest[static_cast<size_t>(field_no)]) {
                fresh->SetAutoincValue(field_no, *top);
            }
        }
    }
    database.AdoptTable(std::move(fresh));
}

}  // namespace tapir::engine
