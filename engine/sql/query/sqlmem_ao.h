#pragma once
// The relational operators a SELECT runs as: table scans, joins, grouping and set
// operations. Each operator produces its rows into memory when executed; the query then
// copies the final rows into a temporary table that serves as its result cursor. WHERE
// conditions are split into conjuncts and handed down the tree (ApplyFilterParts) so that
// each conjunct runs at the lowest operator that has all its fields; the conjuncts a
// table scan can give to its table's SQL filter are served by the table's indexes.
// An operator tree is used by one thread for one execution.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/record/sqlmem_variant.h"
#include "engine/sql/expr/expression_nodes.h"
#include "engine/sql/query/sqlmem_query_types.h"

namespace tapir::engine {

class TSQLMemTable;

// --- Error codes of query execution ---
constexpr int kTableDoesNotExistCode = 11505;       // "Table '%s' does not exist"
constexpr int kCannotOpenTableCode = 10303;         // "Cannot open table %s, InMemory = %d"
constexpr int kJoinListsLengthCode = 10330;         // "Error - different lists length. ..."
constexpr int kJoinFieldsSameTableCode = 10334;     // "Both join fields are from the same ..."
constexpr int kSetListsLengthCode = 10338;          // "Error - different lists length. ..."
constexpr int kSetEmptyListCode = 10337;            // "Empty field list, item count = %d"
constexpr int kSetEmptyListRightCode = 10339;       // the same, for the right input
constexpr int kGroupFieldInvalidCode = 10343;       // "Invalid field for join operation. ..."
constexpr int kJoinFieldInvalidCode = 10342;        // the same text, for a join's field
constexpr int kConditionNotApplicableCode = 30144;  // "Search condition is not applicable"

// A column of an operator's output: the table (alias) it comes from, its name, its type.
struct TSQLMemColumn {
    std::string TableName;
    std::string FieldName;
    TSQLMemAdvancedFieldType DataType = aftString;
    int32_t Size = 0;
};
using TSQLMemRow = std::vector<TSQLMemVariant>;

// One key of the order a result's rows are in: a column, its direction, its case rule.
struct TSQLMemResultOrder {
    size_t Column = 0;
    bool Descending = false;
    bool CaseInsensitive = false;
};

// Columns and rows: what an operator produced. `Order`, when not empty, is the order the
// rows are in (ORDER BY, then DISTINCT's other columns); the result table keeps it as its
// current index.
struct TSQLMemRelation {
    std::vector<TSQLMemColumn> Columns;
    std::vector<TSQLMemRow> Rows;
    std::vector<TSQLMemResultOrder> Order;
};

// Reads the current row of a relation for expression field nodes. A row that is not set
// reads as all nulls (the empty group of an aggregate query).
class TSQLMemRowSource final : public TSQLMemFieldSource {
  public:
    // Requires: `columns` outlives the source.
    explicit TSQLMemRowSource(const std::vector<TSQLMemColumn>& columns) : columns_(columns) {}

    int32_t FindField(std::string_view table_name, std::string_view field_name) const override;
    TSQLMemAdvancedFieldType FieldType(int32_t field_no) const override;
    int32_t FieldSize(int32_t field_no) const override;
    TSQLMemVariant FieldValue(int32_t field_no) const override;

    // Requires: `row` stays valid until the next SetRow (nullptr: all nulls).
    void SetRow(const TSQLMemRow* row) { row_ = row; }

  private:
    const std::vector<TSQLMemColumn>& columns_;
    const TSQLMemRow* row_ = nullptr;
};

using TSQLMemNodePtr = std::unique_ptr<TSQLMemExprNode>;

// Base operator: its output columns and rows, a field source over them, and the filter
// conjuncts it took.
class TSQLMemAO {
  public:
    TSQLMemAO();
    TSQLMemAO(const TSQLMemAO&) = delete;
    TSQLMemAO& operator=(const TSQLMemAO&) = delete;
    virtual ~TSQLMemAO();

    // Produces the rows (inputs first). Throws what evaluation and the tables throw.
    virtual void Execute() = 0;
    // Offers the conjuncts to the inputs (as the operator allows), then takes every one
    // whose fields all belong to this operator. Taken conjuncts leave the list.
    virtual void ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts);
    // Whether every field of `node` is one of this operator's columns.
    bool CanBeAssigned(const TSQLMemExprNode& node) const { return node.CanBeAssigned(source_); }

