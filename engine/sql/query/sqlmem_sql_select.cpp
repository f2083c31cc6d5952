#include "engine/sql/query/sqlmem_sql_select.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/query/sqlmem_value_conversion.h"
#include "engine/sql/query/sqlmem_value_order.h"
#include "engine/table/sqlmem_temporary_table_data.h"

namespace tapir::engine {

// --- Shared parts of the parsed form ---

void TSQLMemTableReference::MakeJoin(std::unique_ptr<TSQLMemTableReference> right,
                                     TSQLMemJoinType join_type,
                                     std::unique_ptr<TSQLMemExprNode> condition,
                                     std::vector<std::string> using_list, bool natural) {
    auto left = std::make_unique<TSQLMemTableReference>(std::move(*this));
    *this = TSQLMemTableReference{};
    TableType = attJoinedTable;
    DatabaseName = left->DatabaseName;
    Left = std::move(left);
    Right = std::move(right);
    JoinType = join_type;
    Condition = std::move(condition);
    UsingColumns = std::move(using_list);
    Natural = natural;
}

TSQLMemQueryExprNode::TSQLMemQueryExprNode() = default;
TSQLMemQueryExprNode::~TSQLMemQueryExprNode() = default;
TSQLMemQueryExprNode::TSQLMemQueryExprNode(TSQLMemQueryExprNode&&) noexcept = default;
TSQLMemQueryExprNode& TSQLMemQueryExprNode::operator=(TSQLMemQueryExprNode&&) noexcept = default;

namespace {

// What an ORDER BY item is called in the message that reports a missing one.
const std::string kSortItemWhat{
    kSortItemExpectedFormat.substr(0, kSortItemExpectedFormat.find(','))};

using NodePtr = std::unique_ptr<TSQLMemExprNode>;

std::string Position(const TToken& token) {
    return "line " + std::to_string(token.Line) + ", column " + std::to_string(token.Column);
}

int32_t RandomBelowMax() {
    static std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<int32_t>(0, 2147483646)(generator);
}

// Reads tokens of the lexer's current command for the clause parsers. The position is
// the next token to read; the expression parser is handed the lexer at that position.
class TokenReader {
  public:
    explicit TokenReader(TSQLMemLexer& lexer) : lexer_(lexer) {
        pos_ = std::max(0, lexer.GetCurrentTokenNo());
    }

    int32_t Pos() const { return pos_; }
    void SetPos(int32_t pos) { pos_ = pos; }
    const TToken* Peek(int32_t ahead = 0) const {
        const int32_t at = pos_ + ahead;
        return at >= 0 && at < lexer_.TokenCount() ? &lexer_.Tokens()[static_cast<size_t>(at)]
                                                   : nullptr;
    }
    bool AtEnd() const { return Peek() == nullptr; }
    bool IsWord(TReservedWord word, int32_t ahead = 0) const {
        const TToken* token = Peek(ahead);
        return token != nullptr && IsReservedWord(*token, word);
    }
    bool IsSymbol(std::string_view symbol, int32_t ahead = 0) const {
        const TToken* token = Peek(ahead);
        if (token == nullptr) {
            return false;
        }
        switch (token->TokenType) {
            case tktLeftParenthesis:
                return symbol == "(";
            case tktRightParenthesis:
                return symbol == ")";
            case tktComma:
                return symbol == ",";
            case tktDot:
                return symbol == ".";
            case tktString:
                return token->Text == symbol;
            default:
                return false;
        }
    }
    // A name: a word that is no keyword and no operator, or a bracketed or quoted string.
    bool IsName(int32_t ahead = 0) const {
        const TToken* token = Peek(ahead);
        if (token == nullptr) {
            return false;
        }
        if (token->TokenType == tktBracketedString || token->TokenType == tktQuotedString) {
            return true;
        }
        if (token->TokenType != tktString || token->Text.empty()) {
            return false;
        }
        const unsigned char first = static_cast<unsigned char>(token->Text[0]);
        return std::isalpha(first) || first == '_' || first >= 0x80;
    }
    const TToken& Take() { return lexer_.Tokens()[static_cast<size_t>(pos_++)]; }

    // Tokens [first, end) as SQL text that parses back to the same tokens; nullopt when
    // a parameter's value has no literal form.
    std::optional<std::string> SourceText(int32_t first, int32_t end) const {
        const auto quoted = [](const std::string& text, char open, char close) {
            std::string out(1, open);
            for (const char c : text) {
                out += c;
                if (c == close) {
                    out += c;
                }
            }
            return out + close;
        };
        std::string text;
        for (int32_t i = first; i < end; ++i) {
            const TToken& token = lexer_.Tokens()[static_cast<size_t>(i)];
            std::string part;
            switch (token.TokenType) {
                case tktQuotedString:
                    part = quoted(token.Text, '\'', '\'');
                    break;
                case tktBracketedString:
                    part = quoted(token.Text, '[', ']');
                    break;
                case tktParameter: {
                    if (!token.ParamValue) {
                        return std::nullopt;
                    }
                    const TSQLMemVariant& value = *token.ParamValue;
                    if (value.IsNull()) {
                        part = "NULL";
                    } else if (IsNumericType(value.BaseType())) {
                        part = value.AsText();
                    } else if (IsStringType(value.BaseType()) && !IsBlobType(value.BaseType())) {
                        part = quoted(value.AsText(), '\'', '\'');
                    } else {
                        return std::nullopt;
                    }
                    break;
                }
                default:
                    part = token.Text;
                    break;
            }
            text += (text.empty() ? "" : " ") + part;
        }
        return text;
    }

    // --- Errors at the position ---
    [[noreturn]] void FailEnd(int code) const {
        const TToken* last = lexer_.TokenCount() > 0 ? &lexer_.Tokens().back() : nullptr;
        throw ESQLMemException::Formatted(
            code, "Unexpected end of SQL command found at " +
                      (last != nullptr ? Position(*last) : std::string("line 0, column 0")));
    }
    // "<what>, but '<token>' found at line L, column C" (the end-of-command error when
    // there is no token).
    [[noreturn]] void Fail(int code, const std::string& what) const {
        const TToken* token = Peek();
        if (token == nullptr) {
            FailEnd(kSelectEndCode);
        }
        throw ESQLMemException::Formatted(
            code, what + ", but '" + token->Text + "' found at " + Position(*token));
    }
    [[noreturn]] void FailUnexpected(int code) const {
        const TToken* token = Peek();
        if (token == nullptr) {
            FailEnd(kSelectEndCode);
        }
        throw ESQLMemException::Formatted(
            code, "Unexpected token '" + token->Text + "' found at " + Position(*token));
    }
    void ExpectSymbol(std::string_view symbol, int code) {
        if (!IsSymbol(symbol)) {
            Fail(code, "Token '" + std::string(symbol) + "' expected");
        }
        ++pos_;
    }
    void ExpectWord(TReservedWord word, std::string_view text, int code) {
        if (!IsWord(word)) {
            Fail(code, "Token '" + std::string(text) + "' expected");
        }
        ++pos_;
    }
    std::string TakeName(int code, const std::string& what) {
        if (!IsName()) {
            Fail(code, what);
        }
        return Take().Text;
    }

    // --- Expressions through the expression parser ---
    NodePtr ParseValue() {
        TToken token;
        lexer_.SetCurrentTokenNo(pos_, token);
        TSQLMemExpressionParser parser(lexer_, {});
        NodePtr node = parser.ParseValueExpression();
        parser.SyncLexer();
        pos_ = lexer_.GetCurrentTokenNo();
        return node;
    }
    NodePtr ParseCondition() {
        if (AtEnd()) {
            FailEnd(kSelectEndCode);
        }
        TToken token;
        lexer_.SetCurrentTokenNo(pos_, token);
        TSQLMemExpressionParser parser(lexer_, {});
        NodePtr node = parser.ParseSearchCondition();
        if (!node) {
            Fail(kSearchConditionCode, "Boolean expression expected");
        }
        parser.SyncLexer();
        pos_ = lexer_.GetCurrentTokenNo();
        return node;
    }
    void SyncLexer() {
        TToken token;
        if (!lexer_.SetCurrentTokenNo(pos_, token)) {
            lexer_.SetCurrentTokenNo(lexer_.TokenCount(), token);
        }
    }

