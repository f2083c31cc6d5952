#pragma once
// The base of every SQL statement: it reads its command from the lexer, keeps what the
// query component hands it, counts the rows it changed and raises the parse errors of the
// statement layer in their fixed wording ("<what> expected, but '<token>' found at line
// L, column C"). A statement belongs to the one script run that creates it.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/sqlmem_variant.h"
#include "engine/sql/lexer/sqlmem_lexer.h"

namespace tapir::engine {

class TField;
class TSQLMemDataSet;
class TSQLMemSQLParams;

// What the query component hands every command: the tables it opens live in
// `DatabaseName` of `SessionName`; `InMemory` makes every named table a memory table;
// `RequestLive` asks for a result that can be edited; `Params` (may be null) is borrowed.
struct TSQLMemCommandContext {
    std::string DatabaseName;
    std::string SessionName;
    bool InMemory = false;
    bool RequestLive = false;
    const TSQLMemSQLParams* Params = nullptr;
};

// Message formats of the statement layer: `%s` is the token's text, the two `%d` its line
// and column within the command.
inline constexpr std::string_view kSQLTokenExpectedFormat =
    "SQL token expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kObjectTypeExpectedFormat =
    "Object type keyword expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kUnexpectedEndFormat =
    "Unexpected end of SQL command found at line %d, column %d";
inline constexpr std::string_view kUnexpectedTokenFormat =
    "Unexpected token '%s' found at line %d, column %d";
inline constexpr std::string_view kTableNameExpectedFormat =
    "Table name expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kFieldNameExpectedFormat =
    "Field name expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kFieldListExpectedFormat =
    "Field list expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kFieldPseudonymExpectedFormat =
    "Field pseudonym expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kFieldTypeExpectedFormat =
    "Field type expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kSortItemExpectedFormat =
    "Sort specification expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kExpressionExpectedFormat =
    "Expression expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kIntegerExpectedFormat =
    "Integer expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kDecimalExpectedFormat =
    "Decimal constant expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kLeftParenthesisExpectedFormat =
    "'(' symbol expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kRightParenthesisOrCommaExpectedFormat =
    "')' or ',' symbol expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kQuotedPasswordExpectedFormat =
    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, "
    "column %d";
inline constexpr std::string_view kIndexNameExpectedFormat =
    "index name expected, but '%s' found at line %d, column %d";
inline constexpr std::string_view kNullExpectedFormat =
    "'NULL' expected (for NOT NULL), but '%s' found at line %d, column %d";
inline constexpr std::string_view kConstraintNameExpectedFormat =
    "Constraint name expected, but '%s' found at line %d, column %d";

// Fills a message format: the first `%s` takes `text`, the `%d`s take `line` then
// `column`. Other text is kept as it stands.
std::string FormatTokenMessage(std::string_view format, std::string_view text, int32_t line,
                               int32_t column);

// True when `token` is a word (keyword or not, not quoted) equal to `word` without regard
// to case.
bool IsKeyword(const TToken& token, std::string_view word);
// True for a token that can name a table, column or index: a word, a quoted or a
// bracketed string.
bool IsNameToken(const TToken& token);

// A column of a key: PRIMARY KEY (...) or CREATE INDEX ... (...).
struct TSQLKeyColumn {
    std::string Name;
    bool Descending = false;
    bool CaseInsensitive = false;
};

class TSQLMemSQLCommand {
  public:
    TSQLMemSQLCommand(TSQLMemLexer& lexer, const TSQLMemCommandContext& context);
    TSQLMemSQLCommand(const TSQLMemSQLCommand&) = delete;
    TSQLMemSQLCommand& operator=(const TSQLMemSQLCommand&) = delete;
    virtual ~TSQLMemSQLCommand();

    // Reads the command from the lexer's current position (before its first token, or on
    // it). Throws ESQLMemException for malformed text.
    virtual void Parse() = 0;
    // Runs the parsed command. `keep_tree` keeps a query's operator tree for a later run;
    // `read_only` tells whether the result cursor (if any) can be edited; `request_live`
    // asks for an editable result.
    virtual void ExecSQL(bool keep_tree, bool& read_only, bool request_live) = 0;
    // The result cursor, owned by the command; nullptr for statements without one.
    virtual TSQLMemDataSet* GetResultDataset() { return nullptr; }

    int64_t RowsAffected() const { return rows_affected_; }
    const TSQLMemCommandContext& Context() const { return context_; }
    // Set by the keyword MEMORY: the named table is a memory table.
    bool InMemory() const { return in_memory_; }

  protected:
    // Advances to the next token into token_. Past the end raises `code` with "Unexpected
    // end of SQL command" at the last token's position; a token whose type is not in a
    // non-empty `allowed` raises `code` with `format` (a format above) filled with the
    // token. `end_code` (when not 0) replaces `code` for the end of the command.
    void GetNextToken(std::initializer_list<TTokenType> allowed, int code, std::string_view format,
                      int end_code = 0);
    // Advances without a check; false (token_ untouched) past the end.
    bool NextToken();
    // The token after the current one without advancing; false when there is none.
    bool LookNext(TToken& token) const { return lexer_.LookNextToken(token); }
    // True when the current token is the keyword `word`, or the symbol `text` (a word,
    // compared without regard to case).
    bool IsWord(TReservedWord word) const { return IsReservedWord(token_, word); }
    bool IsSymbol(std::string_view text) const;
    // True past the last token of the command.
    bool AtEnd() const { return lexer_.GetCurrentTokenNo() >= lexer_.TokenCount(); }