    const std::vector<TSQLMemColumn>& Columns() const { return relation_.Columns; }
    TSQLMemRelation& Result() { return relation_; }
    TSQLMemRowSource& Source() { return source_; }
    // Rows the operator read from its table(s): the rows a scan's table tested for its
    // filter, or delivered when it has none; joins add their inputs'.
    virtual int64_t RowsRead() const { return 0; }
    // Whether the operator is a scan of one table.
    virtual bool IsTableScan() const { return false; }
    // Tells the operator which of its columns are read above it (one flag per column); it
    // passes on what its inputs must deliver for that. Columns no one reads may stay null.
    virtual void SetColumnsRead(std::vector<bool> read) { (void)read; }
    // Sets the flag in `read` of every column of this operator a field of `node` reads.
    void MarkFieldsRead(const TSQLMemExprNode& node, std::vector<bool>& read) const;
    // Take and release the table locks the tree needs for reading, down the tree. A scan
    // releases its lock itself once its rows are read; UnlockTable releases what is still
    // held (after an error). Both may be called again.
    virtual void LockTable() {}
    virtual void UnlockTable() {}
    // Table locks the operator (with its inputs) holds now.
    virtual int32_t LocksHeld() const { return 0; }

  protected:
    // Takes one conjunct: binds it to this operator's columns.
    void TakeFilter(TSQLMemNodePtr conjunct);
    bool HasFilter() const { return !filter_.empty(); }
    // Whether `row` meets every taken conjunct (null counts as false).
    bool FilterAccepts(const TSQLMemRow& row);

    TSQLMemRelation relation_;
    TSQLMemRowSource source_;
    std::vector<TSQLMemNodePtr> filter_;
};

// Scan of one table of the in-memory database.
class TSQLMemAOTable final : public TSQLMemAO {
  public:
    // Opens `table_name`; its columns are qualified by `alias` (the table name when
    // empty). Throws ESQLMemException 10303 when it cannot be opened, its text ending in
    // the reason (11505 "Table '%s' does not exist" for a missing table).
    TSQLMemAOTable(const std::string& table_name, const std::string& alias);
    ~TSQLMemAOTable() override;

    void Execute() override;
    // Reads the rows that pass the filter, in table order, handing each to `take`, which
    // may move out of it and returns whether to go on; the rows are not kept. Use instead
    // of Execute.
    void ScanRows(const std::function<bool(TSQLMemRow&)>& take);
    int64_t RowsRead() const override { return rows_read_; }
    bool IsTableScan() const override { return true; }
    // The table scanned (open).
    TSQLMemTable& Table();
    // Stops Execute once `rows` rows passed the filter (-1: no limit).
    void SetRowLimit(int64_t rows) { row_limit_ = rows; }
    // The rows that pass the filter, counted without copying them: the table's own count
    // under its SQL filter when that serves every conjunct. Use instead of Execute.
    int64_t CountRows();
    // Whether the table lives in the memory database or is a temporary table: neither
    // takes a lock at this level (the table's own lock guards each read).
    bool MemoryOrTemporaryTable() const;
    void LockTable() override;
    void UnlockTable() override;
    int32_t LocksHeld() const override { return locked_ ? 1 : 0; }
    void SetColumnsRead(std::vector<bool> read) override { columns_read_ = std::move(read); }

  private:
    // The conjuncts the table's SQL filter can run (a field of this table compared with a
    // number or a text), as filter text; they leave filter_.
    std::string TakeSQLFilterText();

    class ScanTable;
    std::unique_ptr<ScanTable> table_;
    std::string qualifier_;
    int64_t rows_read_ = 0;
    int64_t row_limit_ = -1;
    bool locked_ = false;
    std::vector<bool> columns_read_;  // empty: every column
};

// A row limit on top of a table scan (SELECT TOP n[, first] over one table, with no order,
// grouping or DISTINCT): the scan stops once it has the rows asked for, and the rows before
// the first one to return are dropped.
class TSQLMemAOSQLTopRowCount final : public TSQLMemAO {
  public:
    // `row_count`: rows to return; `first_row`: 1-based number of the first of them
    // (-1 or 1: from the first).
    TSQLMemAOSQLTopRowCount(std::unique_ptr<TSQLMemAOTable> input, int64_t row_count,
                            int64_t first_row);

    void Execute() override;
    void ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) override;
    int64_t RowsRead() const override { return input_->RowsRead(); }
    void LockTable() override { input_->LockTable(); }
    void UnlockTable() override { input_->UnlockTable(); }
    int32_t LocksHeld() const override { return input_->LocksHeld(); }
    void SetColumnsRead(std::vector<bool> read) override;
    TSQLMemAOTable& Input() { return *input_; }

  private:
    std::unique_ptr<TSQLMemAOTable> input_;
    int64_t row_count_;
    int64_t first_row_;
};

