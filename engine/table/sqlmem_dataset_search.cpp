// Searches of the table component: Locate and Lookup, reading a row by its number for
// grids, and the key buffers of key searches and ranges.

#include <algorithm>
#include <cmath>

#include "engine/record/record_buffer.h"
#include "engine/table/dataset_guards.h"
#include "engine/table/field_value_conversion.h"
#include "engine/table/filter_compiler.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_dataset.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

using dataset_detail::ReadOverride;

namespace {

// Locate's value for a column of `type`, read from the text the caller gave; nullopt when
// the text is no value of that type, so that no row can match. The empty text is the null
// key, which finds null fields.
std::optional<TSQLMemVariant> LocateKey(TSQLMemBaseFieldType type, const std::string& text) {
    if (text.empty()) {
        return TSQLMemVariant::Null(type);
    }
    if (type == bftChar || type == bftVarchar || type == bftClob) {
        return TSQLMemVariant::FromText(text, type);
    }
    if (type == bftWideChar || type == bftWideVarchar || type == bftWideClob) {
        return TSQLMemVariant::FromText(text).Cast(type);
    }
    if (IsNumericType(type) && type != bftLogical && !IsDateTimeColumn(type)) {
        // Numbers by value: "7", "07", "+7" and "7.0" all find 7.
        const std::optional<long double> number = ParseNumber(text);
        if (!number) {
            return std::nullopt;
        }
        if (IsFloatColumn(type) || type == bftCurrency) {
            return TSQLMemVariant::FromFloat(static_cast<double>(*number));
        }
        if (*number != std::floor(*number) || *number < -9.2e18L || *number > 9.2e18L) {
            return std::nullopt;
        }
        return TSQLMemVariant::FromInteger(static_cast<int64_t>(*number));
    }
    try {
        return TSQLMemVariant::FromText(text).Cast(type);
    } catch (const ESQLMemException&) {
        return std::nullopt;  // no value of the column's type
    }
}

}  // namespace

std::vector<int> TSQLMemDataSet::LocateColumns(const std::string& field_names) const {
    std::vector<int> columns;
    for (const std::string& name : SplitFieldList(field_names)) {
        const TField& field = FieldByName(name);
        if (field.Calculated() || field.binding_ < 0) {
            ComponentError("Field '" + name + "' not found");
        }
        columns.push_back(field.binding_);
    }
    return columns;
}

bool TSQLMemDataSet::LocateRow(const std::string& field_names,
                               const std::vector<std::string>& values, LocateOptions options,
                               std::byte* buffer) {
    const std::vector<int> columns = LocateColumns(field_names);
    const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
    std::vector<std::string> names;
    names.reserve(columns.size());
    for (const int column : columns) {
        names.push_back(defs[column].Name);
    }
    std::vector<TSQLMemVariant> keys;
    keys.reserve(values.size());
    bool can_match = true;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i >= columns.size()) {
            keys.push_back(TSQLMemVariant::FromText(values[i]));
            continue;
        }
        std::optional<TSQLMemVariant> key = LocateKey(defs[columns[i]].BaseType, values[i]);
        if (!key) {
            can_match = false;
            key = TSQLMemVariant::Null(defs[columns[i]].BaseType);
        }
        keys.push_back(std::move(*key));
    }
    // Compiled before the answer is known, so that a mismatch of the lists is reported.
    std::unique_ptr<TSQLMemSearchExpression> expression = RequireFilterCompiler().CompileLocate(
        defs, names, keys, options.case_insensitive, options.partial_key);
    if (!can_match) {
        return false;
    }
    TempState temp(*this, dsFilter);
    return cursor_->Locate(expression.get(), TSQLMemCursor::RowPredicate{}, buffer);
}

bool TSQLMemDataSet::Locate(const std::string& field_names, const std::vector<std::string>& values,
                            LocateOptions options) {
    CheckActive();
    CheckBrowseMode();
    LocateColumns(field_names);  // names checked before any event
    FireEvent(BeforeScroll);
    RowBuffer row;
    InitRowBuffer(row);
    const bool found = LocateRow(field_names, values, options, row.bytes.data());
    if (found) {
        Resync();
        FireEvent(AfterScroll);
    }
    return found;
}

