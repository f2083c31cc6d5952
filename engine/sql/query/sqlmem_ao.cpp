#include "engine/sql/query/sqlmem_ao.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/record/record_buffer.h"
#include "engine/sql/query/sqlmem_value_conversion.h"
#include "engine/sql/query/sqlmem_value_order.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {

namespace {

bool IsTrue(const TSQLMemVariant& value) { return !value.IsNull() && value.AsBoolean(); }

int CompareValues(const TSQLMemVariant& a, const TSQLMemVariant& b) {
    return CompareOrderValues(a, b);
}

const TSQLMemExprNodeField* AsField(const TSQLMemExprNode& node) {
    return node.NodeType() == entField ? static_cast<const TSQLMemExprNodeField*>(&node) : nullptr;
}

const TSQLMemExprNodeConst* AsConst(const TSQLMemExprNode& node) {
    return node.NodeType() == entConst ? static_cast<const TSQLMemExprNodeConst*>(&node) : nullptr;
}

bool IsComparison(TSQLMemDataOperator op) {
    return op == doEQ || op == doNE || op == doGT || op == doLT || op == doGE || op == doLE;
}

// A name the SQL filter reads back unchanged inside brackets.
bool CanBracket(const std::string& name) {
    return !name.empty() && name.find(']') == std::string::npos;
}

std::string InvalidFieldMessage(const std::string& table, const std::string& field, int i,
                                int exists) {
    return "Invalid field for join operation. Table name = '" + table + "', FieldName = '" + field +
           "', i = " + std::to_string(i) + ", FieldExists = " + std::to_string(exists);
}

}  // namespace

// --- TSQLMemRowSource ---

int32_t TSQLMemRowSource::FindField(std::string_view table_name,
                                    std::string_view field_name) const {
    const std::string table(table_name);
    const std::string field(field_name);
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (SameName(columns_[i].FieldName, field) &&
            (table.empty() || SameName(columns_[i].TableName, table))) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

TSQLMemAdvancedFieldType TSQLMemRowSource::FieldType(int32_t field_no) const {
    return columns_[static_cast<size_t>(field_no)].DataType;
}

int32_t TSQLMemRowSource::FieldSize(int32_t field_no) const {
    return columns_[static_cast<size_t>(field_no)].Size;
}

TSQLMemVariant TSQLMemRowSource::FieldValue(int32_t field_no) const {
    if (row_ == nullptr) {
        return TSQLMemVariant::Null(AdvancedToBaseType(FieldType(field_no)));
    }
    return (*row_)[static_cast<size_t>(field_no)];
}

// --- TSQLMemAO ---

TSQLMemAO::TSQLMemAO() : source_(relation_.Columns) {}

TSQLMemAO::~TSQLMemAO() = default;

void TSQLMemAO::ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) {
    for (auto it = conjuncts.begin(); it != conjuncts.end();) {
        if (CanBeAssigned(**it)) {
            TakeFilter(std::move(*it));
            it = conjuncts.erase(it);
        } else {
            ++it;
        }
    }
}

void TSQLMemAO::MarkFieldsRead(const TSQLMemExprNode& node, std::vector<bool>& read) const {
    node.ForEachNode([&](const TSQLMemExprNode& each) {
        const TSQLMemExprNodeField* field = AsField(each);
        if (field != nullptr && field->Source() == &source_ && field->FieldNo() >= 0 &&
            static_cast<size_t>(field->FieldNo()) < read.size()) {
            read[static_cast<size_t>(field->FieldNo())] = true;
        }
    });
}

void TSQLMemAO::TakeFilter(TSQLMemNodePtr conjunct) {
    conjunct->AssignFieldSource(source_);
    filter_.push_back(std::move(conjunct));
}

bool TSQLMemAO::FilterAccepts(const TSQLMemRow& row) {
    source_.SetRow(&row);
    for (const TSQLMemNodePtr& conjunct : filter_) {
        if (!IsTrue(conjunct->GetDataValue())) {
            return false;
        }
    }
    return true;
}

bool SameRowValues(const TSQLMemRow& a, const TSQLMemRow& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (CompareValues(a[i], b[i]) != 0) {
            return false;
        }
    }
    return true;
}

// --- TSQLMemAOTable ---

// The table component with the count of rows its cursor's searches read.
class TSQLMemAOTable::ScanTable final : public TSQLMemTable {
  public:
    int64_t CursorRowsRead() const { return cursor_ ? cursor_->RowsRead() : 0; }