// Join of two inputs on key field pairs, with the non-key part of ON deciding which rows
// match (an outer join keeps every row of its preserved side).
class TSQLMemAOJoin final : public TSQLMemAO {
  public:
    TSQLMemAOJoin(std::unique_ptr<TSQLMemAO> left, std::unique_ptr<TSQLMemAO> right,
                  TSQLMemJoinType join_type, bool natural);

    TSQLMemJoinType JoinType() const { return join_type_; }
    // NATURAL: the builder paired the columns the two inputs share by name.
    bool Natural() const { return natural_; }
    // A comma-separated FROM list joins without keys as a cross join.
    void SetJoinType(TSQLMemJoinType join_type) { join_type_ = join_type; }
    TSQLMemAO& LeftInput() { return *left_; }
    TSQLMemAO& RightInput() { return *right_; }
    // Appends key pairs: column numbers of the left and the right input.
    void AddKeyPair(int32_t left_column, int32_t right_column);
    // The non-key part of ON (bound to the joined columns).
    void SetMatchCondition(TSQLMemNodePtr condition);
    // Moves every conjunct that is an equality between a field of the left input and a
    // field of the right input into the key lists; returns how many pairs were found.
    int32_t ExtractJoinConditions(std::vector<TSQLMemNodePtr>& conjuncts);

    void Execute() override;
    void ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) override;
    int64_t RowsRead() const override { return left_->RowsRead() + right_->RowsRead(); }
    void LockTable() override {
        left_->LockTable();
        right_->LockTable();
    }
    void UnlockTable() override {
        left_->UnlockTable();
        right_->UnlockTable();
    }
    int32_t LocksHeld() const override { return left_->LocksHeld() + right_->LocksHeld(); }
    void SetColumnsRead(std::vector<bool> read) override;

  private:
    std::unique_ptr<TSQLMemAO> left_;
    std::unique_ptr<TSQLMemAO> right_;
    TSQLMemJoinType join_type_;
    bool natural_;
    std::vector<int32_t> left_keys_;
    std::vector<int32_t> right_keys_;
    TSQLMemNodePtr match_condition_;
    std::vector<bool> columns_read_;  // empty: every column
};

// Grouping: the input's rows sorted by the group fields into runs of equal values; for
// each run the aggregates are accumulated and the result expressions evaluated with the
// run's last row current. Without group fields every row forms one group; an empty input
// yields one row when an expression aggregates.
class TSQLMemAOGroupBy final : public TSQLMemAO {
  public:
    // `group_fields` name columns of the input. Throws ESQLMemException 10343 for a field
    // the input does not have.
    TSQLMemAOGroupBy(std::unique_ptr<TSQLMemAO> input,
                     const std::vector<std::pair<std::string, std::string>>& group_fields);

    TSQLMemAO& Input() { return *input_; }
    // The expressions of the output row (bound to the input by the caller), the HAVING
    // condition (may be null), and the output columns.
    void SetResult(std::vector<TSQLMemExprNode*> expressions, TSQLMemExprNode* having,
                   std::vector<TSQLMemColumn> columns);

    void Execute() override;
    void ApplyFilterParts(std::vector<TSQLMemNodePtr>& conjuncts) override;
    int64_t RowsRead() const override { return input_->RowsRead(); }
    void LockTable() override { input_->LockTable(); }
    void UnlockTable() override { input_->UnlockTable(); }
    int32_t LocksHeld() const override { return input_->LocksHeld(); }
    void SetColumnsRead(std::vector<bool> read) override;

  private:
    std::unique_ptr<TSQLMemAO> input_;
    std::vector<int32_t> group_columns_;
    std::vector<TSQLMemExprNode*> expressions_;
    TSQLMemExprNode* having_ = nullptr;
};

enum class TSQLMemUnionType : int { autUnion = 0, autIntersect, autExcept };
using enum TSQLMemUnionType;

// Set operations over two finished results, rows paired by position or by the
// corresponding column names. Without ALL the result holds each row once.
class TSQLMemAOUnion final : public TSQLMemAO {
  public:
    // Throws ESQLMemException 10338 when the inputs have different column counts, 10337 /
    // 10339 when a corresponding list is empty.
    TSQLMemAOUnion(TSQLMemRelation left, TSQLMemRelation right, TSQLMemUnionType union_type,
                   bool all, bool corresponding, const std::vector<std::string>& by);

    void Execute() override;

  private:
    TSQLMemRelation left_;
    TSQLMemRelation right_;
    TSQLMemUnionType union_type_;
    bool all_;
};

// Whether two rows hold equal values in every column (nulls equal to nulls).
bool SameRowValues(const TSQLMemRow& a, const TSQLMemRow& b);

}  // namespace tapir::engine