  private:
    TSQLMemLexer& lexer_;
    int32_t pos_ = 0;
};

constexpr int32_t kMaxNesting = 200;
constexpr int32_t kMaxSubQueryDepth = 32;

// Counts one level of parentheses in a FROM list or a query expression for its lifetime;
// throws 30075 "Expression too complex" beyond the limit, so that no text can exhaust
// the stack.
class NestingGuard {
  public:
    NestingGuard(int32_t& depth, const TToken& token) : depth_(depth) {
        if (depth_ >= kMaxNesting) {
            throw ESQLMemException::Formatted(kTooComplexCode,
                                              "Expression too complex at " + Position(token));
        }
        ++depth_;
    }
    ~NestingGuard() { --depth_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

  private:
    int32_t& depth_;
};

// The conjuncts of a condition: AND nodes under the root AND are dissolved into it.
void Flatten(NodePtr node, std::vector<NodePtr>& out) {
    if (!node) {
        return;
    }
    if (node->NodeType() == entOperator && node->Operator() == doAND &&
        dynamic_cast<TSQLMemExprNodeBoolean*>(node.get()) != nullptr) {
        while (node->ChildCount() > 0) {
            Flatten(node->RemoveChild(0), out);
        }
        return;
    }
    out.push_back(std::move(node));
}

NodePtr JoinWithAnd(std::vector<NodePtr> parts) {
    if (parts.empty()) {
        return nullptr;
    }
    if (parts.size() == 1) {
        return std::move(parts.front());
    }
    return std::make_unique<TSQLMemExprNodeBoolean>(doAND, std::move(parts));
}

// Throws EDatabaseError "Field '%s' not found" for the first field node not bound.
void RequireBound(const TSQLMemExprNode& node) {
    node.ForEachNode([](const TSQLMemExprNode& each) {
        if (each.NodeType() == entField) {
            const auto& field = static_cast<const TSQLMemExprNodeField&>(each);
            if (!field.IsBound()) {
                throw EDatabaseError("Field '" + field.ToString() + "' not found");
            }
        }
    });
}

int CompareSortValues(const TSQLMemVariant& a, const TSQLMemVariant& b, bool ignore_case) {
    return CompareOrderValues(a, b, ignore_case);
}

// A TOP this short with ORDER BY keeps only its candidate rows while the table is read.
constexpr size_t kMostRowsKeptForTop = 100000;

// -1, 0 or 1: how row `a` sorts against row `b` by the sort keys (column, item).
int CompareBySortKeys(const TSQLMemRow& a, const TSQLMemRow& b,
                      const std::vector<std::pair<size_t, const TSQLMemSortSpecification*>>& keys) {
    for (const auto& [column, sort_item] : keys) {
        int c = CompareSortValues(a[column], b[column], sort_item->CaseInsensitive);
        if (sort_item->Descending) {
            c = -c;
        }
        if (c != 0) {
            return c;
        }
    }
    return 0;
}

// Drops every row equal in all its values to an earlier one, when all values are null or
// whole numbers (found through a hash of them); other rows stay as they are.
void DropRepeatedIntegerRows(std::vector<TSQLMemRow>& rows, size_t width) {
    std::vector<int32_t> columns(width);
    std::iota(columns.begin(), columns.end(), 0);
    if (width == 0 || !AllIntegerOrNull(rows, columns)) {
        return;
    }
    const auto hash_of = [&](const TSQLMemRow& row) {
        uint64_t hash = 0;
        for (size_t i = 0; i < width; ++i) {
            hash = MixKey(hash, row[i].IsNull() ? INT64_MIN : row[i].AsInteger());
            hash = MixKey(hash, row[i].IsNull() ? 1 : 0);
        }
        return hash;
    };
    std::unordered_map<uint64_t, std::vector<size_t>> kept_by_hash;
    size_t kept = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<size_t>& bucket = kept_by_hash[hash_of(rows[i])];
        const bool repeated = std::any_of(bucket.begin(), bucket.end(), [&](size_t k) {
            for (size_t c = 0; c < width; ++c) {
                if (CompareOrderValues(rows[k][c], rows[i][c]) != 0) {
                    return false;
                }
            }
            return true;
        });
        if (repeated) {
            continue;
        }
        if (kept != i) {
            rows[kept] = std::move(rows[i]);
        }
        bucket.push_back(kept);
        ++kept;
    }
    rows.resize(kept);
}

size_t CharacterCount(const std::string& text) {
    size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

// The column type of a computed result: the expression's declared type where it has one,
// else the type of its first value; text columns are wide enough for every value.
TSQLMemColumn ResultColumn(const std::string& name, const TSQLMemExprNode* expression,
                           const std::vector<TSQLMemRow>& rows, size_t index) {
    TSQLMemColumn column;
    column.FieldName = name;
    column.DataType = aftUnknown;
    if (expression != nullptr) {
        try {
            column.DataType = expression->GetDataType();
            column.Size = expression->GetDataSize();
        } catch (const tapir::Exception&) {
            column.DataType = aftUnknown;
        }
    }
    if (column.DataType == aftUnknown) {
        for (const TSQLMemRow& row : rows) {
            if (!row[index].IsNull()) {
                column.DataType = AdvancedTypeOfBase(row[index].BaseType());
                break;
            }
        }
    }
    if (column.DataType == aftUnknown) {
        column.DataType = aftString;
    }
    if (IsAutoIncType(column.DataType)) {
        column.DataType = aftLargeint;
    }
    if (IsStringType(column.DataType) && !IsBlobType(column.DataType)) {
        size_t longest = static_cast<size_t>(std::max(column.Size, 1));
        for (const TSQLMemRow& row : rows) {
            if (!row[index].IsNull()) {
                longest = std::max(longest, CharacterCount(row[index].AsText()));
            }
        }
        column.Size = static_cast<int32_t>(longest);
    }
    return column;
}

}  // namespace

// The condition of a live result tested against the row the table's filter step reads.
struct TSQLMemQueryResult::RowTest final : public TSQLMemFieldSource {
    RowTest(TSQLMemTable& table, std::unique_ptr<TSQLMemExprNode> test,
            const TSQLMemSelectContext& select_context)
        : condition(std::move(test)) {
        context.Session = select_context.Session;
        context.SubQueries = MakeSubQueryFactory(select_context);
        for (const TFieldDef& def : table.FieldDefs()) {
            fields.push_back(&table.FieldByName(def.Name));
            types.push_back(def.AdvancedType != aftUnknown ? def.AdvancedType
                                                           : FieldTypeToAdvancedType(def.DataType));
            sizes.push_back(def.Size);
        }
        condition->AssignContext(&context);
        condition->AssignFieldSource(*this);
        RequireBound(*condition);
    }

    int32_t FindField(std::string_view /*table_name*/, std::string_view field_name) const override {
        for (size_t i = 0; i < fields.size(); ++i) {
            if (SameName(fields[i]->FieldName(), std::string(field_name))) {
                return static_cast<int32_t>(i);
            }
        }
        return -1;
    }
    TSQLMemAdvancedFieldType FieldType(int32_t field_no) const override {
        return types[static_cast<size_t>(field_no)];
    }
    int32_t FieldSize(int32_t field_no) const override {
        return sizes[static_cast<size_t>(field_no)];
    }
    TSQLMemVariant FieldValue(int32_t field_no) const override {
        const size_t no = static_cast<size_t>(field_no);
        return VariantFromFieldValue(fields[no]->Value(), types[no]);
    }

    std::unique_ptr<TSQLMemExprNode> condition;
    TSQLMemExprContext context;
    std::vector<TField*> fields;
    std::vector<TSQLMemAdvancedFieldType> types;
    std::vector<int32_t> sizes;
};

// --- TSQLMemQueryResult ---

TSQLMemQueryResult::TSQLMemQueryResult(std::string table_name, bool temporary)
    : temporary_(temporary) {
    SetTableName(table_name);
}

TSQLMemQueryResult::~TSQLMemQueryResult() {
    try {
        // Closed before the row test it may call goes.
        Close();
        if (temporary_ && Exists()) {
            DeleteTable();
        }
    } catch (...) {
        // A result table that cannot be dropped stays in the database until the process
        // ends; a destructor must not throw.
    }
}

void TSQLMemQueryResult::FilterRowsBy(std::unique_ptr<TSQLMemExprNode> condition,
                                      const TSQLMemSelectContext& context) {
    row_test_ = std::make_unique<RowTest>(*this, std::move(condition), context);
    RowTest* test = row_test_.get();
    OnFilterRecord = [test](TSQLMemDataSet&, bool& accept) {
        const TSQLMemVariant& value = test->condition->GetDataValue();
        accept = !value.IsNull() && value.AsBoolean();
    };
    SetFiltered(true);
}

// --- TSQLMemSQLSelect: parsing ---

class TSQLMemSQLSelect::Parser {
  public:
    Parser(TSQLMemSQLSelect& select, TokenReader& reader) : select_(select), in_(reader) {}

