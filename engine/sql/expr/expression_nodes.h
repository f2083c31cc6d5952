#pragma once
// The nodes of SQL expression trees: every condition and value of the SQL layer and of
// dataset filters is a tree of these. A node owns its children and its result value;
// evaluating a node (GetDataValue) evaluates its children against the current row of the
// field source its field nodes are bound to. A tree is used by one thread at a time.
//
// Building a tree: create a node with its operator and options, then hand it its children
// in order with AddChild (the node takes ownership). Field nodes read nothing until they are
// bound to a TSQLMemFieldSource (AssignFieldSource); subqueries, LASTAUTOINC and the clock
// reach the outside world through the TSQLMemExprContext a TSQLMemExpression hands down.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/field_types.h"
#include "engine/record/record_buffer.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/sql/expr/date_formatter.h"

namespace tapir::engine {

class TSQLMemLocalSession;

// Operator codes; the numbers are fixed.
enum class TSQLMemDataOperator : int {
    doUNDEFINED = 0,
    doEQ,
    doNE,
    doGT,
    doLT,
    doGE,
    doLE,
    doNOT,
    doAND,
    doOR,
    doIN,
    doNOTIN,
    doBETWEEN,
    doNOTBETWEEN,
    doLIKE,
    doNOTLIKE,
    doISNULL,
    doISNOTNULL,
    doTRUE,
    doFALSE,
    doADD,
    doSUB,
    doMUL,
    doDIV,
    doCONCAT,
    doUPPER,
    doLOWER,
    doTRIM,
    doLTRIM,
    doRTRIM,
    doLENGTH,
    doPOS,
    doSUBSTRING,
    doSUM,
    doAVG,
    doMIN,
    doMAX,
    doCOUNT,
    doCOUNTALL,
    doSYSDATE,
    doCURRENT_DATE,
    doCURRENT_TIME,
    doTODATE,
    doTOSTRING,
    doCAST,
    doLASTAUTOINC,
    doTOBLOB,
};
using enum TSQLMemDataOperator;

// The name an operator has in messages ("=", "AND", "||", "COUNT(*)"), "unknown" for the
// codes that have none.
std::string_view OperatorMessageName(TSQLMemDataOperator op);

enum class TSQLMemExprNodeType : int { entField = 0, entConst, entOperator, entSet, entNull };
using enum TSQLMemExprNodeType;

// The declared type that stands for a value of a base type (bftVarchar → aftString,
// bftSignedInt64 → aftLargeint, …); aftUnknown for bftUnknown.
TSQLMemAdvancedFieldType AdvancedTypeOfBase(TSQLMemBaseFieldType type);

// --- Error codes of evaluation ---
constexpr int kUnknownOperatorCode = 30116;       // "Unknown operator: '%s'"
constexpr int kUndeterminedTypeCode = 30283;      // "Cannot determine expression type"
constexpr int kNoChildrenCode = 11338;            // "Error - no children in expression node"
constexpr int kNotStringArgumentCode = 30120;     // "Not string argument in function '%s'"
constexpr int kSumNotNumericCode = 30132;         // "Not numeric argument in numeric operator '%s'"
constexpr int kAvgNotNumericCode = 30133;         // the same text, for AVG
constexpr int kSubQueryNoRowsCode = 10848;        // "Subquery returns no rows"
constexpr int kSubQueryMultipleRowsCode = 10849;  // "Subquery returns multiple rows"

// Where field nodes read their values: the fields of one row source (a table's row buffer,
// later the operators of a query) and the value of a field in the current row.
class TSQLMemFieldSource {
  public:
    virtual ~TSQLMemFieldSource() = default;
    // The field number of `field_name`, qualified by `table_name` when that is not empty
    // (names compared without regard to case); -1 when this source has no such field.
    virtual int32_t FindField(std::string_view table_name, std::string_view field_name) const = 0;
    // Declared type and size of a field found by FindField.
    virtual TSQLMemAdvancedFieldType FieldType(int32_t field_no) const = 0;
    virtual int32_t FieldSize(int32_t field_no) const = 0;
    // The field's value in the current row. Throws what the source throws when it has no
    // current row.
    virtual TSQLMemVariant FieldValue(int32_t field_no) const = 0;
};

// A field source over row buffers of one table layout: the row is set before each
// evaluation (SetRow). A row that is not set reads as all nulls.
class TSQLMemRowBufferSource final : public TSQLMemFieldSource {
  public:
    // Requires: `fields` outlives the source. `table_name` is the name a qualified field
    // reference must carry to match (empty: any qualifier matches).
    explicit TSQLMemRowBufferSource(const TSQLMemFieldDefs& fields, std::string table_name = {});

