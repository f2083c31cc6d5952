// Searches of the table component: Locate and Lookup, reading a row by its number for
// grids, and the key buffers of key searches and ranges.

#include <algorithm>
#include <cmath>

#include "engine/record/record_buffer.h"
#include "engine/table/dataset_guards.h"
#include "engine/table/field_value_conversion.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_dataset.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

using dataset_detail::ReadOverride;

std::function<bool(const std::byte*)> TSQLMemDataSet::LocateMatcher(
    const std::string& field_names, const std::vector<std::string>& values,
    LocateOptions options) const {
    std::vector<int> columns;
    for (const std::string& name : SplitFieldList(field_names)) {
        const TField& field = FieldByName(name);
        if (field.Calculated()) {
            ComponentError("Field '" + name + "' not found");
        }
        columns.push_back(field.binding_);
    }
    if (columns.size() != values.size()) {
        return [](const std::byte*) { return false; };
    }
    return [this, columns, values, options](const std::byte* stored) {
        for (size_t i = 0; i < columns.size(); ++i) {
            const FieldValue value = ReadColumn(columns[i], stored);
            std::string text = ValueToText(value);
            std::string wanted = values[i];
            if (std::holds_alternative<std::string>(value) ||
                std::holds_alternative<std::monostate>(value)) {
                if (options.case_insensitive) {
                    const std::u16string folded = FoldCase(text);
                    const std::u16string folded_wanted = FoldCase(wanted);
                    if (options.partial_key
                            ? folded.compare(0, folded_wanted.size(), folded_wanted) != 0
                            : folded != folded_wanted) {
                        return false;
                    }
                } else if (options.partial_key) {
                    if (text.compare(0, wanted.size(), wanted) != 0) {
                        return false;
                    }
                } else if (text != wanted) {
                    return false;
                }
            } else if (std::holds_alternative<double>(value) ||
                       std::holds_alternative<int64_t>(value)) {
                // Numbers compare by value: "7", "07" and "7.0" all find 7.
                const std::optional<long double> number = ParseNumber(wanted);
                const long double stored = std::holds_alternative<double>(value)
                                               ? static_cast<long double>(std::get<double>(value))
                                               : static_cast<long double>(std::get<int64_t>(value));
                if (!number || *number != stored) {
                    return false;
                }
            } else if (text != wanted) {
                return false;
            }
        }
        return true;
    };
}

std::vector<TSQLMemFieldComparison> TSQLMemDataSet::LocateComparisons(
    const std::string& field_names, const std::vector<std::string>& values,
    LocateOptions options) const {
    std::vector<TSQLMemFieldComparison> terms;
    const std::vector<std::string> names = SplitFieldList(field_names);
    if (options.case_insensitive || options.partial_key || names.size() != values.size()) {
        return terms;
    }
    const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
    for (size_t i = 0; i < names.size(); ++i) {
        const TField* field = FindField(names[i]);
        if (field == nullptr || field->Calculated() || field->binding_ < 0) {
            continue;
        }
        const int column = field->binding_;
        const TSQLMemBaseFieldType type = defs[column].BaseType;
        TSQLMemFieldComparison term;
        term.FieldNo = column;
        term.Value.assign(static_cast<size_t>(cursor_->KeyBufferSize()), std::byte{0});
        cursor_->InitKeyBuffer(term.Value.data());
        if (IsTextColumn(type) && (type == bftChar || type == bftVarchar)) {
            // An empty text also finds a null field: no bound for it.
            if (values[i].empty()) {
                continue;
            }
            SetText(defs, column, values[i], term.Value.data());
            term.Text = values[i];
        } else if (IsNumericType(type) && !IsFloatColumn(type) && type != bftLogical &&
                   !IsDateTimeColumn(type)) {
            const std::optional<long double> number = ParseNumber(values[i]);
            if (!number || *number != std::floor(*number) || *number < -9.2e18L ||
                *number > 9.2e18L) {
                continue;
            }
            SetInteger(defs, column, static_cast<int64_t>(*number), term.Value.data());
        } else {
            continue;
        }
        terms.push_back(std::move(term));
    }
    return terms;
}

bool TSQLMemDataSet::LocateRow(const std::string& field_names,
                               const std::vector<std::string>& values, LocateOptions options,
                               std::byte* buffer) {
    const auto matches = LocateMatcher(field_names, values, options);
    std::vector<TSQLMemFieldComparison> terms = LocateComparisons(field_names, values, options);
    TempState temp(*this, dsFilter);
    if (terms.empty()) {
        return cursor_->Locate(matches, buffer);
    }
    TSQLMemComparisonExpression expression(cursor_->FieldDefs(), std::move(terms));
    return cursor_->Locate(&expression, matches, buffer);
}

bool TSQLMemDataSet::Locate(const std::string& field_names, const std::vector<std::string>& values,
                            LocateOptions options) {
    CheckActive();
    CheckBrowseMode();
    LocateMatcher(field_names, values, options);  // names checked before any event
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
    LocateMatcher(key_fields, values, LocateOptions{});  // names checked first
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