    void Run() {
        in_.ExpectWord(rwSELECT, "SELECT", kSelectExpectedCode);
        if (in_.IsWord(rwDISTINCT)) {
            select_.distinct_ = true;
            in_.Take();
        } else if (in_.IsWord(rwALL)) {
            in_.Take();
        }
        if (in_.IsWord(rwTOP)) {
            in_.Take();
            select_.top_count_ = TakeInteger(kTopCountExpectedCode);
            select_.top_first_row_ = 1;
            if (in_.IsSymbol(",")) {
                in_.Take();
                select_.top_first_row_ = TakeInteger(kTopFirstRowExpectedCode);
            }
        }
        ParseSelectList();
        if (in_.IsWord(rwINTO)) {
            in_.Take();
            ParseInto();
        }
        if (!in_.IsWord(rwFROM)) {
            in_.Fail(kFromExpectedCode, "Token 'FROM' expected");
        }
        in_.Take();
        select_.from_.push_back(ParseTableReference(kFromTableNameCode));
        while (in_.IsSymbol(",")) {
            in_.Take();
            select_.from_.push_back(ParseTableReference(kFromTableNameCode));
        }
        if (in_.IsWord(rwINTO)) {
            throw ESQLMemException::Formatted(
                kIntoAfterFromCode, "INTO clause should be before FROM, " + Position(*in_.Peek()));
        }
        if (in_.IsWord(rwWHERE)) {
            in_.Take();
            const int32_t first = in_.Pos();
            select_.where_ = in_.ParseCondition();
            select_.where_text_ = in_.SourceText(first, in_.Pos());
        }
        if (in_.IsWord(rwGROUP)) {
            in_.Take();
            in_.ExpectWord(rwBY, "BY", kGroupByExpectedCode);
            for (bool more = true; more; more = in_.IsSymbol(",") && (in_.Take(), true)) {
                std::string table;
                std::string field = in_.TakeName(kGroupFieldNameCode, "Field name expected");
                if (in_.IsSymbol(".")) {
                    in_.Take();
                    table = std::move(field);
                    field = in_.TakeName(kGroupFieldNameCode, "Field name expected");
                }
                select_.group_by_.emplace_back(std::move(table), std::move(field));
            }
        }
        if (in_.IsWord(rwHAVING)) {
            in_.Take();
            select_.having_ = in_.ParseCondition();
        }
        if (in_.IsWord(rwORDER)) {
            in_.Take();
            in_.ExpectWord(rwBY, "BY", kOrderByExpectedCode);
            ParseOrderBy();
        }
        ReplacePseudonyms();
        in_.SyncLexer();
    }

  private:
    int64_t TakeInteger(int code) {
        const TToken* token = in_.Peek();
        if (token == nullptr || token->TokenType != tktInt) {
            in_.Fail(code, "Integer expected");
        }
        try {
            return std::stoll(in_.Take().Text);
        } catch (const std::exception&) {
            in_.SetPos(in_.Pos() - 1);
            in_.Fail(code, "Integer expected");
        }
    }

    void ParseSelectList() {
        // `*` alone is the whole row; with other items it is one of them.
        if (in_.IsSymbol("*") && !in_.IsSymbol(",", 1)) {
            in_.Take();
            select_.select_all_ = true;
            return;
        }
        for (bool more = true; more; more = in_.IsSymbol(",") && (in_.Take(), true)) {
            TSQLMemSelectListItem item;
            if (in_.IsSymbol("*")) {
                in_.Take();
                item.AllFields = true;
                select_.select_list_.push_back(std::move(item));
                continue;
            }
            if (in_.IsName() && in_.IsSymbol(".", 1) && in_.IsSymbol("*", 2)) {
                item.TableName = in_.Take().Text;
                in_.Take();
                in_.Take();
                item.AllFields = true;
                select_.select_list_.push_back(std::move(item));
                continue;
            }
            item.FirstToken = in_.Pos();
            NodePtr expression = in_.ParseValue();
            if (!expression) {
                if (in_.AtEnd()) {
                    in_.FailEnd(kSelectEndCode);
                }
                in_.Fail(kSelectExpressionCode, "Expression expected");
            }
            item.EndToken = in_.Pos();
            if (expression->NodeType() == entField) {
                const auto& field = static_cast<const TSQLMemExprNodeField&>(*expression);
                item.TableName = field.TableName();
                item.FieldName = field.FieldName();
            } else {
                item.Expression = std::move(expression);
            }
            if (in_.IsWord(rwAS)) {
                in_.Take();
                item.Pseudonym = in_.TakeName(kPseudonymExpectedCode, "Field pseudonym expected");
            } else if (in_.IsName()) {
                item.Pseudonym = in_.Take().Text;
            }
            select_.select_list_.push_back(std::move(item));
        }
    }

    void ParseInto() {
        if (in_.IsWord(rwMEMORY)) {
            in_.Take();
            select_.into_memory_ = true;
        }
        std::string name = in_.TakeName(kIntoTableNameCode, "Table name expected");
        if (in_.IsSymbol(".")) {
            in_.Take();
            select_.into_database_ = std::move(name);
            name = in_.TakeName(kIntoTableNameCode, "Table name expected");
        }
        select_.into_table_ = std::move(name);
    }

    std::unique_ptr<TSQLMemTableReference> ParseTablePrimary(int name_code) {
        if (in_.IsSymbol("(")) {
            const NestingGuard guard(depth_, *in_.Peek());
            in_.Take();
            auto inner = ParseTableReference(name_code);
            in_.ExpectSymbol(")", kRightParenthesisCode);
            return inner;
        }
        auto ref = std::make_unique<TSQLMemTableReference>();
        if (in_.IsWord(rwMEMORY)) {
            in_.Take();
            ref->InMemory = true;
        }
        std::string name = in_.TakeName(name_code, "Table name expected");
        if (in_.IsSymbol(".")) {
            in_.Take();
            ref->DatabaseName = std::move(name);
            name = in_.TakeName(name_code, "Table name expected");
        }
        ref->TableName = std::move(name);
        if (in_.IsWord(rwAS)) {
            in_.Take();
            ref->Alias = in_.TakeName(kAliasExpectedCode, "Field pseudonym expected");
        } else if (in_.IsName()) {
            ref->Alias = in_.Take().Text;
        }
        if (in_.IsWord(rwPASSWORD)) {
            in_.Take();
            const TToken* token = in_.Peek();
            if (token == nullptr || token->TokenType != tktQuotedString) {
                in_.Fail(kPasswordExpectedCode,
                         "Quoted password expected (for PASSWORD \"passwordData\")");
            }
            ref->Password = in_.Take().Text;
        }
        return ref;
    }

    std::unique_ptr<TSQLMemTableReference> ParseTableReference(int name_code) {
        auto ref = ParseTablePrimary(name_code);
        while (true) {
            TSQLMemJoinType type = ajtInner;
            bool natural = false;
            bool typed = false;
            if (in_.IsWord(rwCROSS)) {
                in_.Take();
                type = ajtCross;
                typed = true;
            } else {
                if (in_.IsWord(rwNATURAL)) {
                    in_.Take();
                    natural = true;
                    typed = true;
                }
                if (in_.IsWord(rwINNER)) {
                    in_.Take();
                    typed = true;
                } else if (in_.IsWord(rwLEFT) || in_.IsWord(rwRIGHT) || in_.IsWord(rwFULL)) {
                    type = in_.IsWord(rwLEFT)    ? ajtLeftOuter
                           : in_.IsWord(rwRIGHT) ? ajtRightOuter
                                                 : ajtFullOuter;
                    in_.Take();
                    typed = true;
                    if (in_.IsWord(rwOUTER)) {
                        in_.Take();
                    }
                }
            }
            if (!in_.IsWord(rwJOIN)) {
                if (typed) {
                    in_.Fail(kJoinExpectedCode, "Token 'JOIN' expected");
                }
                return ref;
            }
            in_.Take();
            auto right = ParseTablePrimary(kJoinTableNameCode);
            NodePtr condition;
            std::vector<std::string> using_list;
            if (type != ajtCross && !natural) {
                if (in_.IsWord(rwON)) {
                    in_.Take();
                    condition = in_.ParseCondition();
                } else if (in_.IsWord(rwUSING)) {
                    in_.Take();
                    in_.ExpectSymbol("(", kUsingParenthesisCode);
                    for (bool more = true; more; more = in_.IsSymbol(",") && (in_.Take(), true)) {
                        using_list.push_back(
                            in_.TakeName(kUsingFieldNameCode, "Field name expected"));
                    }
                    in_.ExpectSymbol(")", kRightParenthesisCode);
                } else {
                    in_.FailUnexpected(kJoinConditionCode);
                }
            }
            ref->MakeJoin(std::move(right), type, std::move(condition), std::move(using_list),
                          natural);
        }
    }