    int32_t FindField(std::string_view table_name, std::string_view field_name) const override;
    TSQLMemAdvancedFieldType FieldType(int32_t field_no) const override;
    int32_t FieldSize(int32_t field_no) const override;
    TSQLMemVariant FieldValue(int32_t field_no) const override;

    // Requires: `row` (null bitmap + field data) stays valid until the next SetRow.
    void SetRow(const std::byte* row) { row_ = row; }
    const std::byte* Row() const { return row_; }
    const TSQLMemFieldDefs& Fields() const { return fields_; }

  private:
    const TSQLMemFieldDefs& fields_;
    std::string table_name_;
    const std::byte* row_ = nullptr;
};

// The answer of one non-correlated subquery, as the query layer provides it. Execute runs
// the query once; the other calls read its result.
class TSQLMemSubQueryRunner {
  public:
    virtual ~TSQLMemSubQueryRunner() = default;
    // Runs the query. Called once, before any other call.
    virtual void Execute() = 0;
    // Rows of the result.
    virtual int64_t RecordCount() = 0;
    // The first field of the first row. Requires: RecordCount() > 0.
    virtual TSQLMemVariant FirstValue() = 0;
    // Whether some row's first field equals `value` (not null) by the value comparison.
    virtual bool Locate(const TSQLMemVariant& value) = 0;
    // Whether some row's first field is null.
    virtual bool HasNullInFirstField() = 0;
};

// Builds the runner of a subquery from its SQL text (the text between the parentheses).
using TSQLMemSubQueryFactory =
    std::function<std::unique_ptr<TSQLMemSubQueryRunner>(const std::string& sql_text)>;

// What a tree needs from outside beyond its field source. Owned by the TSQLMemExpression
// that holds the tree; nodes keep a pointer to it.
struct TSQLMemExprContext {
    // The connection whose last autoinc values LASTAUTOINC reads; nullptr: none.
    TSQLMemLocalSession* Session = nullptr;
    TSQLMemSubQueryFactory SubQueries;
};

class TSQLMemExprNodeField;

// Base of every node: operator code, owned children, owned result value.
class TSQLMemExprNode {
  public:
    TSQLMemExprNode(TSQLMemExprNodeType node_type, TSQLMemDataOperator op);
    TSQLMemExprNode(const TSQLMemExprNode&) = delete;
    TSQLMemExprNode& operator=(const TSQLMemExprNode&) = delete;
    virtual ~TSQLMemExprNode();

    TSQLMemExprNodeType NodeType() const { return node_type_; }
    TSQLMemDataOperator Operator() const { return operator_; }

    // --- Children (owned) ---
    // Appends a child and returns it. Requires: `child` not null.
    TSQLMemExprNode& AddChild(std::unique_ptr<TSQLMemExprNode> child);
    // Inserts a child before position `index` (index <= ChildCount()).
    TSQLMemExprNode& InsertChild(size_t index, std::unique_ptr<TSQLMemExprNode> child);
    // Takes the child at `index` out of the node and hands it to the caller.
    std::unique_ptr<TSQLMemExprNode> RemoveChild(size_t index);
    size_t ChildCount() const { return children_.size(); }
    TSQLMemExprNode& Child(size_t index) const { return *children_[index]; }

    // --- Evaluation ---
    // Evaluates the node for the current row; the value stays owned by the node until the
    // next evaluation. Throws ESQLMemException with the codes of the node class.
    virtual const TSQLMemVariant& GetDataValue() = 0;
    // Declared type, size and precision of the result. Throws ESQLMemException 30283 when
    // the type cannot be worked out (e.g. an unbound field).
    virtual TSQLMemAdvancedFieldType GetDataType() const;
    virtual int32_t GetDataSize() const;
    virtual int32_t GetPrecision() const;

    // --- Aggregates (by default: any of the children) ---
    virtual bool IsAggregated() const;
    virtual bool IsCountAll() const;
    // Starts a group / adds the current row, in every aggregate of the subtree.
    virtual void Init();
    virtual void Accumulate();