std::optional<std::vector<FieldValue>> TSQLMemDataSet::Lookup(
    const std::string& key_fields, const std::vector<std::string>& values,
    const std::string& result_fields) {
    CheckActive();
    CheckBrowseMode();
    LocateColumns(key_fields);  // names checked first
    std::vector<const TField*> results;
    for (const std::string& name : SplitFieldList(result_fields)) {
        results.push_back(&FieldByName(name));
    }
    RowBuffer row;
    InitRowBuffer(row);
    const TSQLMemCursor::Position position = cursor_->SavePosition();
    bool found = false;
    try {
        found = LocateRow(key_fields, values, LocateOptions{}, row.bytes.data());
    } catch (...) {
        cursor_->RestorePosition(position);
        throw;
    }
    // The search moved the cursor onto the match; the dataset stays where it was.
    cursor_->RestorePosition(position);
    if (!found) {
        return std::nullopt;
    }
    CalculateFields(row);
    ReadOverride over(read_override_, &row);
    std::vector<FieldValue> answer;
    answer.reserve(results.size());
    for (const TField* field : results) {
        answer.push_back(ReadFieldValue(*field));
    }
    return answer;
}

// --- Search and range keys ------------------------------------------------------------------

void TSQLMemDataSet::InitKeyBuffer(KeyBuffer& key) const {
    key.row.bytes.assign(static_cast<size_t>(cursor_->KeyBufferSize()), std::byte{0});
    cursor_->InitKeyBuffer(key.row.bytes.data());
    key.row.calc.assign(static_cast<size_t>(calc_field_count_), std::monostate{});
    key.row.generation = 0;
    key.assigned.assign(static_cast<size_t>(cursor_->FieldDefs().Count()), false);
    key.exclusive = false;
    key.field_count = 0;
}

TSQLMemDataSet::KeyBuffer& TSQLMemDataSet::Key(KeyKind kind) {
    KeyBuffer* key = &lookup_key_;
    if (kind == KeyKind::RangeStart) {
        key = &range_start_key_;
    } else if (kind == KeyKind::RangeEnd) {
        key = &range_end_key_;
    }
    if (cursor_ && key->row.bytes.size() != static_cast<size_t>(cursor_->KeyBufferSize())) {
        InitKeyBuffer(*key);
    }
    return *key;
}

void TSQLMemDataSet::ResetKeys() {
    if (state_ == dsSetKey) {
        EndKeyEdit(false);
    }
    lookup_key_ = KeyBuffer{};
    range_start_key_ = KeyBuffer{};
    range_end_key_ = KeyBuffer{};
    saved_key_ = KeyBuffer{};
}

void TSQLMemDataSet::CheckIndexInForce() const {
    CheckActive();
    if (cursor_->IndexFieldNos().empty()) {
        ComponentError(
            "No index in force: key searches and ranges need IndexName or "
            "IndexFieldNames");
    }
}

void TSQLMemDataSet::BeginKeyEdit(KeyKind kind, bool clear) {
    CheckActive();
    CheckBrowseMode();
    CheckIndexInForce();
    KeyBuffer& key = Key(kind);
    // Cancel brings back the key as it was before, even after SetKey emptied it.
    saved_key_ = key;
    if (clear) {
        InitKeyBuffer(key);
    }
    edited_key_ = &key;
    // A temporary state: the data sources keep seeing browse.
    state_ = dsSetKey;
    modified_ = false;
}

void TSQLMemDataSet::EndKeyEdit(bool keep) {
    if (!keep && edited_key_ != nullptr) {
        *edited_key_ = saved_key_;
    }
    edited_key_ = nullptr;
    state_ = dsBrowse;
    modified_ = false;
}