    void ParseOrderBy() {
        if (in_.IsWord(rwINDEX)) {
            in_.Take();
            select_.order_by_index_ =
                in_.TakeName(kSortIndexNameCode, kSortItemWhat);
            return;
        }
        for (bool more = true; more; more = in_.IsSymbol(",") && (in_.Take(), true)) {
            TSQLMemSortSpecification sort_item;
            const TToken* token = in_.Peek();
            if (token != nullptr && token->TokenType == tktInt) {
                // A number past any select list stays out of range without wrapping.
                const std::string& digits = in_.Take().Text;
                sort_item.ColumnNo = digits.size() > 9 ? std::numeric_limits<int32_t>::max()
                                                       : static_cast<int32_t>(std::stol(digits));
            } else {
                sort_item.FieldName = in_.TakeName(kSortItemCode, kSortItemWhat);
                if (in_.IsSymbol(".")) {
                    in_.Take();
                    sort_item.TableName = std::move(sort_item.FieldName);
                    sort_item.FieldName =
                        in_.TakeName(kSortItemCode, kSortItemWhat);
                }
            }
            if (in_.IsWord(rwASC)) {
                in_.Take();
            } else if (in_.IsWord(rwDESC)) {
                in_.Take();
                sort_item.Descending = true;
            }
            if (in_.IsWord(rwNOCASE)) {
                in_.Take();
                sort_item.CaseInsensitive = true;
            }
            select_.order_by_.push_back(std::move(sort_item));
        }
    }

    // A name in ON, WHERE or HAVING that is a pseudonym of the select list stands for
    // that item's expression: a fresh copy of it is parsed from the item's tokens.
    void ReplacePseudonyms() {
        if (select_.select_all_) {
            return;
        }
        const int32_t saved = in_.Pos();
        Replace(select_.where_);
        Replace(select_.having_);
        for (auto& ref : select_.from_) {
            ReplaceInJoins(*ref);
        }
        in_.SetPos(saved);
    }

    void ReplaceInJoins(TSQLMemTableReference& ref) {
        if (ref.TableType != attJoinedTable) {
            return;
        }
        Replace(ref.Condition);
        ReplaceInJoins(*ref.Left);
        ReplaceInJoins(*ref.Right);
    }

    void Replace(NodePtr& node) {
        if (!node) {
            return;
        }
        if (node->NodeType() == entField) {
            const auto& field = static_cast<const TSQLMemExprNodeField&>(*node);
            if (!field.TableName().empty()) {
                return;
            }
            for (const TSQLMemSelectListItem& item : select_.select_list_) {
                if (!item.Pseudonym.empty() && item.FirstToken >= 0 &&
                    SameName(item.Pseudonym, field.FieldName()) &&
                    !(item.TableName.empty() && SameName(item.FieldName, field.FieldName()))) {
                    in_.SetPos(item.FirstToken);
                    if (NodePtr copy = in_.ParseValue()) {
                        node = std::move(copy);
                    }
                    return;
                }
            }
            return;
        }
        for (size_t i = 0; i < node->ChildCount(); ++i) {
            NodePtr child = node->RemoveChild(i);
            Replace(child);
            node->InsertChild(i, std::move(child));
        }
    }

    TSQLMemSQLSelect& select_;
    TokenReader& in_;
    int32_t depth_ = 0;
};

TSQLMemSQLSelect::TSQLMemSQLSelect(TSQLMemLexer& lexer) : lexer_(lexer) {}

TSQLMemSQLSelect::~TSQLMemSQLSelect() = default;

bool TSQLMemSQLSelect::CanBeLive() const {
    return select_all_ && from_.size() == 1 && from_.front()->TableType == attTable && !distinct_ &&
           top_count_ < 0 && group_by_.empty() && !having_ && order_by_.empty() &&
           order_by_index_.empty() && into_table_.empty();
}

std::unique_ptr<TSQLMemExprNode> TSQLMemSQLSelect::ReleaseWhere() {
    consumed_ = true;
    return std::move(where_);
}

void TSQLMemSQLSelect::Parse() {
    TokenReader reader(lexer_);
    first_token_ = reader.Pos();
    command_no_ = lexer_.CommandNo();
    Parser(*this, reader).Run();
    consumed_ = false;
}

void TSQLMemSQLSelect::ParseAgain() {
    if (lexer_.CommandNo() != command_no_) {
        throw std::logic_error("a SELECT runs again only while its command is current");
    }
    const int32_t resume = lexer_.GetCurrentTokenNo();
    distinct_ = false;
    top_count_ = -1;
    top_first_row_ = -1;
    select_all_ = false;
    select_list_.clear();
    into_database_.clear();
    into_table_.clear();
    into_memory_ = false;
    from_.clear();
    where_.reset();
    where_text_.reset();
    group_by_.clear();
    having_.reset();
    order_by_.clear();
    order_by_index_.clear();
    TToken token;
    lexer_.SetCurrentTokenNo(first_token_, token);
    Parse();
    lexer_.SetCurrentTokenNo(resume, token);
}

// --- TSQLMemSQLSelect: execution ---

class TSQLMemSQLSelect::Builder {
  public:
    Builder(TSQLMemSQLSelect& select, const TSQLMemExprContext& context)
        : select_(select), context_(context) {}

    std::unique_ptr<TSQLMemAO> BuildTree(std::vector<NodePtr>& where) {
        std::unique_ptr<TSQLMemAO> top;
        for (auto& ref : select_.from_) {
            std::unique_ptr<TSQLMemAO> next = Build(*ref, where, true);
            if (!top) {
                top = std::move(next);
                continue;
            }
            auto join =
                std::make_unique<TSQLMemAOJoin>(std::move(top), std::move(next), ajtInner, false);
            if (join->ExtractJoinConditions(where) == 0) {
                join->SetJoinType(ajtCross);
            }
            top = std::move(join);
        }
        return top;
    }