    // --- Binding (by default: walk the children) ---
    // Binds every field node that `source` knows and that is not bound yet; the source
    // must outlive the binding. Returns nothing: unknown fields stay unbound.
    virtual void AssignFieldSource(const TSQLMemFieldSource& source);
    // Whether every field of the subtree is known to `source`.
    virtual bool CanBeAssigned(const TSQLMemFieldSource& source) const;
    // Unbinds every field node.
    virtual void ClearFieldSource();
    // Hands the context to every node of the subtree that needs it (nullptr: none).
    virtual void AssignContext(const TSQLMemExprContext* context);

    // The subtree as text, for messages and tests: operators by their message names (SQL
    // keywords where a code has none), every operator node in parentheses, e.g.
    // "((a = 1) AND (b LIKE 'x%'))", "(1 + (- 2))", "UPPER(name)".
    virtual std::string ToString() const = 0;

    // Calls `visit` on this node and on every node below it, parents first.
    void ForEachNode(const std::function<void(TSQLMemExprNode&)>& visit);
    void ForEachNode(const std::function<void(const TSQLMemExprNode&)>& visit) const;

  protected:
    // Evaluates every child and returns the child's value.
    const TSQLMemVariant& ChildValue(size_t index) { return children_[index]->GetDataValue(); }
    // Throws ESQLMemException 11338 when the node has fewer than `count` children.
    void RequireChildren(size_t count) const;
    // "Unknown operator: '%s'" with `code`.
    [[noreturn]] void ThrowUnknownOperator(int code) const;

    TSQLMemVariant result_;

  private:
    TSQLMemExprNodeType node_type_;
    TSQLMemDataOperator operator_;
    std::vector<std::unique_ptr<TSQLMemExprNode>> children_;
};

// A constant (or the NULL literal: node type entNull).
class TSQLMemExprNodeConst final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeConst(TSQLMemVariant value);
    const TSQLMemVariant& GetDataValue() override { return result_; }
    const TSQLMemVariant& Value() const { return result_; }
    TSQLMemAdvancedFieldType GetDataType() const override;
    int32_t GetDataSize() const override;
    std::string ToString() const override;
};

// A field of the current row: table name (may be empty) and field name, bound to a field
// source by field number.
class TSQLMemExprNodeField final : public TSQLMemExprNode {
  public:
    TSQLMemExprNodeField(std::string table_name, std::string field_name);

    const std::string& TableName() const { return table_name_; }
    const std::string& FieldName() const { return field_name_; }
    bool IsBound() const { return source_ != nullptr; }
    const TSQLMemFieldSource* Source() const { return source_; }
    int32_t FieldNo() const { return field_no_; }
    // Binds to field `field_no` of `source` directly.
    void Bind(const TSQLMemFieldSource& source, int32_t field_no);

    // Throws EDatabaseError "Field '%s' not found" when the node is not bound.
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override;
    int32_t GetDataSize() const override;
    void AssignFieldSource(const TSQLMemFieldSource& source) override;
    bool CanBeAssigned(const TSQLMemFieldSource& source) const override;
    void ClearFieldSource() override;
    std::string ToString() const override;

  private:
    std::string table_name_;
    std::string field_name_;
    const TSQLMemFieldSource* source_ = nullptr;
    int32_t field_no_ = -1;
};

// doEQ … doLE over two children, with the value comparison's three options.
class TSQLMemExprNodeComparison final : public TSQLMemExprNode {
  public:
    TSQLMemExprNodeComparison(TSQLMemDataOperator op, std::unique_ptr<TSQLMemExprNode> left,
                              std::unique_ptr<TSQLMemExprNode> right, bool ignore_case = false,
                              bool partial = false, bool null_aware = true);

    bool IgnoreCase() const { return ignore_case_; }
    bool Partial() const { return partial_; }
    bool NullAware() const { return null_aware_; }
    void SetIgnoreCase(bool value) { ignore_case_ = value; }
    void SetPartial(bool value) { partial_ = value; }
    void SetNullAware(bool value) { null_aware_ = value; }

    // A boolean, never null. Throws 30116 for an operator that is not a comparison.
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override { return aftBoolean; }
    int32_t GetDataSize() const override { return 0; }
    std::string ToString() const override;

  private:
    bool ignore_case_;
    bool partial_;
    bool null_aware_;
};