    // The stored field number of each column whose stored values read as `types` say
    // (a whole number or a double): those can be read straight from the stored rows.
    // Empty when a column does not qualify.
    std::vector<int32_t> DirectFieldNos(const std::vector<TSQLMemColumn>& columns,
                                        const std::vector<bool>& read) const {
        std::vector<int32_t> nos(columns.size(), -1);
        const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
        for (size_t i = 0; i < columns.size(); ++i) {
            if (!read[i]) {
                continue;
            }
            const int32_t no = defs.IndexOf(columns[i].FieldName);
            const TSQLMemBaseFieldType base = AdvancedToBaseType(columns[i].DataType);
            if (no < 0 || defs[no].BaseType != base ||
                !(IsIntegerKind(base) || base == bftDouble)) {
                return {};
            }
            nos[i] = no;
        }
        return nos;
    }

    // Calls `visit` with each visible stored row in the cursor's order, from the first,
    // until it returns false; the component's own position is read again afterwards.
    template <typename Visit>
    void ForEachStoredRow(Visit visit) {
        std::vector<std::byte> buffer(static_cast<size_t>(cursor_->RecordSize()));
        cursor_->First();
        while (cursor_->GetRecord(grmNext, buffer.data()) == grrOK) {
            if (!visit(buffer.data())) {
                break;
            }
        }
        First();
    }
    const TSQLMemFieldDefs& StoredFieldDefs() const { return cursor_->FieldDefs(); }
};

TSQLMemTable& TSQLMemAOTable::Table() { return *table_; }

TSQLMemAOTable::TSQLMemAOTable(const std::string& table_name, const std::string& alias)
    : table_(std::make_unique<ScanTable>()), qualifier_(alias.empty() ? table_name : alias) {
    table_->SetTableName(table_name);
    // Any failure to open, a missing table included, is told as 10303 with the reason.
    try {
        if (!table_->Exists()) {
            throw ESQLMemException::Formatted(kTableDoesNotExistCode,
                                              "Table '" + table_name + "' does not exist");
        }
        table_->Open();
    } catch (const tapir::Exception& reason) {
        throw ESQLMemException::Formatted(
            kCannotOpenTableCode,
            "Cannot open table " + table_name + ", InMemory = 1: " + reason.what());
    }
    for (const TFieldDef& def : table_->FieldDefs()) {
        TSQLMemColumn column;
        column.TableName = qualifier_;
        column.FieldName = def.Name;
        column.DataType = def.AdvancedType != aftUnknown ? def.AdvancedType
                                                         : FieldTypeToAdvancedType(def.DataType);
        column.Size = def.Size;
        relation_.Columns.push_back(std::move(column));
    }
}

TSQLMemAOTable::~TSQLMemAOTable() = default;

std::string TSQLMemAOTable::TakeSQLFilterText() {
    std::string text;
    for (auto it = filter_.begin(); it != filter_.end();) {
        const TSQLMemExprNode& node = **it;
        bool pushable = false;
        std::string part;
        if (node.NodeType() == entOperator && IsComparison(node.Operator()) &&
            node.ChildCount() == 2) {
            const auto& comparison = static_cast<const TSQLMemExprNodeComparison&>(node);
            if (!comparison.IgnoreCase() && !comparison.Partial() && comparison.NullAware()) {
                std::string sides[2];
                int fields = 0;
                int constants = 0;
                for (size_t i = 0; i < 2; ++i) {
                    const TSQLMemExprNode& child = node.Child(i);
                    if (const TSQLMemExprNodeField* field = AsField(child)) {
                        const int32_t no =
                            source_.FindField(field->TableName(), field->FieldName());
                        if (no >= 0 && CanBracket(relation_.Columns[no].FieldName)) {
                            sides[i] = "[" + relation_.Columns[no].FieldName + "]";
                            ++fields;
                        }
                    } else if (const TSQLMemExprNodeConst* constant = AsConst(child)) {
                        const TSQLMemVariant& value = constant->Value();
                        const TSQLMemBaseFieldType type = value.BaseType();
                        if (!value.IsNull() &&
                            (IsNumericType(type) || type == bftVarchar || type == bftChar)) {
                            sides[i] = constant->ToString();
                            ++constants;
                        }
                    }
                }
                if (fields == 1 && constants == 1) {
                    pushable = true;
                    part = sides[0] + " " + std::string(OperatorMessageName(node.Operator())) +
                           " " + sides[1];
                }
            }
        }
        if (pushable) {
            text += text.empty() ? part : " AND " + part;
            it = filter_.erase(it);
        } else {
            ++it;
        }
    }
    return text;
}