  private:
    // `where_keys`: WHERE equalities may become this join's keys. Not below the side an
    // outer join fills with nulls: there WHERE must see the null rows and drop them.
    std::unique_ptr<TSQLMemAO> Build(TSQLMemTableReference& ref, std::vector<NodePtr>& where,
                                     bool where_keys) {
        if (ref.TableType == attTable) {
            return std::make_unique<TSQLMemAOTable>(ref.TableName, ref.Alias);
        }
        const bool left_keys =
            where_keys && (ref.JoinType != ajtRightOuter && ref.JoinType != ajtFullOuter);
        const bool right_keys =
            where_keys && (ref.JoinType != ajtLeftOuter && ref.JoinType != ajtFullOuter);
        std::unique_ptr<TSQLMemAO> left = Build(*ref.Left, where, left_keys);
        std::unique_ptr<TSQLMemAO> right = Build(*ref.Right, where, right_keys);
        auto join = std::make_unique<TSQLMemAOJoin>(std::move(left), std::move(right), ref.JoinType,
                                                    ref.Natural);
        if (ref.JoinType == ajtCross) {
            return join;
        }
        std::vector<std::string> names = ref.UsingColumns;
        if (ref.Natural) {
            for (const TSQLMemColumn& column : join->LeftInput().Columns()) {
                if (join->RightInput().Source().FindField("", column.FieldName) >= 0 &&
                    std::none_of(names.begin(), names.end(), [&](const std::string& name) {
                        return SameName(name, column.FieldName);
                    })) {
                    names.push_back(column.FieldName);
                }
            }
        }
        for (size_t i = 0; i < names.size(); ++i) {
            const int32_t l = join->LeftInput().Source().FindField("", names[i]);
            const int32_t r = join->RightInput().Source().FindField("", names[i]);
            if (l < 0 || r < 0) {
                throw ESQLMemException::Formatted(
                    kJoinFieldInvalidCode,
                    "Invalid field for join operation. Table name = '', FieldName = '" + names[i] +
                        "', i = " + std::to_string(i) +
                        ", FieldExists = " + std::to_string(l >= 0 ? 1 : 0));
            }
            join->AddKeyPair(l, r);
        }
        std::vector<NodePtr> on;
        Flatten(std::move(ref.Condition), on);
        for (NodePtr& part : on) {
            part->AssignContext(&context_);
        }
        join->ExtractJoinConditions(on);
        const bool outer = ref.JoinType == ajtLeftOuter || ref.JoinType == ajtRightOuter ||
                           ref.JoinType == ajtFullOuter;
        if (outer) {
            // The rest of ON decides which rows of the other side match; it never drops a
            // row of the preserved side.
            NodePtr rest = JoinWithAnd(std::move(on));
            if (rest) {
                if (!join->CanBeAssigned(*rest)) {
                    throw ESQLMemException(kConditionNotApplicableCode,
                                           "Search condition is not applicable");
                }
                join->SetMatchCondition(std::move(rest));
            }
        } else {
            if (where_keys) {
                join->ExtractJoinConditions(where);
            }
            join->ApplyFilterParts(on);
            for (NodePtr& part : on) {
                where.push_back(std::move(part));
            }
        }
        return join;
    }