// doNOT (one child), doAND / doOR (any number), doIN / doNOTIN (the value, then the list),
// doBETWEEN / doNOTBETWEEN (value, low, high), doLIKE / doNOTLIKE (value, pattern),
// doISNULL / doISNOTNULL (one child), doTRUE / doFALSE (none). Three-valued: a boolean
// or null.
class TSQLMemExprNodeBoolean final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeBoolean(TSQLMemDataOperator op);
    // A node with its children in order.
    TSQLMemExprNodeBoolean(TSQLMemDataOperator op,
                           std::vector<std::unique_ptr<TSQLMemExprNode>> children);

    // LIKE and comparison options of dataset filters.
    bool IgnoreCase() const { return ignore_case_; }
    void SetIgnoreCase(bool value) { ignore_case_ = value; }
    bool Partial() const { return partial_; }
    void SetPartial(bool value) { partial_ = value; }
    // LIKE's escape character; none by default.
    const std::optional<char32_t>& Escape() const { return escape_; }
    void SetEscape(std::optional<char32_t> escape) { escape_ = escape; }

    // Throws 30117 for an operator this class does not implement, 30120 for LIKE over
    // values without a common text type, 11338 when children are missing.
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override { return aftBoolean; }
    int32_t GetDataSize() const override { return 0; }
    std::string ToString() const override;

  private:
    const TSQLMemVariant& EvaluateLike();

    bool ignore_case_ = false;
    bool partial_ = false;
    std::optional<char32_t> escape_;
};

// doADD (any number of children, added in turn), doSUB (negates its one child), doMUL and
// doDIV (two children).
class TSQLMemExprNodeArithmetic final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeArithmetic(TSQLMemDataOperator op);
    TSQLMemExprNodeArithmetic(TSQLMemDataOperator op,
                              std::vector<std::unique_ptr<TSQLMemExprNode>> children);

    // Throws 30121 for an operator this class does not implement, the value class's
    // arithmetic errors (30044, 30079, 30080, 30082).
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override;
    int32_t GetDataSize() const override;
    std::string ToString() const override;
};

// doCONCAT (any number of children) and the one-value text functions doUPPER … doSUBSTRING:
// UPPER/LOWER/TRIM/LTRIM/RTRIM/LENGTH (one child), POS (sub, text), SUBSTRING (text,
// start[, length]).
class TSQLMemExprNodeStringFunction final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeStringFunction(TSQLMemDataOperator op);
    TSQLMemExprNodeStringFunction(TSQLMemDataOperator op,
                                  std::vector<std::unique_ptr<TSQLMemExprNode>> children);

    // Throws 30130 for an operator this class does not implement, 11338 when children
    // are missing.
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override;
    int32_t GetDataSize() const override;
    std::string ToString() const override;
};

// doSUM, doAVG, doMIN, doMAX, doCOUNT (one child each) and doCOUNTALL (none), optionally
// over DISTINCT values. Init starts a group, Accumulate adds the current row, GetDataValue
// gives the aggregate so far.
class TSQLMemExprNodeAggregated final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeAggregated(TSQLMemDataOperator op, bool distinct = false);
    TSQLMemExprNodeAggregated(TSQLMemDataOperator op, std::unique_ptr<TSQLMemExprNode> argument,
                              bool distinct = false);

    bool Distinct() const { return distinct_; }

    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override;
    int32_t GetDataSize() const override;
    bool IsAggregated() const override { return true; }
    bool IsCountAll() const override { return Operator() == doCOUNTALL; }
    void Init() override;
    // Throws 11338 without an argument (COUNT(*) excepted), 30132 / 30133 when SUM / AVG
    // meet a value that is not a number, 30131 for an operator this class does not
    // implement.
    void Accumulate() override;
    std::string ToString() const override;

  private:
    // Orders values by the value comparison (case-sensitive, nulls lowest).
    struct ValueLess {
        bool operator()(const TSQLMemVariant& a, const TSQLMemVariant& b) const;
    };

    bool distinct_;
    int64_t count_ = 0;
    TSQLMemVariant running_;
    // The values already taken in this group, with DISTINCT.
    std::set<TSQLMemVariant, ValueLess> seen_;
};

// CAST(value AS type): the child's value cast to the base type of the target type.
class TSQLMemExprNodeCast final : public TSQLMemExprNode {
  public:
    TSQLMemExprNodeCast(TSQLMemAdvancedFieldType target, std::unique_ptr<TSQLMemExprNode> value,
                        int32_t size = 0);

    TSQLMemAdvancedFieldType Target() const { return target_; }
    // Throws ESQLMemException 30077 "Cannot convert an expression to specified type: '%s'"
    // for a pair of types that do not convert, 30078 for a value that does not.
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override { return target_; }
    int32_t GetDataSize() const override;
    std::string ToString() const override;

  private:
    TSQLMemAdvancedFieldType target_;
    int32_t size_;
};