void TSQLMemAOTable::Execute() {
    relation_.Rows.clear();
    ScanRows([&](TSQLMemRow& row) {
        relation_.Rows.push_back(std::move(row));
        return row_limit_ < 0 || static_cast<int64_t>(relation_.Rows.size()) < row_limit_;
    });
}

void TSQLMemAOTable::ScanRows(const std::function<bool(TSQLMemRow&)>& take) {
    const std::string sql_filter = TakeSQLFilterText();
    const int64_t cursor_before = table_->CursorRowsRead();
    table_->SetSQLFilter(sql_filter);
    std::vector<TField*> fields;
    for (const TSQLMemColumn& column : relation_.Columns) {
        fields.push_back(&table_->FieldByName(column.FieldName));
    }
    // Columns neither the filter nor anything above reads stay null.
    std::vector<bool> read = columns_read_;
    if (read.size() != fields.size()) {
        read.assign(fields.size(), true);
    }
    for (const TSQLMemNodePtr& conjunct : filter_) {
        MarkFieldsRead(*conjunct, read);
    }
    std::vector<TSQLMemVariant> nulls;
    for (const TSQLMemColumn& column : relation_.Columns) {
        nulls.push_back(TSQLMemVariant::Null(AdvancedToBaseType(column.DataType)));
    }
    int64_t delivered = 0;
    bool more = row_limit_ != 0;
    // One row buffer serves every row: `take` moves out what it keeps.
    TSQLMemRow row(fields.size());
    const auto offer = [&]() {
        if (FilterAccepts(row)) {
            more = take(row);
            row.resize(fields.size());  // when `take` moved the whole row out
        }
        return more;
    };
    // Columns of whole numbers and doubles are read straight from the stored rows.
    if (const std::vector<int32_t> direct = table_->DirectFieldNos(relation_.Columns, read);
        !direct.empty()) {
        const TSQLMemFieldDefs& defs = table_->StoredFieldDefs();
        if (more) {
            table_->ForEachStoredRow([&](const std::byte* stored) {
                ++delivered;
                for (size_t i = 0; i < direct.size(); ++i) {
                    row[i] =
                        read[i] ? TSQLMemVariant::FromField(defs, direct[i], stored) : nulls[i];
                }
                return offer();
            });
        }
    } else {
        for (table_->First(); more && !table_->Eof(); table_->Next()) {
            ++delivered;
            for (size_t i = 0; i < fields.size(); ++i) {
                row[i] = read[i] ? VariantFromFieldValue(fields[i]->Value(),
                                                         relation_.Columns[i].DataType)
                                 : nulls[i];
            }
            offer();
        }
    }
    rows_read_ += sql_filter.empty() ? delivered : table_->CursorRowsRead() - cursor_before;
    table_->SetSQLFilter({});
    // The rows are read: the table is free for writers again.
    UnlockTable();
}

int64_t TSQLMemAOTable::CountRows() {
    const std::string sql_filter = TakeSQLFilterText();
    const int64_t cursor_before = table_->CursorRowsRead();
    table_->SetSQLFilter(sql_filter);
    int64_t count = 0;
    if (!HasFilter()) {
        count = table_->RecordCount();
        rows_read_ += sql_filter.empty() ? 0 : table_->CursorRowsRead() - cursor_before;
    } else {
        // Conjuncts the SQL filter cannot run are tested row by row; only the fields they
        // read are fetched.
        std::vector<bool> read(relation_.Columns.size(), false);
        for (const TSQLMemNodePtr& conjunct : filter_) {
            conjunct->ForEachNode([&](const TSQLMemExprNode& node) {
                if (const TSQLMemExprNodeField* field = AsField(node);
                    field != nullptr && field->IsBound() && field->FieldNo() >= 0) {
                    read[static_cast<size_t>(field->FieldNo())] = true;
                }
            });
        }
        std::vector<TField*> fields;
        for (const TSQLMemColumn& column : relation_.Columns) {
            fields.push_back(&table_->FieldByName(column.FieldName));
        }
        TSQLMemRow row(fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            row[i] = TSQLMemVariant::Null(AdvancedToBaseType(relation_.Columns[i].DataType));
        }
        int64_t delivered = 0;
        for (table_->First(); !table_->Eof(); table_->Next()) {
            ++delivered;
            for (size_t i = 0; i < fields.size(); ++i) {
                if (read[i]) {
                    row[i] =
                        VariantFromFieldValue(fields[i]->Value(), relation_.Columns[i].DataType);
                }
            }
            if (FilterAccepts(row)) {
                ++count;
            }
        }
        rows_read_ += sql_filter.empty() ? delivered : table_->CursorRowsRead() - cursor_before;
    }
    table_->SetSQLFilter({});
    UnlockTable();
    return count;
}