    TSQLMemSQLSelect& select_;
    const TSQLMemExprContext& context_;
};

namespace {

// One column of the select list as the query evaluates it.
struct ResultItem {
    std::string name;
    NodePtr owned;  // a field node made for the column, or the item's own tree
    TSQLMemExprNode* expression = nullptr;
    bool hidden = false;
};

}  // namespace

TSQLMemRelation TSQLMemSQLSelect::Run(const TSQLMemSelectContext& context, int64_t& rows_read) {
    // Running hands the parsed trees to the operators; a second run parses them again.
    if (consumed_) {
        ParseAgain();
    }
    consumed_ = true;
    expr_context_ = std::make_unique<TSQLMemExprContext>();
    expr_context_->Session = context.Session;
    expr_context_->SubQueries = MakeSubQueryFactory(context);
    const TSQLMemExprContext& ctx = *expr_context_;

    std::vector<NodePtr> where;
    Flatten(std::move(where_), where);
    for (NodePtr& part : where) {
        part->AssignContext(&ctx);
    }
    Builder builder(*this, ctx);
    std::unique_ptr<TSQLMemAO> top = builder.BuildTree(where);
    top->ApplyFilterParts(where);
    if (!where.empty()) {
        throw ESQLMemException(kConditionNotApplicableCode, "Search condition is not applicable");
    }
    // The tree's tables stay locked while it reads them; whatever is still held is released
    // when the run ends, also on an error.
    top->LockTable();
    struct TreeLocks {
        std::unique_ptr<TSQLMemAO>& tree;
        ~TreeLocks() {
            if (tree) {
                tree->UnlockTable();
            }
        }
    } tree_locks{top};

    // TOP over a plain scan of one table: the scan stops once it has the rows asked for.
    const bool aggregated_list = std::any_of(
        select_list_.begin(), select_list_.end(), [](const TSQLMemSelectListItem& entry) {
            return entry.Expression && entry.Expression->IsAggregated();
        });
    const bool top_on_scan = top_count_ >= 0 && top->IsTableScan() && order_by_.empty() &&
                             order_by_index_.empty() && !distinct_ && group_by_.empty() &&
                             !having_ && !aggregated_list;
    if (top_on_scan) {
        std::unique_ptr<TSQLMemAOTable> scan(static_cast<TSQLMemAOTable*>(top.release()));
        top =
            std::make_unique<TSQLMemAOSQLTopRowCount>(std::move(scan), top_count_, top_first_row_);
    }

    // The select list over the tree's columns.
    std::vector<ResultItem> items;
    const auto add_column = [&](const TSQLMemColumn& column) {
        ResultItem item;
        item.name = column.FieldName;
        item.owned = std::make_unique<TSQLMemExprNodeField>(column.TableName, column.FieldName);
        items.push_back(std::move(item));
    };
    if (select_all_) {
        for (const TSQLMemColumn& column : top->Columns()) {
            add_column(column);
        }
    } else {
        for (TSQLMemSelectListItem& entry : select_list_) {
            if (entry.AllFields) {
                bool any = false;
                for (const TSQLMemColumn& column : top->Columns()) {
                    if (entry.TableName.empty() || SameName(column.TableName, entry.TableName)) {
                        add_column(column);
                        any = true;
                    }
                }
                if (!any) {
                    throw EDatabaseError("Field '" + entry.TableName + ".*' not found");
                }
                continue;
            }
            ResultItem item;
            if (entry.Expression) {
                item.name = entry.Pseudonym.empty() ? "Expr" + std::to_string(RandomBelowMax())
                                                    : entry.Pseudonym;
                item.owned = std::move(entry.Expression);
            } else {
                item.name = entry.Pseudonym.empty() ? entry.FieldName : entry.Pseudonym;
                item.owned =
                    std::make_unique<TSQLMemExprNodeField>(entry.TableName, entry.FieldName);
            }
            items.push_back(std::move(item));
        }
    }
    for (ResultItem& item : items) {
        item.expression = item.owned.get();
        item.expression->AssignContext(&ctx);
        item.expression->AssignFieldSource(top->Source());
        RequireBound(*item.expression);
    }
    if (having_) {
        having_->AssignContext(&ctx);
        having_->AssignFieldSource(top->Source());
        RequireBound(*having_);
    }

    // ORDER BY names that are no result column but a column of the tree become hidden
    // result columns (not after grouping, where only result columns exist).
    const bool grouped = !group_by_.empty() || having_ != nullptr ||
                         std::any_of(items.begin(), items.end(), [](const ResultItem& item) {
                             return item.expression->IsAggregated();
                         });
    std::vector<std::pair<size_t, const TSQLMemSortSpecification*>> sort_keys;
    std::vector<TSQLMemSortSpecification> index_order;
    if (!order_by_index_.empty()) {
        auto* scan = dynamic_cast<TSQLMemAOTable*>(top.get());
        const TIndexDef* found = nullptr;
        if (scan != nullptr) {
            for (const TIndexDef& def : scan->Table().IndexDefs()) {
                if (SameName(def.Name, order_by_index_)) {
                    found = &def;
                }
            }
        }
        if (found == nullptr) {
            throw ESQLMemException::Formatted(
                kOrderByColumnNotFoundCode,
                "Column '" + order_by_index_ + "' from ORDER BY clause not found");
        }
        const auto split = [](const std::string& text) {
            std::vector<std::string> parts;
            size_t start = 0;
            while (start <= text.size() && !text.empty()) {
                const size_t end = text.find(';', start);
                parts.push_back(text.substr(start, end - start));
                if (end == std::string::npos) {
                    break;
                }
                start = end + 1;
            }
            return parts;
        };
        const auto desc = split(found->DescFields);
        const auto nocase = split(found->CaseInsFields);
        const auto has = [](const std::vector<std::string>& list, const std::string& name) {
            return std::any_of(list.begin(), list.end(),
                               [&](const std::string& each) { return SameName(each, name); });
        };
        for (const std::string& field : split(found->Fields)) {
            TSQLMemSortSpecification sort_item;
            sort_item.FieldName = field;
            sort_item.Descending = HasOption(found->Options, ixDescending) || has(desc, field);
            sort_item.CaseInsensitive =
                HasOption(found->Options, ixCaseInsensitive) || has(nocase, field);
            index_order.push_back(std::move(sort_item));
        }
    }
    const std::vector<TSQLMemSortSpecification>& order =
        order_by_index_.empty() ? order_by_ : index_order;
    for (const TSQLMemSortSpecification& sort_item : order) {
        if (sort_item.ColumnNo >= 0) {
            const size_t visible = items.size();
            if (sort_item.ColumnNo < 1 || static_cast<size_t>(sort_item.ColumnNo) > visible) {
                throw ESQLMemException::Formatted(kOrderByColumnNumberCode,
                                                  "Invalid column number in ORDER BY clause = " +
                                                      std::to_string(sort_item.ColumnNo));
            }
            sort_keys.emplace_back(static_cast<size_t>(sort_item.ColumnNo - 1), &sort_item);
            continue;
        }
        std::optional<size_t> found;
        for (size_t i = 0; i < items.size() && !found; ++i) {
            if (items[i].hidden || !SameName(items[i].name, sort_item.FieldName)) {
                continue;
            }
            if (!sort_item.TableName.empty()) {
                const auto* field =
                    items[i].expression->NodeType() == entField
                        ? static_cast<const TSQLMemExprNodeField*>(items[i].expression)
                        : nullptr;
                const int32_t no = field != nullptr && field->IsBound() ? field->FieldNo() : -1;
                if (no < 0 || !SameName(top->Columns()[no].TableName, sort_item.TableName)) {
                    continue;
                }
            }
            found = i;
        }
        if (!found && !grouped &&
            top->Source().FindField(sort_item.TableName, sort_item.FieldName) >= 0) {
            ResultItem item;
            item.name = sort_item.FieldName;
            item.hidden = true;
            item.owned =
                std::make_unique<TSQLMemExprNodeField>(sort_item.TableName, sort_item.FieldName);
            item.expression = item.owned.get();
            item.expression->AssignFieldSource(top->Source());
            items.push_back(std::move(item));
            found = items.size() - 1;
        }
        if (!found) {
            const std::string name = sort_item.TableName.empty()
                                         ? sort_item.FieldName
                                         : sort_item.TableName + "." + sort_item.FieldName;
            throw ESQLMemException::Formatted(
                kOrderByColumnNotFoundCode, "Column '" + name + "' from ORDER BY clause not found");
        }
        sort_keys.emplace_back(*found, &sort_item);
    }

    // Rows of the select list.
    std::vector<TSQLMemRow> rows;
    std::vector<TSQLMemExprNode*> expressions;
    for (ResultItem& item : items) {
        expressions.push_back(item.expression);
    }
    // A lone COUNT(*) over one table is the table's row count under its filter.
    const auto* count_all =
        items.size() == 1 ? dynamic_cast<const TSQLMemExprNodeAggregated*>(items[0].expression)
                          : nullptr;
    const bool count_only = count_all != nullptr && count_all->Operator() == doCOUNTALL &&
                            group_by_.empty() && !having_ && top->IsTableScan();
    if (count_only) {
        auto& scan = static_cast<TSQLMemAOTable&>(*top);
        rows.push_back({TSQLMemVariant::FromInteger(scan.CountRows(), bftSignedInt32)});
        rows_read = scan.RowsRead();
    } else if (grouped) {
        auto group = std::make_unique<TSQLMemAOGroupBy>(std::move(top), group_by_);
        group->SetResult(expressions, having_.get(), {});
        group->SetColumnsRead({});
        group->Execute();
        rows = std::move(group->Result().Rows);
        rows_read = group->RowsRead();
        top = std::move(group);
    } else {
        std::vector<bool> read(top->Columns().size(), false);
        for (const TSQLMemExprNode* expression : expressions) {
            top->MarkFieldsRead(*expression, read);
        }
        top->SetColumnsRead(std::move(read));
        TSQLMemRowSource& source = top->Source();
        // A plain field takes its value from the input row as it is: moved when no other
        // item reads that column, computed items first.
        std::vector<int32_t> direct(expressions.size(), -1);
        std::vector<int32_t> uses(top->Columns().size(), 0);
        for (size_t i = 0; i < expressions.size(); ++i) {
            const TSQLMemExprNode& expression = *expressions[i];
            const auto* field = expression.NodeType() == entField
                                    ? static_cast<const TSQLMemExprNodeField*>(&expression)
                                    : nullptr;
            if (field != nullptr && field->Source() == &source && field->FieldNo() >= 0) {
                direct[i] = field->FieldNo();
                ++uses[static_cast<size_t>(field->FieldNo())];
            }
        }
        const auto project_into = [&](TSQLMemRow& input, TSQLMemRow& out) {
            out.resize(expressions.size());
            source.SetRow(&input);
            for (size_t i = 0; i < expressions.size(); ++i) {
                if (direct[i] < 0) {
                    out[i] = expressions[i]->GetDataValue();
                }
            }
            for (size_t i = 0; i < expressions.size(); ++i) {
                if (direct[i] >= 0) {
                    TSQLMemVariant& value = input[static_cast<size_t>(direct[i])];
                    out[i] = uses[static_cast<size_t>(direct[i])] == 1 ? std::move(value) : value;
                }
            }
            source.SetRow(nullptr);
        };
        const auto project = [&](TSQLMemRow& input) {
            TSQLMemRow out;
            project_into(input, out);
            return out;
        };
        const size_t first_kept = top_first_row_ > 1 ? static_cast<size_t>(top_first_row_ - 1) : 0;
        const bool bounded = !sort_keys.empty() && top_count_ >= 0 && !distinct_ &&
                             first_kept + static_cast<size_t>(top_count_) <= kMostRowsKeptForTop;
        if (auto* scan = top->IsTableScan() ? static_cast<TSQLMemAOTable*>(top.get()) : nullptr) {
            if (bounded) {
                // ORDER BY with a short TOP: only the rows that can still be among the
                // first ones are kept, in a heap whose top is the last of them (rows that
                // sort alike rank by their place in the table).
                const size_t wanted = first_kept + static_cast<size_t>(top_count_);
                using Ranked = std::pair<TSQLMemRow, size_t>;
                std::vector<Ranked> heap;
                const auto ranks_before = [&](const Ranked& x, const Ranked& y) {
                    const int c = CompareBySortKeys(x.first, y.first, sort_keys);
                    return c != 0 ? c < 0 : x.second < y.second;
                };
                Ranked candidate;
                size_t seq = 0;
                scan->ScanRows([&](TSQLMemRow& input) {
                    if (wanted == 0) {
                        return false;
                    }
                    project_into(input, candidate.first);
                    candidate.second = seq++;
                    if (heap.size() < wanted) {
                        heap.push_back(std::move(candidate));
                        std::push_heap(heap.begin(), heap.end(), ranks_before);
                    } else if (ranks_before(candidate, heap.front())) {
                        std::pop_heap(heap.begin(), heap.end(), ranks_before);
                        std::swap(heap.back(), candidate);
                        std::push_heap(heap.begin(), heap.end(), ranks_before);
                    }
                    return true;
                });
                std::sort_heap(heap.begin(), heap.end(), ranks_before);
                rows.reserve(heap.size());
                for (Ranked& ranked : heap) {
                    rows.push_back(std::move(ranked.first));
                }
            } else {
                scan->ScanRows([&](TSQLMemRow& input) {
                    rows.push_back(project(input));
                    return true;
                });
            }
            rows_read = scan->RowsRead();
        } else {
            top->Execute();
            rows_read = top->RowsRead();
            std::vector<TSQLMemRow>& inputs = top->Result().Rows;
            rows.reserve(inputs.size());
            for (TSQLMemRow& input : inputs) {
                rows.push_back(project(input));
            }
            inputs.clear();
        }
    }

    TSQLMemRelation result;
    size_t visible = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i].hidden) {
            ++visible;
        }
    }
    for (size_t i = 0; i < visible; ++i) {
        TSQLMemColumn column = ResultColumn(items[i].name, items[i].expression, rows, i);
        if (!grouped && items[i].expression->NodeType() == entField) {
            const auto& field = static_cast<const TSQLMemExprNodeField&>(*items[i].expression);
            if (field.FieldNo() >= 0) {
                column.TableName = top->Columns()[static_cast<size_t>(field.FieldNo())].TableName;
            }
        }
        result.Columns.push_back(std::move(column));
    }

    // DISTINCT keeps its rows in an index that follows the ORDER BY items with every other
    // result column, ascending and case-sensitive.
    static const TSQLMemSortSpecification kAscending;
    if (distinct_) {
        for (size_t i = 0; i < visible; ++i) {
            if (std::none_of(sort_keys.begin(), sort_keys.end(),
                             [i](const auto& key) { return key.first == i; })) {
                sort_keys.emplace_back(i, &kAscending);
            }
        }
    }
    // The result table keeps the order as its index, when it has every column of it.
    if (std::all_of(sort_keys.begin(), sort_keys.end(),
                    [&](const auto& key) { return key.first < visible; })) {
        for (const auto& [column, sort_item] : sort_keys) {
            result.Order.push_back({column, sort_item->Descending, sort_item->CaseInsensitive});
        }
    }
    // ORDER BY sorts first: TOP then takes the first rows of the sorted result. A limit a
    // scan took has been applied already.
    const int64_t top_count = top_on_scan ? -1 : top_count_;
    const size_t skip =
        !top_on_scan && top_first_row_ > 1 ? static_cast<size_t>(top_first_row_ - 1) : 0;
    if (distinct_ && skip == 0 && items.size() == visible) {
        // The first of equal rows is the one DISTINCT keeps after the stable sort too.
        DropRepeatedIntegerRows(rows, visible);
    }
    if (!sort_keys.empty()) {
        const auto sorts_before = [&](const TSQLMemRow& a, const TSQLMemRow& b) {
            return CompareBySortKeys(a, b, sort_keys) < 0;
        };
        const size_t wanted =
            top_count >= 0 && !distinct_ ? skip + static_cast<size_t>(top_count) : rows.size();
        if (wanted < rows.size() / 2) {
            // Only the first rows of the order are kept: they are picked without sorting
            // the rest, rows that sort alike staying in their input order.
            std::vector<size_t> order(rows.size());
            std::iota(order.begin(), order.end(), size_t{0});
            std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(wanted),
                              order.end(), [&](size_t x, size_t y) {
                                  if (sorts_before(rows[x], rows[y])) return true;
                                  if (sorts_before(rows[y], rows[x])) return false;
                                  return x < y;
                              });
            std::vector<TSQLMemRow> first;
            first.reserve(wanted);
            for (size_t i = 0; i < wanted; ++i) {
                first.push_back(std::move(rows[order[i]]));
            }
            rows = std::move(first);
        } else {
            std::stable_sort(rows.begin(), rows.end(), sorts_before);
        }
    }
    const auto row_less = [](const TSQLMemRow& a, const TSQLMemRow& b) {
        for (size_t i = 0; i < a.size(); ++i) {
            const int c = CompareSortValues(a[i], b[i], false);
            if (c != 0) {
                return c < 0;
            }
        }
        return false;
    };
    std::set<TSQLMemRow, decltype(row_less)> seen(row_less);
    for (size_t i = skip; i < rows.size(); ++i) {
        if (top_count >= 0 && result.Rows.size() >= static_cast<size_t>(top_count)) {
            break;
        }
        TSQLMemRow& row = rows[i];
        row.resize(visible);
        if (distinct_ && !seen.insert(row).second) {
            continue;
        }
        result.Rows.push_back(std::move(row));
    }
    return result;
}

