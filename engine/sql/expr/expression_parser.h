#pragma once
// The parser of SQL expressions: recursive descent over the lexer's tokens, building the
// node trees of expression_nodes.h. Where a construct can start in several ways the parser
// saves the token position, tries each alternative in a fixed order and goes back after
// each one that does not fit. The entry points fill a TSQLMemExpression: a search condition
// or a value inside a statement, a dataset's Filter text, and Locate's key comparisons.
// A parser is used by one thread at a time.
//
// Precedence, loosest first: OR; AND; NOT; IS [NOT] TRUE/FALSE/UNKNOWN; parentheses and
// predicates (comparison, LIKE, IS NULL, BETWEEN, IN, EXISTS); + and - (one sum of signed
// terms); * and /; the sign of a factor; primaries (literals, parameters, columns,
// functions, aggregates, subqueries, parenthesised values).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/record_buffer.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/sql/expr/expression_nodes.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/sql/lexer/sqlmem_lexer.h"

namespace tapir::engine {

// --- Parse error codes ---
// "Unexpected end of SQL command found at line %d, column %d": where a value is needed,
// where a condition is needed, inside the parentheses of a function.
constexpr int kEndInValueCode = 30063;
constexpr int kEndInConditionCode = 30118;
constexpr int kEndInFunctionCode = 30136;
// "Unexpected token '%s' found at line %d, column %d".
constexpr int kUnexpectedTokenCode = 30064;
// "Boolean expression expected, but '%s' found at line %d, column %d": after OR, after
// AND, after NOT, where a condition starts.
constexpr int kConditionAfterOrCode = 30066;
constexpr int kConditionAfterAndCode = 30068;
constexpr int kConditionAfterNotCode = 30069;
constexpr int kConditionExpectedCode = 30070;
// "Token '%s' expected, but '%s' found at line %d, column %d": the truth value after IS,
// a closing parenthesis, any other word or symbol the grammar requires.
constexpr int kTruthValueExpectedCode = 30067;
constexpr int kRightParenthesisExpectedCode = 30071;
constexpr int kTokenExpectedCode = 30074;
// "Argument expected for function '%s' at line %d, column %d".
constexpr int kArgumentExpectedCode = 30072;
// "Const DateFormat string expected, but '%s' found at line %d, column %d".
constexpr int kDateFormatExpectedCode = 30073;
// "String argument expected for function '%s', but '%s' found at line %d, column %d".
constexpr int kStringArgumentExpectedCode = 30092;
// "Const BLOB value as quoted string expected, but '%s' found at line %d, column %d" and
// "BLOB value format expected, but '%s' found at line %d, column %d".
constexpr int kBlobTextExpectedCode = 11346;
constexpr int kBlobFormatExpectedCode = 11347;
// "Error parsing subquery with IN - no argumnet passed": `IN ()`.
constexpr int kEmptyInListCode = 10850;
// "Blank SQL command": a filter text without a token.
constexpr int kBlankCommandCode = 30119;
// "Count of FieldNames (%d) not equal counts of KeyValues (%d)".
constexpr int kLocateCountsCode = 30112;
// "Expression too complex at line %d, column %d": nested deeper than the parser goes, or
// more alternatives tried than it allows for one expression.
constexpr int kTooComplexCode = 30075;

class TSQLMemExpressionParser {
  public:
    // How comparison and LIKE nodes are built.
    struct Options {
        bool ignore_case = false;
        bool null_aware = true;
        // A comparison with a text constant ending in `*` drops the `*` and compares
        // partially (dataset filters that allow partial comparison).
        bool star_partial = false;
    };

    // Reads the current command of `lexer` from its current token (from the first when the
    // lexer stands before it). Requires: `lexer` outlives the parser.
    TSQLMemExpressionParser(TSQLMemLexer& lexer, Options options);

    // A search condition; nullptr (position unchanged) when none starts here. Throws
    // ESQLMemException with the codes above for a condition that starts but is malformed.
    std::unique_ptr<TSQLMemExprNode> ParseSearchCondition();
    // A value expression; nullptr (position unchanged) when none starts here.
    std::unique_ptr<TSQLMemExprNode> ParseValueExpression();
    // Moves the lexer's current token to the parser's position: the first token after
    // what was parsed (TokenCount() at the end of the command).
    void SyncLexer();
    // Whether every token of the command was used.
    bool AtEnd() const;
    // Throws "Unexpected token" (30064) for the token at the position.
    [[noreturn]] void FailUnexpectedToken() const;

  private:
    using NodePtr = std::unique_ptr<TSQLMemExprNode>;