bool TSQLMemAOTable::MemoryOrTemporaryTable() const {
    // The table component opens every table in the memory database (query results there
    // are its temporary tables): a scan relies on the table's own lock for each read.
    return table_->Active();
}

void TSQLMemAOTable::LockTable() {
    if (!locked_ && !MemoryOrTemporaryTable()) {
        locked_ = true;
    }
}

void TSQLMemAOTable::UnlockTable() { locked_ = false; }

// --- TSQLMemAOSQLTopRowCount ---

TSQLMemAOSQLTopRowCount::TSQLMemAOSQLTopRowCount(std::unique_ptr<TSQLMemAOTable> input,
                                                 int64_t row_count, int64_t first_row)
    : input_(std::move(input)), row_count_(row_count), first_row_(first_row) {
    relation_.Columns = input_->Columns();
}

void TSQLMemAOSQLTopRowCount::ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) {
    // The limit counts rows that passed every condition: the scan takes them all.
    input_->ApplyFilterParts(conjuncts);
}

void TSQLMemAOSQLTopRowCount::SetColumnsRead(std::vector<bool> read) {
    for (const TSQLMemNodePtr& conjunct : filter_) {
        MarkFieldsRead(*conjunct, read);
    }
    input_->SetColumnsRead(std::move(read));
}

void TSQLMemAOSQLTopRowCount::Execute() {
    const int64_t skip = first_row_ > 1 ? first_row_ - 1 : 0;
    input_->SetRowLimit(row_count_ < 0 ? -1 : skip + row_count_);
    input_->Execute();
    std::vector<TSQLMemRow>& rows = input_->Result().Rows;
    const size_t dropped = std::min(rows.size(), static_cast<size_t>(skip));
    relation_.Rows.assign(std::make_move_iterator(rows.begin() + static_cast<ptrdiff_t>(dropped)),
                          std::make_move_iterator(rows.end()));
    rows.clear();
}

// --- TSQLMemAOJoin ---

TSQLMemAOJoin::TSQLMemAOJoin(std::unique_ptr<TSQLMemAO> left, std::unique_ptr<TSQLMemAO> right,
                             TSQLMemJoinType join_type, bool natural)
    : left_(std::move(left)), right_(std::move(right)), join_type_(join_type), natural_(natural) {
    relation_.Columns = left_->Columns();
    relation_.Columns.insert(relation_.Columns.end(), right_->Columns().begin(),
                             right_->Columns().end());
}

void TSQLMemAOJoin::AddKeyPair(int32_t left_column, int32_t right_column) {
    left_keys_.push_back(left_column);
    right_keys_.push_back(right_column);
}

void TSQLMemAOJoin::SetMatchCondition(TSQLMemNodePtr condition) {
    if (condition) {
        condition->AssignFieldSource(source_);
    }
    match_condition_ = std::move(condition);
}