    // Names separated by commas, each a word, quoted or bracketed string. On entry the
    // current token is the first name; on return the token after the last name is current
    // (or the command ended). A token that is not a name raises `name_code` ("Field name
    // expected"); the command ending where a name is due raises `end_code`.
    void ParseColumnList(std::vector<std::string>& list, int name_code, int end_code);
    // The same for GROUP BY: each name optionally qualified `table.field` (kept as written,
    // joined by a dot).
    void ParseFieldList(std::vector<std::string>& fields, int name_code, int end_code);

    // `(` column [ASC | DESC] [CASE | NOCASE] {, ...} `)` with the current token on `(`;
    // leaves the `)` current. `name_code` for a token that is not a column name,
    // `close_code` ("')' or ','") after a column, `end_code` for the end of the command.
    std::vector<TSQLKeyColumn> ParseKeyColumns(int name_code, int end_code, int close_code);
    // PASSWORD 'text' with the current token on PASSWORD (anything else there raises
    // "Unexpected token" with `code`); leaves the password current and returns its text.
    std::string ParsePassword(int code, int end_code);
    // A decimal integer token as a 64-bit value, negated when `negative`; a value out of
    // range calls `fail`, which must not return.
    template <typename Fail>
    static int64_t ParseInt64(const TToken& token, bool negative, Fail fail);

    // One raising function per message family; each throws ESQLMemException with `code`,
    // filled with `token`'s text and position.
    [[noreturn]] void RaiseFormat(int code, std::string_view format, const TToken& token) const;
    [[noreturn]] void RaiseSQLTokenExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseObjectTypeExpected(int code, const TToken& token) const;
    // At the last token of the command (line 1, column 1 when it has none).
    [[noreturn]] void RaiseUnexpectedEnd(int code) const;
    [[noreturn]] void RaiseUnexpectedToken(int code, const TToken& token) const;
    // "Token '<wanted>' expected, but '%s' found at line %d, column %d".
    [[noreturn]] void RaiseTokenExpected(int code, std::string_view wanted,
                                         const TToken& token) const;
    [[noreturn]] void RaiseTableNameExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseFieldNameExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseFieldListExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseFieldPseudonymExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseFieldTypeExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseSortItemExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseExpressionExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseIntegerExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseDecimalExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseLeftParenthesisExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseRightParenthesisOrCommaExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseQuotedPasswordExpected(int code, const TToken& token) const;
    // "'<keyword>' keyword expected, but '%s' found at line %d, column %d" (INDEX, NOT,
    // EXISTS, ON).
    [[noreturn]] void RaiseKeywordExpected(int code, std::string_view keyword,
                                           const TToken& token) const;
    [[noreturn]] void RaiseIndexNameExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseNullExpected(int code, const TToken& token) const;
    [[noreturn]] void RaiseConstraintNameExpected(int code, const TToken& token) const;
    // "Blank SQL command".
    [[noreturn]] void RaiseBlankCommand(int code) const;

    // Stores `value` into `field` of its dataset's active row, converted to the field's
    // type; a null value clears the field. Conversion failures raise as the field does.
    static void SetSQLMemVariantIntoField(const TSQLMemVariant& value, TField& field);

    TSQLMemLexer& lexer_;
    // A copy of the current token.
    TToken token_;
    TSQLMemCommandContext context_;
    int64_t rows_affected_ = 0;
    bool in_memory_ = false;
};

template <typename Fail>
int64_t TSQLMemSQLCommand::ParseInt64(const TToken& token, bool negative, Fail fail) {
    // Digits only; the magnitude may reach 2^63 when negative.
    uint64_t magnitude = 0;
    if (token.Text.empty()) {
        fail();
    }
    for (const char c : token.Text) {
        if (c < '0' || c > '9' || magnitude > (UINT64_MAX - 9) / 10) {
            fail();
        }
        magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) {
        fail();
    }
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

// SELECT and query expressions are built by the query layer, which installs its factory
// here; the statement processor asks for a command through MakeQueryCommand.
using TSQLMemQueryCommandFactory = std::unique_ptr<TSQLMemSQLCommand> (*)(
    TSQLMemLexer& lexer, const TSQLMemCommandContext& context);
void SetQueryCommandFactory(TSQLMemQueryCommandFactory factory);
// The query command for the lexer's current command; nullptr while no factory is
// installed.
std::unique_ptr<TSQLMemSQLCommand> MakeQueryCommand(TSQLMemLexer& lexer,
                                                    const TSQLMemCommandContext& context);

}  // namespace tapir::engine
