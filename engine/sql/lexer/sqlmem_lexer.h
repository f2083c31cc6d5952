#pragma once
// The SQL lexer: cuts an SQL script into commands at semicolons and each command into
// tokens, recognising keywords, replacing parameters by copies of their values and marking
// every token with its line and column within its command. The parsers read only tokens.
// A lexer belongs to the one statement run that uses it; it is not thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/sqlmem_variant.h"
#include "engine/sql/lexer/reserved_words.h"

namespace tapir::engine {

class TSQLMemSQLParams;

// Kind of a token; the numbers are part of the contract.
enum class TTokenType : uint8_t {
    tktNone = 0,
    tktString,  // a word: identifier, keyword before classification, or an operator
    tktQuotedString,
    tktBracketedString,
    tktInt,
    tktFloat,
    tktReservedWord,
    tktParameter,
    tktLeftParenthesis,
    tktRightParenthesis,
    tktComma,
    tktDot,
};
using enum TTokenType;

inline constexpr size_t kTokenTypeCount = static_cast<size_t>(tktDot) + 1;

// The token types' names, index by index with TTokenType.
extern const std::array<std::string_view, kTokenTypeCount> ESQLMemTokenType;

// Error codes the lexer raises (ESQLMemException).
constexpr int kMissingRightParenthesisCode = 30059;  // "Missing symbol ')' at line .."
constexpr int kUnexpectedRightParenthesisCode = 30060;
constexpr int kUnterminatedStringCode = 30061;
constexpr int kInvalidNumericSymbolCode = 30062;
constexpr int kParameterNotFoundCode = 30358;

struct TToken {
    TTokenType TokenType = tktNone;
    // The keyword when TokenType is tktReservedWord, else rwNone.
    TReservedWord ReservedWord = rwNone;
    // The text as written; quoted and bracketed strings without their delimiters and with
    // doubled closing delimiters reduced to one; a parameter's name without the colon.
    std::string Text;
    // A copy of the parameter's value for a tktParameter token, else empty.
    std::optional<TSQLMemVariant> ParamValue;
    // Position of the token's first character within its command, both counted from 1.
    // Columns count characters (a UTF-8 sequence is one column).
    int32_t Line = 0;
    int32_t Column = 0;
};

// True when `token` is the keyword `word`; with rwNone, true when it is any keyword.
bool IsReservedWord(const TToken& token, TReservedWord word);

class TSQLMemLexer {
  public:
    // `params` (may be null: no parameters) is borrowed and must outlive the lexer; the
    // values are copied into the tokens while each command is cut.
    TSQLMemLexer(std::string text, const TSQLMemSQLParams* params);
    TSQLMemLexer(const TSQLMemLexer&) = delete;
    TSQLMemLexer& operator=(const TSQLMemLexer&) = delete;
    TSQLMemLexer(TSQLMemLexer&&) noexcept = default;
    TSQLMemLexer& operator=(TSQLMemLexer&&) noexcept = default;
    ~TSQLMemLexer() = default;

    // Cuts the next command (up to the next `;` outside a string, or the end of the text)
    // and positions before its first token. False when that command has no token: the end
    // of the text, or an empty command, which ends the script. Throws ESQLMemException
    // 30062 (a number followed by a character a number cannot hold), 30358 (a parameter
    // not in the list), then, checked at the end of the command in this order, 30059 (a
    // `(` never closed, at the last such `(`), 30060 (a `)` without its `(`, at the last
    // such `)`) and 30061 (a string still open, at its opening character).
    [[nodiscard]] bool GetNextCommand();

    // Advances to the next token and copies it; false (token untouched) past the last.
    bool GetNextToken(TToken& token);
    // Copies the current token; false (token untouched) before the first or past the last.
    bool GetCurrentToken(TToken& token) const;
    // Copies the token after the current one without advancing; false when there is none.
    bool LookNextToken(TToken& token) const;
    // The number of the current token: -1 before the first, TokenCount() past the last.
    int32_t GetCurrentTokenNo() const { return current_token_; }
    // Restores a position that GetCurrentTokenNo gave and copies the token there; false
    // (token untouched) when that position holds no token. Numbers outside -1 ..
    // TokenCount() are clamped to those ends.
    bool SetCurrentTokenNo(int32_t token_no, TToken& token);

    // The current command: its number (-1 before the first), its tokens.
    int32_t CommandNo() const { return command_no_; }
    int32_t TokenCount() const { return static_cast<int32_t>(tokens_.size()); }
    const std::vector<TToken>& Tokens() const { return tokens_; }
    // Statements that rewrite their own command into another form (a DELETE read as a
    // SELECT) edit its tokens in place: replace the one at `token_no`, or insert before it
    // (token_no == TokenCount() appends). Throws std::out_of_range for other numbers.
    void SetToken(int32_t token_no, TToken token);
    void InsertToken(int32_t token_no, TToken token);

    // The names of the parameters (`:name`) the text's commands use, each once (letter
    // case ignored) in the order of first use. Values are not needed; a command the lexer
    // cannot cut ends the list with the names found before it.
    static std::vector<std::string> ParameterNames(std::string_view text);

    const std::string& Text() const { return text_; }
    // The text of the command last cut, without the `;` that ended it (comments and blanks
    // included); whether a `;` ended it; whether the whole text has been cut. A caller that
    // runs commands one by one cuts with these and goes on past an empty command.
    std::string_view CommandText() const;
    bool CommandTerminated() const { return command_terminated_; }
    bool AtEndOfText() const { return read_position_ >= text_.size(); }

  private:
    std::string text_;
    const TSQLMemSQLParams* params_;
    size_t read_position_ = 0;
    size_t command_start_ = 0;
    bool command_terminated_ = false;
    int32_t command_no_ = -1;
    std::vector<TToken> tokens_;
    int32_t current_token_ = -1;
};

}  // namespace tapir::engine