int32_t TSQLMemAOJoin::ExtractJoinConditions(std::vector<TSQLMemNodePtr>& conjuncts) {
    int32_t found = 0;
    for (auto it = conjuncts.begin(); it != conjuncts.end();) {
        const TSQLMemExprNode& node = **it;
        bool taken = false;
        if (node.NodeType() == entOperator && node.Operator() == doEQ && node.ChildCount() == 2) {
            const TSQLMemExprNodeField* a = AsField(node.Child(0));
            const TSQLMemExprNodeField* b = AsField(node.Child(1));
            if (a != nullptr && b != nullptr) {
                const int32_t a_left = left_->Source().FindField(a->TableName(), a->FieldName());
                const int32_t b_right = right_->Source().FindField(b->TableName(), b->FieldName());
                const int32_t a_right = right_->Source().FindField(a->TableName(), a->FieldName());
                const int32_t b_left = left_->Source().FindField(b->TableName(), b->FieldName());
                if (a_left >= 0 && b_right >= 0 && !(a_right >= 0 && b_left < 0)) {
                    AddKeyPair(a_left, b_right);
                    taken = true;
                } else if (a_right >= 0 && b_left >= 0) {
                    AddKeyPair(b_left, a_right);
                    taken = true;
                }
            }
        }
        if (taken) {
            ++found;
            it = conjuncts.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

void TSQLMemAOJoin::ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) {
    if (join_type_ == ajtInner || join_type_ == ajtCross || join_type_ == ajtLeftOuter) {
        left_->ApplyFilterParts(conjuncts);
    }
    if (join_type_ == ajtInner || join_type_ == ajtCross || join_type_ == ajtRightOuter) {
        right_->ApplyFilterParts(conjuncts);
    }
    TSQLMemAO::ApplyFilterParts(conjuncts);
}

void TSQLMemAOJoin::SetColumnsRead(std::vector<bool> read) {
    read.resize(relation_.Columns.size(), true);
    for (const TSQLMemNodePtr& conjunct : filter_) {
        MarkFieldsRead(*conjunct, read);
    }
    if (match_condition_) {
        MarkFieldsRead(*match_condition_, read);
    }
    const size_t left_width = left_->Columns().size();
    std::vector<bool> left_read(read.begin(), read.begin() + static_cast<ptrdiff_t>(left_width));
    std::vector<bool> right_read(read.begin() + static_cast<ptrdiff_t>(left_width), read.end());
    for (const int32_t key : left_keys_) {
        left_read[static_cast<size_t>(key)] = true;
    }
    for (const int32_t key : right_keys_) {
        right_read[static_cast<size_t>(key)] = true;
    }
    left_->SetColumnsRead(std::move(left_read));
    right_->SetColumnsRead(std::move(right_read));
    columns_read_ = std::move(read);
}

void TSQLMemAOJoin::Execute() {
    left_->Execute();
    right_->Execute();
    if (left_keys_.size() != right_keys_.size()) {
        throw ESQLMemException::Formatted(
            kJoinListsLengthCode,
            "Error - different lists length. L1 = " + std::to_string(left_keys_.size()) +
                ", L2 = " + std::to_string(right_keys_.size()));
    }
    const std::vector<TSQLMemRow>& left_rows = left_->Result().Rows;
    const std::vector<TSQLMemRow>& right_rows = right_->Result().Rows;
    const size_t left_width = left_->Columns().size();
    const size_t right_width = right_->Columns().size();

    // The preserved side of an outer join is scanned; otherwise the smaller side.
    bool scan_left = true;
    if (join_type_ == ajtRightOuter) {
        scan_left = false;
    } else if (join_type_ == ajtInner || join_type_ == ajtCross) {
        scan_left = left_rows.size() <= right_rows.size() || left_keys_.empty();
    }
    const std::vector<TSQLMemRow>& scan_rows = scan_left ? left_rows : right_rows;
    const std::vector<TSQLMemRow>& probe_rows = scan_left ? right_rows : left_rows;
    const std::vector<int32_t>& scan_keys = scan_left ? left_keys_ : right_keys_;
    const std::vector<int32_t>& probe_keys = scan_left ? right_keys_ : left_keys_;
    const bool outer_scan =
        join_type_ == ajtLeftOuter || join_type_ == ajtRightOuter || join_type_ == ajtFullOuter;

    // Whole-number keys are found through a hash of the key values; other keys by a
    // binary search over the probe side sorted by its key values. Either way a scanned row
    // meets its matches in the probe side's own order.
    const bool hashed = !probe_keys.empty() && AllIntegerOrNull(probe_rows, probe_keys) &&
                        AllIntegerOrNull(scan_rows, scan_keys);
    TSQLMemHashChains chains;
    std::vector<size_t> probe_order;
    if (hashed) {
        chains.Reset(probe_rows.size());
        std::vector<int64_t> keys;
        uint64_t hash = 0;
        for (size_t i = probe_rows.size(); i-- > 0;) {
            if (RowIntegerKeys(probe_rows[i], probe_keys, keys, hash)) {
                chains.Prepend(hash, i);
            }
        }
    } else {
        probe_order.resize(probe_rows.size());
        std::iota(probe_order.begin(), probe_order.end(), size_t{0});
        const auto compare_probe = [&](size_t a, size_t b) {
            for (const int32_t key : probe_keys) {
                const int c = CompareValues(probe_rows[a][key], probe_rows[b][key]);
                if (c != 0) {
                    return c < 0;
                }
            }
            return false;
        };
        if (!probe_keys.empty()) {
            std::stable_sort(probe_order.begin(), probe_order.end(), compare_probe);
        }
    }

    std::vector<bool> probe_matched(probe_rows.size(), false);
    // Only the columns read above the join (or by its conditions) are filled in; the
    // others stay null.
    std::vector<size_t> left_read;
    std::vector<size_t> right_read;
    for (size_t i = 0; i < left_width + right_width; ++i) {
        if (columns_read_.size() != left_width + right_width || columns_read_[i]) {
            (i < left_width ? left_read : right_read)
                .push_back(i < left_width ? i : i - left_width);
        }
    }
    TSQLMemRow joined;
    joined.reserve(left_width + right_width);
    for (const TSQLMemColumn& column : relation_.Columns) {
        joined.push_back(TSQLMemVariant::Null(AdvancedToBaseType(column.DataType)));
    }
    const auto fill = [&](const TSQLMemRow* scan_row, const TSQLMemRow* probe_row) {
        const TSQLMemRow* left_row = scan_left ? scan_row : probe_row;
        const TSQLMemRow* right_row = scan_left ? probe_row : scan_row;
        for (const size_t i : left_read) {
            joined[i] =
                left_row != nullptr
                    ? (*left_row)[i]
                    : TSQLMemVariant::Null(AdvancedToBaseType(left_->Columns()[i].DataType));
        }
        for (const size_t i : right_read) {
            joined[left_width + i] =
                right_row != nullptr
                    ? (*right_row)[i]
                    : TSQLMemVariant::Null(AdvancedToBaseType(right_->Columns()[i].DataType));
        }
    };
    const auto emit = [&]() {
        if (FilterAccepts(joined)) {
            relation_.Rows.push_back(joined);
        }
    };
    const auto matches = [&]() {
        if (!match_condition_) {
            return true;
        }
        source_.SetRow(&joined);
        return IsTrue(match_condition_->GetDataValue());
    };

    relation_.Rows.clear();
    if (join_type_ == ajtInner && probe_rows.empty()) {
        return;
    }
    std::vector<int64_t> scan_values;
    for (const TSQLMemRow& scan_row : scan_rows) {
        bool matched = false;
        const auto consider = [&](size_t probe) {
            fill(&scan_row, &probe_rows[probe]);
            if (!matches()) {
                return;
            }
            matched = true;
            probe_matched[probe] = true;
            emit();
        };
        if (hashed) {
            uint64_t hash = 0;
            if (RowIntegerKeys(scan_row, scan_keys, scan_values, hash)) {
                for (size_t probe = chains.First(hash); probe != TSQLMemHashChains::kEnd;
                     probe = chains.Next(probe)) {
                    const TSQLMemRow& probe_row = probe_rows[probe];
                    bool same = true;
                    for (size_t k = 0; k < probe_keys.size() && same; ++k) {
                        same = probe_row[static_cast<size_t>(probe_keys[k])].AsInteger() ==
                               scan_values[k];
                    }
                    if (same) {
                        consider(probe);
                    }
                }
            }
        } else {
            auto first = probe_order.begin();
            auto last = probe_order.end();
            if (!scan_keys.empty()) {
                bool has_null = false;
                for (const int32_t key : scan_keys) {
                    has_null = has_null || scan_row[key].IsNull();
                }
                if (has_null) {
                    first = last;
                } else {
                    const auto key_less_probe = [&](size_t probe, bool probe_left) {
                        for (size_t k = 0; k < scan_keys.size(); ++k) {
                            const int c = CompareValues(probe_rows[probe][probe_keys[k]],
                                                        scan_row[scan_keys[k]]);
                            if (c != 0) {
                                return probe_left ? c < 0 : c > 0;
                            }
                        }
                        return false;
                    };
                    first = std::partition_point(
                        probe_order.begin(), probe_order.end(),
                        [&](size_t probe) { return key_less_probe(probe, true); });
                    last = std::partition_point(first, probe_order.end(), [&](size_t probe) {
                        return !key_less_probe(probe, false);
                    });
                }
            }
            for (auto it = first; it != last; ++it) {
                consider(*it);
            }
        }
        if (!matched && outer_scan) {
            fill(&scan_row, nullptr);
            emit();
        }
    }
    if (join_type_ == ajtFullOuter) {
        for (size_t i = 0; i < probe_rows.size(); ++i) {
            if (!probe_matched[i]) {
                fill(nullptr, &probe_rows[i]);
                emit();
            }
        }
    }
}

// --- TSQLMemAOGroupBy ---

TSQLMemAOGroupBy::TSQLMemAOGroupBy(
    std::unique_ptr<TSQLMemAO> input,
    const std::vector<std::pair<std::string, std::string>>& group_fields)
    : input_(std::move(input)) {
    for (size_t i = 0; i < group_fields.size(); ++i) {
        const auto& [table, field] = group_fields[i];
        const int32_t no = input_->Source().FindField(table, field);
        if (no < 0) {
            throw ESQLMemException::Formatted(
                kGroupFieldInvalidCode, InvalidFieldMessage(table, field, static_cast<int>(i), 0));
        }
        group_columns_.push_back(no);
    }
}

void TSQLMemAOGroupBy::SetResult(std::vector<TSQLMemExprNode*> expressions, TSQLMemExprNode* having,
                                 std::vector<TSQLMemColumn> columns) {
    expressions_ = std::move(expressions);
    having_ = having;
    relation_.Columns = std::move(columns);
}

void TSQLMemAOGroupBy::ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) {
    input_->ApplyFilterParts(conjuncts);
}

void TSQLMemAOGroupBy::SetColumnsRead(std::vector<bool> /*read*/) {
    // The output is computed: the input delivers what the expressions and groups read.
    std::vector<bool> input_read(input_->Columns().size(), false);
    for (const TSQLMemExprNode* expression : expressions_) {
        input_->MarkFieldsRead(*expression, input_read);
    }
    if (having_ != nullptr) {
        input_->MarkFieldsRead(*having_, input_read);
    }
    for (const int32_t column : group_columns_) {
        input_read[static_cast<size_t>(column)] = true;
    }
    input_->SetColumnsRead(std::move(input_read));
}

void TSQLMemAOGroupBy::Execute() {
    input_->Execute();
    const std::vector<TSQLMemRow>& rows = input_->Result().Rows;
    TSQLMemRowSource& source = input_->Source();
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), size_t{0});
    const auto group_compare = [&](size_t a, size_t b) {
        for (const int32_t column : group_columns_) {
            const int c = CompareValues(rows[a][column], rows[b][column]);
            if (c != 0) {
                return c;
            }
        }
        return 0;
    };
    if (!group_columns_.empty() && AllIntegerOrNull(rows, group_columns_)) {
        // Whole-number group values: each row finds its group through a hash of them,
        // then the groups are ordered by their values and the rows laid out group by
        // group, in input order within each group (as a stable sort would).
        std::unordered_map<uint64_t, std::vector<size_t>> buckets;
        std::vector<size_t> first_row;  // of each group
        std::vector<size_t> group_of(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            uint64_t hash = 0;
            for (const int32_t column : group_columns_) {
                const TSQLMemVariant& value = rows[i][static_cast<size_t>(column)];
                hash = MixKey(hash, value.IsNull() ? INT64_MIN : value.AsInteger());
                hash = MixKey(hash, value.IsNull() ? 1 : 0);
            }
            std::vector<size_t>& bucket = buckets[hash];
            size_t group = first_row.size();
            for (const size_t candidate : bucket) {
                if (group_compare(first_row[candidate], i) == 0) {
                    group = candidate;
                    break;
                }
            }
            if (group == first_row.size()) {
                first_row.push_back(i);
                bucket.push_back(group);
            }
            group_of[i] = group;
        }
        std::vector<size_t> groups(first_row.size());
        std::iota(groups.begin(), groups.end(), size_t{0});
        std::sort(groups.begin(), groups.end(), [&](size_t a, size_t b) {
            return group_compare(first_row[a], first_row[b]) < 0;
        });
        std::vector<size_t> start_of(groups.size() + 1, 0);
        std::vector<size_t> rank(groups.size());
        for (size_t r = 0; r < groups.size(); ++r) {
            rank[groups[r]] = r;
        }
        for (const size_t group : group_of) {
            ++start_of[rank[group] + 1];
        }
        std::partial_sum(start_of.begin(), start_of.end(), start_of.begin());
        for (size_t i = 0; i < rows.size(); ++i) {
            order[start_of[rank[group_of[i]]]++] = i;
        }
    } else {
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return group_compare(a, b) < 0; });
    }

    const auto finish_group = [&](const TSQLMemRow* last_row) {
        source.SetRow(last_row);
        if (having_ != nullptr && !IsTrue(having_->GetDataValue())) {
            return;
        }
        TSQLMemRow out;
        out.reserve(expressions_.size());
        for (TSQLMemExprNode* expression : expressions_) {
            out.push_back(expression->GetDataValue());
        }
        relation_.Rows.push_back(std::move(out));
    };
    const auto init = [&]() {
        for (TSQLMemExprNode* expression : expressions_) {
            expression->Init();
        }
        if (having_ != nullptr) {
            having_->Init();
        }
    };

    relation_.Rows.clear();
    if (rows.empty()) {
        const bool aggregated = std::any_of(expressions_.begin(), expressions_.end(),
                                            [](TSQLMemExprNode* e) { return e->IsAggregated(); });
        if (aggregated) {
            init();
            finish_group(nullptr);
        }
        return;
    }
    size_t start = 0;
    while (start < order.size()) {
        size_t end = start + 1;
        while (end < order.size() && group_compare(order[start], order[end]) == 0) {
            ++end;
        }
        init();
        for (size_t i = start; i < end; ++i) {
            source.SetRow(&rows[order[i]]);
            for (TSQLMemExprNode* expression : expressions_) {
                expression->Accumulate();
            }
            if (having_ != nullptr) {
                having_->Accumulate();
            }
        }
        finish_group(&rows[order[end - 1]]);
        start = end;
    }
}