void TSQLMemDataSet::WriteKeyColumn(KeyBuffer& key, int column, const FieldValue& value) {
    // Convert through a row buffer, then hand the stored form to the cursor, which
    // refuses columns outside the index in force.
    std::vector<std::byte> scratch(static_cast<size_t>(cursor_->RecordSize()), std::byte{0});
    SetAllNull(scratch.data(), cursor_->FieldDefs().Count());
    WriteColumn(column, value, scratch.data());
    std::vector<std::byte> stored(static_cast<size_t>(cursor_->DataSize()) + 1, std::byte{0});
    const bool has_value = cursor_->GetFieldData(column, stored.data(), scratch.data());
    cursor_->SetKeyFieldData(column, has_value ? stored.data() : nullptr, key.row.bytes.data());
    key.assigned[static_cast<size_t>(column)] = true;
    KeyTrailer trailer = GetKeyTrailer(key.row.bytes.data(), cursor_->DataSize());
    trailer.field_count = KeyCompareCount(key);
    trailer.exclusive = key.exclusive;
    SetKeyTrailer(key.row.bytes.data(), cursor_->DataSize(), trailer);
    if (state_ == dsSetKey) {
        modified_ = true;
    }
}

int32_t TSQLMemDataSet::KeyCompareCount(const KeyBuffer& key) const {
    const std::vector<int32_t>& index_fields = cursor_->IndexFieldNos();
    const auto field_total = static_cast<int32_t>(index_fields.size());
    if (key.field_count > 0) {
        return std::min(key.field_count, field_total);
    }
    int32_t count = 0;
    for (int32_t i = 0; i < field_total; ++i) {
        const auto column = static_cast<size_t>(index_fields[static_cast<size_t>(i)]);
        if (column < key.assigned.size() && key.assigned[column]) {
            count = i + 1;
        }
    }
    return count;
}

bool TSQLMemDataSet::KeyAssigned(const KeyBuffer& key) const {
    for (const int32_t column : cursor_->IndexFieldNos()) {
        if (static_cast<size_t>(column) < key.assigned.size() &&
            key.assigned[static_cast<size_t>(column)]) {
            return true;
        }
    }
    return false;
}

void TSQLMemDataSet::SetKeyValues(KeyKind kind, const std::vector<FieldValue>& values) {
    CheckIndexInForce();
    const std::vector<int32_t>& index_fields = cursor_->IndexFieldNos();
    if (values.size() > index_fields.size()) {
        ComponentError("Too many key values: " + std::to_string(values.size()) +
                       " given, the index in force has " + std::to_string(index_fields.size()) +
                       " fields");
    }
    BeginKeyEdit(kind, true);
    try {
        for (size_t i = 0; i < values.size(); ++i) {
            WriteKeyColumn(*edited_key_, index_fields[i], values[i]);
        }
    } catch (...) {
        EndKeyEdit(false);
        throw;
    }
    EndKeyEdit(true);
}

bool TSQLMemDataSet::SearchKey(bool nearest) {
    CheckActive();
    CheckBrowseMode();
    CheckIndexInForce();
    const KeyBuffer& key = Key(KeyKind::Lookup);
    const int32_t count = KeyCompareCount(key);
    using Search = TSQLMemCursor::KeySearch;
    const Search search = !nearest        ? Search::Exact
                          : key.exclusive ? Search::NearestAfter
                                          : Search::Nearest;
    FireEvent(BeforeScroll);
    const bool found = cursor_->FindKey(key.row.bytes.data(), count, search);
    if (!nearest && !found) {
        return false;
    }
    if (found) {
        Resync();
    } else {
        // Nothing at or after the key: the end of the data, as Last leaves it.
        InternalLast();
        RowBuffer row;
        InitRowBuffer(row);
        has_row_ = GetRecord(row, static_cast<int>(grmPrior));
        if (has_row_) {
            current_ = std::move(row);
        } else {
            InitRowBuffer(current_);
        }
        eof_ = true;
        bof_ = !has_row_;
        NotifyDataSources(TDataEvent::DataSetChange);
    }
    FireEvent(AfterScroll);
    return found;
}

}  // namespace tapir::engine