// --- TSQLMemSQLUnion ---

TSQLMemSQLUnion::TSQLMemSQLUnion(TSQLMemLexer& lexer, const TSQLMemCommandContext& context)
    : TSQLMemSQLCommand(lexer, context) {}

TSQLMemSQLUnion::~TSQLMemSQLUnion() = default;

void TSQLMemSQLUnion::ExecSQL(bool /*keep_tree*/, bool& read_only, bool request_live) {
    TSQLMemSelectContext select_context;
    select_context.DatabaseName = context_.DatabaseName;
    select_context.Params = context_.Params;
    select_context.RequestLive = request_live;
    result_.reset();
    result_ = Execute(select_context);
    read_only = result_->ReadOnly();
}

void TSQLMemSQLUnion::Parse() {
    root_ = ParseExpression();
    TokenReader reader(lexer_);
    if (!reader.AtEnd()) {
        reader.FailUnexpected(kSelectUnexpectedTokenCode);
    }
}

void TSQLMemSQLUnion::ParseSetOptions(TSQLMemQueryExprNode& node) {
    TokenReader in(lexer_);
    if (in.IsWord(rwALL)) {
        in.Take();
        node.All = true;
    }
    if (in.IsWord(rwCORRESPONDING)) {
        in.Take();
        node.Corresponding = true;
        if (in.IsWord(rwBY)) {
            in.Take();
            in.ExpectSymbol("(", kCorrespondingParenthesisCode);
            for (bool more = true; more; more = in.IsSymbol(",") && (in.Take(), true)) {
                node.CorrespondingBy.push_back(
                    in.TakeName(kSelectFieldNameCode, "Field name expected"));
            }
            in.ExpectSymbol(")", kRightParenthesisCode);
        }
    }
    in.SyncLexer();
}

std::unique_ptr<TSQLMemQueryExprNode> TSQLMemSQLUnion::ParseExpression() {
    auto left = ParseTerm();
    while (true) {
        TokenReader in(lexer_);
        TSQLMemQueryExprType type;
        if (in.IsWord(rwUNION)) {
            type = qetUnion;
        } else if (in.IsWord(rwEXCEPT) || in.IsWord(rwMINUS)) {
            type = qetExcept;
        } else {
            return left;
        }
        in.Take();
        in.SyncLexer();
        auto node = std::make_unique<TSQLMemQueryExprNode>();
        node->NodeType = type;
        ParseSetOptions(*node);
        node->Left = std::move(left);
        node->Right = ParseTerm();
        left = std::move(node);
    }
}

std::unique_ptr<TSQLMemQueryExprNode> TSQLMemSQLUnion::ParseTerm() {
    auto left = ParsePrimary();
    while (true) {
        TokenReader in(lexer_);
        if (!in.IsWord(rwINTERSECT)) {
            return left;
        }
        in.Take();
        in.SyncLexer();
        auto node = std::make_unique<TSQLMemQueryExprNode>();
        node->NodeType = qetIntersect;
        ParseSetOptions(*node);
        node->Left = std::move(left);
        node->Right = ParsePrimary();
        left = std::move(node);
    }
}

std::unique_ptr<TSQLMemQueryExprNode> TSQLMemSQLUnion::ParsePrimary() {
    TokenReader in(lexer_);
    if (in.IsSymbol("(")) {
        const NestingGuard guard(depth_, *in.Peek());
        in.Take();
        in.SyncLexer();
        auto inner = ParseExpression();
        TokenReader after(lexer_);
        after.ExpectSymbol(")", kRightParenthesisCode);
        after.SyncLexer();
        return inner;
    }
    if (!in.IsWord(rwSELECT)) {
        in.Fail(kSelectExpectedCode, "Token 'SELECT' expected");
    }
    auto node = std::make_unique<TSQLMemQueryExprNode>();
    node->NodeType = qetSelect;
    node->Select = std::make_unique<TSQLMemSQLSelect>(lexer_);
    in.SyncLexer();
    node->Select->Parse();
    return node;
}

TSQLMemRelation TSQLMemSQLUnion::Run(TSQLMemQueryExprNode& node,
                                     const TSQLMemSelectContext& context, int64_t& rows_read) {
    if (node.NodeType == qetSelect) {
        int64_t read = 0;
        TSQLMemRelation relation = node.Select->Run(context, read);
        rows_read += read;
        return relation;
    }
    TSQLMemRelation left = Run(*node.Left, context, rows_read);
    TSQLMemRelation right = Run(*node.Right, context, rows_read);
    const TSQLMemUnionType type = node.NodeType == qetUnion    ? autUnion
                                  : node.NodeType == qetExcept ? autExcept
                                                               : autIntersect;
    TSQLMemAOUnion operation(std::move(left), std::move(right), type, node.All, node.Corresponding,
                             node.CorrespondingBy);
    operation.Execute();
    return std::move(operation.Result());
}

namespace {

TFieldType ResultFieldType(TSQLMemAdvancedFieldType type) {
    const TFieldType field_type = AdvancedToFieldType(type);
    return field_type == ftUnknown ? ftString : field_type;
}

std::string NewResultTableName() {
    while (true) {
        std::string name = kTemporaryTableNamePrefix + std::to_string(RandomBelowMax());
        TSQLMemTable probe;
        probe.SetTableName(name);
        if (!probe.Exists()) {
            return name;
        }
    }
}

}  // namespace