// --- TSQLMemAOUnion ---

namespace {

// The rows of `relation` reduced to the columns `names` (in that order).
TSQLMemRelation Project(const TSQLMemRelation& relation, const std::vector<std::string>& names,
                        int empty_code) {
    std::vector<size_t> picks;
    for (const std::string& name : names) {
        for (size_t i = 0; i < relation.Columns.size(); ++i) {
            if (SameName(relation.Columns[i].FieldName, name)) {
                picks.push_back(i);
                break;
            }
        }
    }
    if (picks.empty()) {
        throw ESQLMemException::Formatted(empty_code, "Empty field list, item count = 0");
    }
    TSQLMemRelation out;
    for (const size_t pick : picks) {
        out.Columns.push_back(relation.Columns[pick]);
    }
    out.Rows.reserve(relation.Rows.size());
    for (const TSQLMemRow& row : relation.Rows) {
        TSQLMemRow projected;
        for (const size_t pick : picks) {
            projected.push_back(row[pick]);
        }
        out.Rows.push_back(std::move(projected));
    }
    return out;
}

bool RowLess(const TSQLMemRow& a, const TSQLMemRow& b) {
    for (size_t i = 0; i < a.size(); ++i) {
        const int c = CompareValues(a[i], b[i]);
        if (c != 0) {
            return c < 0;
        }
    }
    return false;
}

}  // namespace