// doSYSDATE, doCURRENT_DATE, doCURRENT_TIME (no children; the platform clock) and doTODATE /
// doTOSTRING (one child and a format).
class TSQLMemExprNodeDateFunction final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeDateFunction(TSQLMemDataOperator op);
    TSQLMemExprNodeDateFunction(TSQLMemDataOperator op, std::unique_ptr<TSQLMemExprNode> value,
                                std::string format);

    const std::string& Format() const { return format_; }
    // Throws 30134 for an operator this class does not implement; TODATE passes on the
    // formatter's errors (30129, EConvertError).
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override;
    int32_t GetDataSize() const override;
    std::string ToString() const override;

  private:
    std::string format_;
    std::optional<sql::TDateFormater> formatter_;
};

// LASTAUTOINC([MEMORY] table, field): the last value this connection drew from the
// table's autoinc field, as a 64-bit integer.
class TSQLMemExprNodeSystem final : public TSQLMemExprNode {
  public:
    TSQLMemExprNodeSystem(TSQLMemDataOperator op, std::string table_name, std::string field_name,
                          bool in_memory = true);

    const std::string& TableName() const { return table_name_; }
    const std::string& FieldName() const { return field_name_; }
    // Throws 30338 for another operator; ESQLMemException 11505 "Table '%s' does not
    // exist" without a connection or table; EDatabaseError "Field '%s' not found"; the
    // table's sequence errors (30012 when this connection drew no value yet).
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override { return aftLargeint; }
    void AssignContext(const TSQLMemExprContext* context) override;
    std::string ToString() const override;

  private:
    std::string table_name_;
    std::string field_name_;
    bool in_memory_;
    const TSQLMemExprContext* context_ = nullptr;
};

// TOBLOB: bytes decoded when the text was parsed.
class TSQLMemExprNodeBLOBFunction final : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeBLOBFunction(std::string bytes);
    const TSQLMemVariant& GetDataValue() override { return result_; }
    TSQLMemAdvancedFieldType GetDataType() const override { return aftBlob; }
    int32_t GetDataSize() const override { return 0; }
    std::string ToString() const override;
};

// A scalar subquery: run once, on first evaluation, through the runner the context's
// factory builds from the text (or the runner given with SetRunner); its answer is kept.
class TSQLMemExprNodeSubQuery : public TSQLMemExprNode {
  public:
    explicit TSQLMemExprNodeSubQuery(std::string sql_text);

    const std::string& SqlText() const { return sql_text_; }
    // Uses `runner` instead of one built by the factory.
    void SetRunner(std::unique_ptr<TSQLMemSubQueryRunner> runner);

    // The first field of the only row. Throws ESQLMemException 10848 "Subquery returns
    // no rows", 10849 "Subquery returns multiple rows", and 10847 when no runner can be
    // had (no factory in the context).
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override;
    void AssignContext(const TSQLMemExprContext* context) override;
    std::string ToString() const override;

  protected:
    TSQLMemExprNodeSubQuery(TSQLMemDataOperator op, std::string sql_text);
    // The runner, built and executed on first use.
    TSQLMemSubQueryRunner& Runner();

  private:
    std::string sql_text_;
    const TSQLMemExprContext* context_ = nullptr;
    std::unique_ptr<TSQLMemSubQueryRunner> runner_;
    bool executed_ = false;
    bool scalar_known_ = false;
};

// value [NOT] IN (subquery): child 0 is the tested value. Three-valued: a null value, or
// no match while the subquery yields a null, gives null.
class TSQLMemExprNodeSubQueryIN final : public TSQLMemExprNodeSubQuery {
  public:
    TSQLMemExprNodeSubQueryIN(std::string sql_text, std::unique_ptr<TSQLMemExprNode> value,
                              bool negated = false);
    bool Negated() const { return negated_; }
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override { return aftBoolean; }
    std::string ToString() const override;

  private:
    bool negated_;
};

// [NOT] EXISTS (subquery).
class TSQLMemExprNodeSubQueryExists final : public TSQLMemExprNodeSubQuery {
  public:
    explicit TSQLMemExprNodeSubQueryExists(std::string sql_text, bool negated = false);
    bool Negated() const { return negated_; }
    const TSQLMemVariant& GetDataValue() override;
    TSQLMemAdvancedFieldType GetDataType() const override { return aftBoolean; }
    std::string ToString() const override;

  private:
    bool negated_;
};

}  // namespace tapir::engine