std::unique_ptr<TSQLMemQueryResult> TSQLMemSQLUnion::Execute(const TSQLMemSelectContext& context) {
    // A live result is the table itself, its rows limited by the WHERE condition as the
    // table's SQL filter: editing the result edits the table.
    if (context.RequestLive && root_->NodeType == qetSelect && root_->Select->CanBeLive()) {
        const TSQLMemSQLSelect& select = *root_->Select;
        const std::string& table_name = select.From().front()->TableName;
        auto live = std::make_unique<TSQLMemQueryResult>(table_name, false);
        if (!live->Exists()) {
            throw ESQLMemException::Formatted(kTableDoesNotExistCode,
                                              "Table '" + table_name + "' does not exist");
        }
        // The SQL filter serves its condition through the table's indexes; a condition it
        // cannot run (a subquery) is tested row by row instead.
        bool has_subquery = false;
        if (select.Where() != nullptr) {
            select.Where()->ForEachNode([&](const TSQLMemExprNode& node) {
                has_subquery =
                    has_subquery || dynamic_cast<const TSQLMemExprNodeSubQuery*>(&node) != nullptr;
            });
        }
        const bool by_text = select.Where() == nullptr || (select.WhereText() && !has_subquery);
        if (by_text) {
            live->SetSQLFilter(select.WhereText().value_or(std::string()));
        }
        live->Open();
        if (!by_text) {
            live->FilterRowsBy(root_->Select->ReleaseWhere(), context);
        }
        live->First();
        return live;
    }
    int64_t rows_read = 0;
    TSQLMemRelation relation = Run(*root_, context, rows_read);

    const TSQLMemSQLSelect* single = root_->NodeType == qetSelect ? root_->Select.get() : nullptr;
    const bool into = single != nullptr && !single->IntoTable().empty();
    auto result = std::make_unique<TSQLMemQueryResult>(
        into ? single->IntoTable() : NewResultTableName(), !into);
    // Names must differ within a table: a repeated name gets a number.
    std::vector<std::string> names;
    for (const TSQLMemColumn& column : relation.Columns) {
        std::string name = column.FieldName;
        for (int n = 1; std::any_of(names.begin(), names.end(),
                                    [&](const std::string& each) { return SameName(each, name); });
             ++n) {
            name = column.FieldName + "_" + std::to_string(n);
        }
        names.push_back(name);
        TFieldDef def;
        def.Name = name;
        def.DataType = ResultFieldType(column.DataType);
        def.AdvancedType = IsAutoIncType(column.DataType) ? aftUnknown : column.DataType;
        if (IsAutoIncType(column.DataType)) {
            def.DataType = ftLargeint;
        }
        def.Size = IsStringType(column.DataType) && !IsBlobType(column.DataType)
                       ? std::max(column.Size, 1)
                       : (IsBytesType(column.DataType) ? std::max(column.Size, 1) : 0);
        result->FieldDefs().push_back(std::move(def));
    }
    // The order of the rows becomes the result table's current index.
    std::string index_name;
    const bool indexable =
        !relation.Order.empty() &&
        std::none_of(relation.Order.begin(), relation.Order.end(), [&](const auto& key) {
            return IsBlobType(relation.Columns[key.Column].DataType);
        });
    if (indexable) {
        TIndexDef index;
        do {
            index.Name = kResultIndexNamePrefix + std::to_string(RandomBelowMax());
        } while (
            std::any_of(result->IndexDefs().begin(), result->IndexDefs().end(),
                        [&](const TIndexDef& each) { return SameName(each.Name, index.Name); }));
        const auto add = [](std::string& list, const std::string& name) {
            list += (list.empty() ? "" : ";") + name;
        };
        for (const TSQLMemResultOrder& key : relation.Order) {
            const std::string& name = names[key.Column];
            add(index.Fields, name);
            if (key.Descending) {
                add(index.DescFields, name);
            }
            if (key.CaseInsensitive && IsStringType(relation.Columns[key.Column].DataType)) {
                add(index.CaseInsFields, name);
            }
        }
        index_name = index.Name;
        result->IndexDefs().push_back(std::move(index));
    }
    bool created = false;
    try {
        result->CreateTable();
        created = true;
        result->Open();
        std::vector<TField*> fields;
        for (const std::string& name : names) {
            fields.push_back(&result->FieldByName(name));
        }
        for (const TSQLMemRow& row : relation.Rows) {
            result->Append();
            for (size_t i = 0; i < fields.size(); ++i) {
                fields[i]->SetValue(FieldValueFromVariant(row[i], relation.Columns[i].DataType));
            }
            result->Post();
        }
        if (!index_name.empty()) {
            result->SetIndexName(index_name);
        }
    } catch (const tapir::Exception& e) {
        if (!into) {
            throw;
        }
        // An INTO table that could not be filled is not left behind half-filled.
        if (created) {
            try {
                result->Close();
                result->DeleteTable();
            } catch (const tapir::Exception&) {
                // The copy's own error is the one to report.
            }
        }
        throw ESQLMemException::Formatted(kIntoCopyFailedCode,
                                          "Error importing table. Cannot copy data due to error: " +
                                              std::string(e.what()) + "\n");
    }
    result->First();
    result->SetReadOnly(!into);
    result->SetRowsRead(rows_read);
    return result;
}

// --- Entry points ---

std::unique_ptr<TSQLMemQueryResult> RunSelect(const TSQLMemSelectContext& context,
                                              const std::string& sql_text) {
    TSQLMemLexer lexer(sql_text, context.Params);
    if (!lexer.GetNextCommand()) {
        throw ESQLMemException(30146, "Blank SQL command");
    }
    TSQLMemCommandContext command_context;
    command_context.DatabaseName = context.DatabaseName;
    command_context.Params = context.Params;
    command_context.RequestLive = context.RequestLive;
    TSQLMemSQLUnion query(lexer, command_context);
    query.Parse();
    return query.Execute(context);
}

namespace {

// A non-correlated subquery: run once, its first column read.
class SelectSubQueryRunner final : public TSQLMemSubQueryRunner {
  public:
    SelectSubQueryRunner(TSQLMemSelectContext context, std::string sql_text)
        : context_(std::move(context)), sql_text_(std::move(sql_text)) {}

    void Execute() override {
        // Each level of subqueries runs a whole query on the stack.
        static thread_local int32_t depth = 0;
        if (depth >= kMaxSubQueryDepth) {
            throw ESQLMemException::Formatted(kTooComplexCode,
                                              "Expression too complex at line 1, column 1");
        }
        ++depth;
        struct Leave {
            ~Leave() { --depth; }
        } leave;
        result_ = RunSelect(context_, sql_text_);
        if (result_->FieldCount() == 0) {
            return;
        }
        const TField& field = *result_->Fields().front();
        const TSQLMemAdvancedFieldType type =
            result_->FieldDefs().front().AdvancedType != aftUnknown
                ? result_->FieldDefs().front().AdvancedType
                : FieldTypeToAdvancedType(field.DataType());
        for (result_->First(); !result_->Eof(); result_->Next()) {
            values_.push_back(VariantFromFieldValue(field.Value(), type));
        }
    }
    int64_t RecordCount() override { return static_cast<int64_t>(values_.size()); }
    TSQLMemVariant FirstValue() override { return values_.front(); }
    bool Locate(const TSQLMemVariant& value) override {
        return std::any_of(values_.begin(), values_.end(), [&](const TSQLMemVariant& each) {
            return !each.IsNull() && value.Compare(each) == cmprEqual;
        });
    }
    bool HasNullInFirstField() override {
        return std::any_of(values_.begin(), values_.end(),
                           [](const TSQLMemVariant& each) { return each.IsNull(); });
    }

  private:
    TSQLMemSelectContext context_;
    std::string sql_text_;
    std::unique_ptr<TSQLMemQueryResult> result_;
    std::vector<TSQLMemVariant> values_;
};

}  // namespace

void InstallQueryCommand() {
    SetQueryCommandFactory(
        [](TSQLMemLexer& lexer,
           const TSQLMemCommandContext& context) -> std::unique_ptr<TSQLMemSQLCommand> {
            return std::make_unique<TSQLMemSQLUnion>(lexer, context);
        });
}

TSQLMemSubQueryFactory MakeSubQueryFactory(const TSQLMemSelectContext& context) {
    return [context](const std::string& sql_text) -> std::unique_ptr<TSQLMemSubQueryRunner> {
        return std::make_unique<SelectSubQueryRunner>(context, sql_text);
    };
}

}  // namespace tapir::engine
