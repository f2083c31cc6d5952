#pragma once
// SELECT: the parser of single SELECT blocks (TSQLMemSQLSelect) and of query expressions
// that join them with UNION, EXCEPT/MINUS and INTERSECT (TSQLMemSQLUnion), and their
// execution over the operator tree into a result cursor. The result is a table of the
// in-memory database: a temporary table named "TEMPORARY_TABLE_<n>" that is dropped with
// the cursor, or the INTO table, which stays. Used by one thread at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/sql/command/sqlmem_sql_command.h"
#include "engine/sql/expr/expression_nodes.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/query/sqlmem_ao.h"
#include "engine/sql/query/sqlmem_query_types.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {

class TSQLMemSQLParams;

// --- Parse error codes of SELECT ---
constexpr int kSelectEndCode = 30161;                 // "Unexpected end of SQL command ..."
constexpr int kTopCountExpectedCode = 30158;          // "Integer expected, but ..."
constexpr int kTopFirstRowExpectedCode = 30159;       // the same, for the first row
constexpr int kSelectExpressionCode = 30160;          // "Expression expected, but ..."
constexpr int kPseudonymExpectedCode = 30162;         // "Field pseudonym expected, but ..."
constexpr int kSelectFieldNameCode = 30163;           // "Field name expected, but ..."
constexpr int kFromTableNameCode = 30165;             // "Table name expected, but ..."
constexpr int kJoinTableNameCode = 30166;             // the same, after JOIN
constexpr int kRightParenthesisCode = 30167;          // "Token ')' expected, but ..."
constexpr int kJoinExpectedCode = 30175;              // "Token 'JOIN' expected, but ..."
constexpr int kIntoTableNameCode = 30176;             // "Table name expected, but ..."
constexpr int kAliasExpectedCode = 30177;             // "Field pseudonym expected, but ..."
constexpr int kPasswordExpectedCode = 30178;          // "Quoted password expected ..."
constexpr int kUsingFieldNameCode = 30179;            // "Field name expected, but ..."
constexpr int kFromExpectedCode = 30184;              // "Token 'FROM' expected, but ..."
constexpr int kUsingParenthesisCode = 30185;          // "Token '(' expected, but ..."
constexpr int kSelectUnexpectedTokenCode = 30186;     // "Unexpected token '%s' found ..."
constexpr int kGroupFieldNameCode = 30187;            // "Field name expected, but ..."
constexpr int kGroupByExpectedCode = 30188;           // "Token 'BY' expected, but ..."
constexpr int kJoinConditionCode = 30189;             // "Unexpected token '%s' found ..."
constexpr int kSortItemCode = 30190;                  // an ORDER BY item expected
constexpr int kSortIndexNameCode = 30191;             // the same, after ORDER BY INDEX
constexpr int kOrderByExpectedCode = 30193;           // "Token 'BY' expected, but ..."
constexpr int kSelectExpectedCode = 30194;            // "Token 'SELECT' expected, but ..."
constexpr int kOrderByColumnNotFoundCode = 30195;     // "Column '%s' from ORDER BY clause ..."
constexpr int kOrderByColumnNumberCode = 30196;       // "Invalid column number in ORDER BY ..."
constexpr int kCorrespondingParenthesisCode = 30206;  // "Token '(' expected, but ..."
constexpr int kSearchConditionCode = 30070;           // "Boolean expression expected, but ..."
constexpr int kIntoAfterFromCode = 11337;
// "Error importing table. Cannot copy data due to error: %s" and a line break.
constexpr int kIntoCopyFailedCode = 10403;  // "INTO clause should be before FROM ..."

// Names of the indexes that keep a result's order: this prefix and a random number.
inline constexpr char kResultIndexNamePrefix[] = "TEMPORARY_TABLE_INDEX_";

// What a query runs with: the connection's session (LASTAUTOINC), the parameters, and
// whether a live result was asked for.
struct TSQLMemSelectContext {
    std::string DatabaseName;
    const TSQLMemSQLParams* Params = nullptr;
    TSQLMemLocalSession* Session = nullptr;
    bool RequestLive = false;
};

// The result cursor of a query: a table of the in-memory database. A temporary result
// table is dropped when the cursor is freed; an INTO table stays.
class TSQLMemQueryResult final : public TSQLMemTable {
  public:
    TSQLMemQueryResult(std::string table_name, bool temporary);
    ~TSQLMemQueryResult() override;

    bool Temporary() const { return temporary_; }
    // Rows the query's table scans delivered (after what their tables' filters served).
    int64_t RowsRead() const { return rows_read_; }
    void SetRowsRead(int64_t rows) { rows_read_ = rows; }
    // Hides every row for which `condition` (over this table's columns) is not true, on
    // top of the SQL filter: for conditions the SQL filter cannot run, such as those
    // with subqueries. Throws EDatabaseError "Field '%s' not found" for an unknown
    // column. Requires: the table is open.
    void FilterRowsBy(std::unique_ptr<TSQLMemExprNode> condition,
                      const TSQLMemSelectContext& context);

  private:
    struct RowTest;

    bool temporary_;
    int64_t rows_read_ = 0;
    std::unique_ptr<RowTest> row_test_;
};