    static constexpr int32_t kMaxNesting = 200;
    static constexpr int64_t kMaxSteps = 200000;
    // Counts one level of nesting and one step for its lifetime; throws 30075 beyond the
    // limits.
    class Nesting {
      public:
        explicit Nesting(TSQLMemExpressionParser& parser);
        ~Nesting() { --parser_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

      private:
        TSQLMemExpressionParser& parser_;
    };

    const TToken* Peek(int32_t ahead = 0) const;
    bool IsWord(TReservedWord word, int32_t ahead = 0) const;
    bool IsSymbol(std::string_view symbol, int32_t ahead = 0) const;
    bool IsType(TTokenType type, int32_t ahead = 0) const;
    bool IsComparisonOperator(int32_t ahead = 0) const;
    // A token that may follow TRUE/FALSE in a predicate (so TRUE is not alone there).
    bool IsPredicateContinuation(int32_t ahead) const;

    // --- Errors at the position (the end of the command: the last token's position) ---
    [[noreturn]] void FailExpected(int code, std::string_view family, int end_code) const;
    [[noreturn]] void FailTokenExpected(int code, std::string_view wanted, int end_code) const;
    [[noreturn]] void FailEnd(int code) const;
    void Expect(std::string_view symbol, int code, int end_code);
    void ExpectWord(TReservedWord word, int code, int end_code);
    void ExpectRightParenthesis();

    // --- Conditions ---
    NodePtr ParseTerm();
    NodePtr ParseFactor();
    NodePtr ParseTest();
    NodePtr ParsePrimary();
    NodePtr ParsePredicate();
    NodePtr ParseExists();
    NodePtr MakeComparison(TSQLMemDataOperator op, NodePtr left, NodePtr right) const;
    // A value the grammar requires: the value, or an error.
    NodePtr RequireValue();

    // --- Values ---
    NodePtr ParseNumericExpression();
    NodePtr ParseNumericTerm();
    NodePtr ParseNumericFactor();
    NodePtr ParseNumericPrimary();
    NodePtr ParseStringExpression();
    NodePtr ParseStringPrimary();
    NodePtr ParseDateTimeExpression();
    NodePtr ParseBlobFunction();
    NodePtr ParseLiteral();
    NodePtr ParseColumnReference();
    // `(` value `)` or a scalar subquery.
    NodePtr ParseParenthesised();
    NodePtr ParseSetFunction();
    NodePtr ParseCast();
    NodePtr ParseStringFunction();
    NodePtr ParseNumericFunction();
    NodePtr ParseDateFunction();
    NodePtr ParseLastAutoinc();
    // The argument of function `name`: a value expression, or an error with `code`.
    NodePtr RequireArgument(std::string_view name, int code);
    // The text of the subquery whose `(` is at the position, which moves past its `)`.
    std::string TakeSubqueryText();

    TSQLMemLexer& lexer_;
    const std::vector<TToken>& tokens_;
    int32_t pos_;
    Options options_;
    int32_t depth_ = 0;
    int64_t steps_ = 0;
};

// Parses a search condition at the lexer's current token into `expression`, with the
// expression's switches (ignore case, partial match, null-aware); the lexer's current
// token is then the first one after the condition. Throws ESQLMemException 30070
// "Boolean expression expected" when none starts there, and the parse errors above.
void ParseForBooleanExpression(TSQLMemExpression& expression, TSQLMemLexer& lexer);
// The same for a value expression; the expression stays empty when none starts there.
void ParseForValueExpression(TSQLMemExpression& expression, TSQLMemLexer& lexer);
// A dataset's Filter text over the columns `fields`, bound to their row layout (BindRow).
// Comparisons and LIKE ignore case with `ignore_case`; with `partial`, a comparison with a
// text constant ending in `*` compares partially. Throws ESQLMemException 30119 "Blank
// SQL command" for a text without a token, 30064 for tokens left after the condition, the
// parse errors above, and EDatabaseError "Field '%s' not found" for an unknown column.
// Requires: `fields` outlives the expression.
void ParseForFilter(TSQLMemExpression& expression, const TSQLMemFieldDefs& fields,
                    std::string_view text, bool ignore_case, bool partial);
// Locate's test: `field = value` for each pair (null-aware off, the given options), joined
// by AND when there are several, bound to `fields`. Throws ESQLMemException 30112 when the
// lists differ in length, EDatabaseError "Field '%s' not found" for an unknown column.
void ParseForLocate(TSQLMemExpression& expression, const TSQLMemFieldDefs& fields,
                    const std::vector<std::string>& field_names, bool ignore_case, bool partial,
                    const std::vector<TSQLMemVariant>& key_values);

}  // namespace tapir::engine