TSQLMemAOUnion::TSQLMemAOUnion(TSQLMemRelation left, TSQLMemRelation right,
                               TSQLMemUnionType union_type, bool all, bool corresponding,
                               const std::vector<std::string>& by)
    : union_type_(union_type), all_(all) {
    if (corresponding) {
        std::vector<std::string> names = by;
        if (names.empty()) {
            for (const TSQLMemColumn& column : left.Columns) {
                const bool in_right = std::any_of(
                    right.Columns.begin(), right.Columns.end(), [&](const TSQLMemColumn& c) {
                        return SameName(c.FieldName, column.FieldName);
                    });
                if (in_right) {
                    names.push_back(column.FieldName);
                }
            }
        }
        left_ = Project(left, names, kSetEmptyListCode);
        right_ = Project(right, names, kSetEmptyListRightCode);
    } else {
        left_ = std::move(left);
        right_ = std::move(right);
    }
    if (left_.Columns.size() != right_.Columns.size()) {
        throw ESQLMemException::Formatted(
            kSetListsLengthCode,
            "Error - different lists length. L1 = " + std::to_string(left_.Columns.size()) +
                ", L2 = " + std::to_string(right_.Columns.size()));
    }
    relation_.Columns = left_.Columns;
}

void TSQLMemAOUnion::Execute() {
    relation_.Rows.clear();
    // The right input sorted, for the look-ups of EXCEPT and INTERSECT.
    std::vector<const TSQLMemRow*> sorted_right;
    for (const TSQLMemRow& row : right_.Rows) {
        sorted_right.push_back(&row);
    }
    std::stable_sort(sorted_right.begin(), sorted_right.end(),
                     [](const TSQLMemRow* a, const TSQLMemRow* b) { return RowLess(*a, *b); });
    const auto in_right = [&](const TSQLMemRow& row) {
        const auto it = std::lower_bound(
            sorted_right.begin(), sorted_right.end(), &row,
            [](const TSQLMemRow* a, const TSQLMemRow* b) { return RowLess(*a, *b); });
        return it != sorted_right.end() && SameRowValues(**it, row);
    };
    switch (union_type_) {
        case autUnion:
            relation_.Rows = left_.Rows;
            relation_.Rows.insert(relation_.Rows.end(), right_.Rows.begin(), right_.Rows.end());
            break;
        case autExcept:
            for (const TSQLMemRow& row : left_.Rows) {
                if (!in_right(row)) {
                    relation_.Rows.push_back(row);
                }
            }
            break;
        case autIntersect:
            for (const TSQLMemRow& row : left_.Rows) {
                if (in_right(row)) {
                    relation_.Rows.push_back(row);
                }
            }
            break;
    }
    if (!all_) {
        // Made distinct over an index of all fields: the rows come out in its order.
        std::stable_sort(relation_.Rows.begin(), relation_.Rows.end(), RowLess);
        relation_.Rows.erase(
            std::unique(relation_.Rows.begin(), relation_.Rows.end(), SameRowValues),
            relation_.Rows.end());
    }
}

}  // namespace tapir::engine