// One SELECT block.
class TSQLMemSQLSelect {
  public:
    // Requires: `lexer` outlives Parse.
    explicit TSQLMemSQLSelect(TSQLMemLexer& lexer);
    TSQLMemSQLSelect(const TSQLMemSQLSelect&) = delete;
    TSQLMemSQLSelect& operator=(const TSQLMemSQLSelect&) = delete;
    ~TSQLMemSQLSelect();

    // Parses `SELECT ...` from the lexer's current token up to the first token that
    // belongs to no clause, where the lexer then stands. Throws ESQLMemException with the
    // codes above and the expression parser's.
    void Parse();

    // Runs the query: the result's columns (display names) and rows.
    TSQLMemRelation Run(const TSQLMemSelectContext& context, int64_t& rows_read);

    // --- The parsed query ---
    bool Distinct() const { return distinct_; }
    int64_t TopCount() const { return top_count_; }
    int64_t TopFirstRow() const { return top_first_row_; }
    bool AllColumns() const { return select_all_; }
    const TSQLMemFields& SelectList() const { return select_list_; }
    const std::vector<std::unique_ptr<TSQLMemTableReference>>& From() const { return from_; }
    const TSQLMemExprNode* Where() const { return where_.get(); }
    const std::vector<std::pair<std::string, std::string>>& GroupBy() const { return group_by_; }
    const TSQLMemExprNode* Having() const { return having_.get(); }
    const std::vector<TSQLMemSortSpecification>& OrderBy() const { return order_by_; }
    const std::string& OrderByIndex() const { return order_by_index_; }
    const std::string& IntoTable() const { return into_table_; }
    // The WHERE condition as SQL text rebuilt from its tokens (parameters as literals);
    // nullopt without WHERE or when a token has no literal form.
    const std::optional<std::string>& WhereText() const { return where_text_; }
    // Whether the query can be answered by the table itself: `SELECT * FROM table
    // [WHERE ...]` with no other clause.
    bool CanBeLive() const;
    // Hands the WHERE tree to the caller (a later run parses it again).
    std::unique_ptr<TSQLMemExprNode> ReleaseWhere();
    bool IntoMemory() const { return into_memory_; }

  private:
    class Parser;
    class Builder;

    // Parses the command's tokens again (the trees went to the operators of a run).
    // Requires: the lexer still holds this select's command.
    void ParseAgain();

    TSQLMemLexer& lexer_;
    int32_t command_no_ = -1;
    int32_t first_token_ = 0;
    bool consumed_ = false;
    bool distinct_ = false;
    int64_t top_count_ = -1;
    int64_t top_first_row_ = -1;
    bool select_all_ = false;
    TSQLMemFields select_list_;
    std::string into_database_;
    std::string into_table_;
    bool into_memory_ = false;
    std::vector<std::unique_ptr<TSQLMemTableReference>> from_;
    std::unique_ptr<TSQLMemExprNode> where_;
    std::optional<std::string> where_text_;
    std::vector<std::pair<std::string, std::string>> group_by_;
    std::unique_ptr<TSQLMemExprNode> having_;
    std::vector<TSQLMemSortSpecification> order_by_;
    std::string order_by_index_;
    // Kept alive for the subqueries of the trees while they run.
    std::unique_ptr<TSQLMemExprContext> expr_context_;
};

// A query expression: one or more selects joined by set operators. The statement
// processor runs SELECT commands through it (see InstallQueryCommand).
class TSQLMemSQLUnion final : public TSQLMemSQLCommand {
  public:
    // Requires: `lexer` outlives the object.
    TSQLMemSQLUnion(TSQLMemLexer& lexer, const TSQLMemCommandContext& context);
    ~TSQLMemSQLUnion() override;

    // Parses the query expression from the lexer's current token to the end of the
    // command. Throws ESQLMemException (30194 where no SELECT starts, 30186 for tokens
    // after the query, and the select's codes).
    void Parse() override;
    // Runs the query; its result cursor is then GetResultDataset(). A result is read-only
    // unless it is an INTO table.
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;
    TSQLMemDataSet* GetResultDataset() override { return result_.get(); }

    // Runs the query into a result cursor the caller owns.
    std::unique_ptr<TSQLMemQueryResult> Execute(const TSQLMemSelectContext& context);
    const TSQLMemQueryExprNode& Root() const { return *root_; }

  private:
    std::unique_ptr<TSQLMemQueryExprNode> ParseExpression();
    std::unique_ptr<TSQLMemQueryExprNode> ParseTerm();
    std::unique_ptr<TSQLMemQueryExprNode> ParsePrimary();
    void ParseSetOptions(TSQLMemQueryExprNode& node);
    TSQLMemRelation Run(TSQLMemQueryExprNode& node, const TSQLMemSelectContext& context,
                        int64_t& rows_read);

    std::unique_ptr<TSQLMemQueryExprNode> root_;
    std::unique_ptr<TSQLMemQueryResult> result_;
    int32_t depth_ = 0;
};

// Installs the query layer's command for SELECT with the statement processor.
void InstallQueryCommand();

// Parses and runs one SELECT command (the first command of `sql_text`) and returns its
// result cursor, open on its first row. Throws what parsing and execution throw.
std::unique_ptr<TSQLMemQueryResult> RunSelect(const TSQLMemSelectContext& context,
                                              const std::string& sql_text);

// The subquery factory for expression contexts: each subquery runs through RunSelect.
TSQLMemSubQueryFactory MakeSubQueryFactory(const TSQLMemSelectContext& context);

}  // namespace tapir::engine
