#include "engine/sql/lexer/sqlmem_lexer.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/record/utf8_text.h"
#include "engine/sql/lexer/sqlmem_sql_params.h"

namespace tapir::engine {

const std::array<std::string_view, kTokenTypeCount> ESQLMemTokenType = {
    "tktNone",  "tktString",       "tktQuotedString", "tktBracketedString", "tktInt",
    "tktFloat", "tktReservedWord", "tktParameter",    "tktLeftParenthesis", "tktRightParenthesis",
    "tktComma", "tktDot",
};

bool IsReservedWord(const TToken& token, TReservedWord word) {
    return token.TokenType == tktReservedWord && (word == rwNone || token.ReservedWord == word);
}

namespace {

std::string AtPosition(int32_t line, int32_t column) {
    return " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsExponent(char c) { return c == 'E' || c == 'e'; }

// Characters before which any open token ends.
bool EndsEveryToken(char c) {
    switch (c) {
        case '>':
        case '<':
        case '=':
        case '(':
        case ')':
        case ',':
        case '/':
        case '*':
        case ':':
        case '|':
            return true;
        default:
            return false;
    }
}

// Cuts one command, from a start position up to and past its `;` or to the end of the
// text. Line and column always describe the character at `position_`.
class CommandScanner {
  public:
    CommandScanner(std::string_view text, size_t start, const TSQLMemSQLParams* params)
        : text_(text), position_(start), params_(params) {}

    // Cuts without the parameter values and without the balance checks at the end: only
    // the tokens are wanted (a parameter token then carries no value).
    void SetNamesOnly() { names_only_ = true; }

    // The tokens of the command; `end` receives the position after it, `terminated` whether
    // a `;` ended it.
    std::vector<TToken> Run(size_t& end, bool& terminated) {
        terminated = false;
        while (position_ < text_.size()) {
            const char c = text_[position_];
            if (c == ';') {
                CloseOpenToken();
                Advance();
                terminated = true;
                break;
            }
            if (c == '-' && Next() == '-') {
                CloseOpenToken();
                SkipLineComment();
                continue;
            }
            if (c == '/' && Next() == '*') {
                CloseOpenToken();
                SkipBlockComment();
                continue;
            }
            if (IsBlank(c)) {
                CloseOpenToken();
                Advance();
                continue;
            }
            if (open_ != Open::None && Extend(c)) {
                continue;
            }
            CloseOpenToken();
            StartToken(c);
        }
        CloseOpenToken();
        if (!names_only_) {
            CheckBalance();
        }
        end = position_;
        return std::move(tokens_);
    }

  private:
    // The kind of the token being built, when it may still grow.
    enum class Open { None, Word, Number, Dot, Less, Greater, Bar };

    char Next() const { return position_ + 1 < text_.size() ? text_[position_ + 1] : '\0'; }

    void Advance() {
        const auto byte = static_cast<unsigned char>(text_[position_++]);
        if (byte == '\n') {
            ++line_;
            column_ = 1;
        } else if (byte != '\r' && (byte & 0xC0) != 0x80) {
            // A UTF-8 continuation byte belongs to the character already counted.
            ++column_;
        }
    }

    void SkipLineComment() {
        while (position_ < text_.size() && text_[position_] != '\n') {
            Advance();
        }
    }

    void SkipBlockComment() {
        Advance();
        Advance();
        while (position_ < text_.size()) {
            if (text_[position_] == '*' && Next() == '/') {
                Advance();
                Advance();
                return;
            }
            Advance();
        }
    }

    // Adds `c` to the open token when it continues it. Returns false when the open token
    // ends before `c`.
    bool Extend(char c) {
        switch (open_) {
            case Open::Less:
                return (c == '=' || c == '>') && Complete();
            case Open::Greater:
                return c == '=' && Complete();
            case Open::Bar:
                return c == '|' && Complete();
            case Open::Dot:
                if (!IsDigit(c)) {
                    return false;
                }
                open_ = Open::Number;
                Append();
                return true;
            case Open::Word:
                if (EndsEveryToken(c) || c == '.' || c == '+' || c == '-') {
                    return false;
                }
                Append();
                return true;
            case Open::Number:
                return ExtendNumber(c);
            case Open::None:
                break;
        }
        return false;
    }

    bool ExtendNumber(char c) {
        if (EndsEveryToken(c)) {
            return false;
        }
        if (c == '+' || c == '-') {
            if (!IsExponent(open_text_.back())) {
                return false;
            }
        } else if (!IsDigit(c) && c != '.' && !IsExponent(c)) {
            throw ESQLMemException::Formatted(kInvalidNumericSymbolCode,
                                              "Invalid numeric symbol '" + CharacterAt(position_) +
                                                  "'" + AtPosition(line_, column_));
        }
        Append();
        return true;
    }

    // The whole UTF-8 character that starts at `at`, as valid text for a message.
    std::string CharacterAt(size_t at) const {
        const auto lead = static_cast<unsigned char>(text_[at]);
        size_t length = lead < 0x80    ? 1
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC0 ? 2
                                       : 1;
        length = std::min(length, text_.size() - at);
        return ToValidUtf8(text_.substr(at, length));
    }

    // Finishes a two-character operator.
    bool Complete() {
        Append();
        CloseOpenToken();
        return true;
    }

    void Append() {
        open_text_.push_back(text_[position_]);
        Advance();
    }

    void StartToken(char c) {
        open_line_ = line_;
        open_column_ = column_;
        switch (c) {
            case '\'':
            case '"':
                ReadString(c, tktQuotedString);
                return;
            case '[':
                ReadString(']', tktBracketedString);
                return;
            case '(':
                open_parentheses_.push_back({line_, column_});
                Emit(tktLeftParenthesis, "(");
                Advance();
                return;
            case ')':
                if (open_parentheses_.empty()) {
                    unmatched_right_ = {line_, column_};
                } else {
                    open_parentheses_.pop_back();
                }
                Emit(tktRightParenthesis, ")");
                Advance();
                return;
            case ',':
                Emit(tktComma, ",");
                Advance();
                return;
            case '+':
            case '-':
            case '*':
            case '/':
            case '=':
                Emit(tktString, std::string(1, c));
                Advance();
                return;
            case '.':
                open_ = Open::Dot;
                break;
            case '<':
                open_ = Open::Less;
                break;
            case '>':
                open_ = Open::Greater;
                break;
            case '|':
                open_ = Open::Bar;
                break;
            default:
                open_ = IsDigit(c) ? Open::Number : Open::Word;
                break;
        }
        Append();
    }

    // A quoted or bracketed string from its opening character to its closing one; two
    // closing characters in a row stand for one. At the end of the text the string stays
    // open, which the command's end check reports.
    void ReadString(char closing, TTokenType type) {
        const Position opening{line_, column_};
        Advance();
        std::string content;
        while (position_ < text_.size()) {
            if (text_[position_] == closing) {
                if (Next() != closing) {
                    Advance();
                    Emit(type, std::move(content));
                    return;
                }
                Advance();
            }
            content.push_back(text_[position_]);
            Advance();
        }
        unterminated_string_ = opening;
    }

    void CloseOpenToken() {
        if (open_ == Open::None) {
            return;
        }
        const Open kind = std::exchange(open_, Open::None);
        std::string text = std::exchange(open_text_, std::string());
        switch (kind) {
            case Open::Number: {
                const bool is_float = text.find_first_of(".Ee") != std::string::npos;
                Emit(is_float ? tktFloat : tktInt, std::move(text));
                return;
            }
            case Open::Dot:
                Emit(tktDot, std::move(text));
                return;
            case Open::Word:
                CloseWord(text);
                return;
            case Open::Less:
            case Open::Greater:
            case Open::Bar:
            case Open::None:
                Emit(tktString, std::move(text));
                return;
        }
    }

    void CloseWord(std::string& text) {
        if (text.starts_with(':')) {
            std::string name = text.substr(1);
            if (names_only_) {
                Emit(tktParameter, std::move(name));
                return;
            }
            const TSQLMemSQLParam* param = params_ ? params_->GetParamByName(name) : nullptr;
            if (param == nullptr) {
                throw ESQLMemException::Formatted(kParameterNotFoundCode,
                                                  "Value for parameter '" + name + "' not found");
            }
            TToken& token = Emit(tktParameter, std::move(name));
            token.ParamValue = param->Value();
            return;
        }
        const TReservedWord word = FindReservedWord(text);
        TToken& token = Emit(word == rwNone ? tktString : tktReservedWord, std::move(text));
        token.ReservedWord = word;
    }

    // Appends a token that starts at the open token's position.
    TToken& Emit(TTokenType type, std::string text) {
        TToken& token = tokens_.emplace_back();
        token.TokenType = type;
        token.Text = std::move(text);
        token.Line = open_line_;
        token.Column = open_column_;
        return token;
    }

    void CheckBalance() const {
        if (!open_parentheses_.empty()) {
            const Position& at = open_parentheses_.back();
            throw ESQLMemException::Formatted(
                kMissingRightParenthesisCode,
                "Missing symbol ')'" + AtPosition(at.line, at.column));
        }
        if (unmatched_right_) {
            throw ESQLMemException::Formatted(
                kUnexpectedRightParenthesisCode,
                "Unexpected symbol ')' found" +
                    AtPosition(unmatched_right_->line, unmatched_right_->column));
        }
        if (unterminated_string_) {
            throw ESQLMemException::Formatted(
                kUnterminatedStringCode,
                "Unterminated string" +
                    AtPosition(unterminated_string_->line, unterminated_string_->column));
        }
    }

    struct Position {
        int32_t line;
        int32_t column;
    };

    std::string_view text_;
    size_t position_;
    const TSQLMemSQLParams* params_;
    bool names_only_ = false;
    int32_t line_ = 1;
    int32_t column_ = 1;

    std::vector<TToken> tokens_;
    Open open_ = Open::None;
    std::string open_text_;
    int32_t open_line_ = 0;
    int32_t open_column_ = 0;

    // Parentheses are matched as they come, so that the error points at the one that is
    // really left open (or at a `)` that closes nothing), not merely at the last one seen.
    std::vector<Position> open_parentheses_;
    std::optional<Position> unmatched_right_;
    std::optional<Position> unterminated_string_;
};

}  // namespace

TSQLMemLexer::TSQLMemLexer(std::string text, const TSQLMemSQLParams* params)
    : text_(std::move(text)), params_(params) {}

bool TSQLMemLexer::GetNextCommand() {
    tokens_.clear();
    current_token_ = -1;
    ++command_no_;
    size_t end = read_position_;
    command_start_ = read_position_;
    command_terminated_ = false;
    std::vector<TToken> tokens =
        CommandScanner(text_, read_position_, params_).Run(end, command_terminated_);
    read_position_ = end;
    tokens_ = std::move(tokens);
    return !tokens_.empty();
}

std::vector<std::string> TSQLMemLexer::ParameterNames(std::string_view text) {
    std::vector<std::string> names;
    size_t position = 0;
    while (position < text.size()) {
        CommandScanner scanner(text, position, nullptr);
        scanner.SetNamesOnly();
        size_t end = position;
        bool terminated = false;
        std::vector<TToken> tokens;
        try {
            tokens = scanner.Run(end, terminated);
        } catch (const ESQLMemException&) {
            break;
        }
        for (const TToken& token : tokens) {
            if (token.TokenType != tktParameter) {
                continue;
            }
            const bool known =
                std::any_of(names.begin(), names.end(), [&](const std::string& name) {
                    return std::equal(name.begin(), name.end(), token.Text.begin(),
                                      token.Text.end(), [](char a, char b) {
                                          return std::tolower(static_cast<unsigned char>(a)) ==
                                                 std::tolower(static_cast<unsigned char>(b));
                                      });
                });
            if (!known) {
                names.push_back(token.Text);
            }
        }
        if (end <= position) {
            break;
        }
        position = end;
    }
    return names;
}

std::string_view TSQLMemLexer::CommandText() const {
    size_t end = read_position_;
    if (command_terminated_) {
        --end;
    }
    return std::string_view(text_).substr(command_start_, end - command_start_);
}

bool TSQLMemLexer::GetNextToken(TToken& token) {
    if (current_token_ < TokenCount()) {
        ++current_token_;
    }
    return GetCurrentToken(token);
}

bool TSQLMemLexer::GetCurrentToken(TToken& token) const {
    if (current_token_ < 0 || current_token_ >= TokenCount()) {
        return false;
    }
    token = tokens_[static_cast<size_t>(current_token_)];
    return true;
}

bool TSQLMemLexer::LookNextToken(TToken& token) const {
    const int32_t next = current_token_ + 1;
    if (next < 0 || next >= TokenCount()) {
        return false;
    }
    token = tokens_[static_cast<size_t>(next)];
    return true;
}

bool TSQLMemLexer::SetCurrentTokenNo(int32_t token_no, TToken& token) {
    current_token_ = std::clamp(token_no, -1, TokenCount());
    return GetCurrentToken(token);
}

void TSQLMemLexer::SetToken(int32_t token_no, TToken token) {
    if (token_no < 0 || token_no >= TokenCount()) {
        throw std::out_of_range("token number out of range");
    }
    tokens_[static_cast<size_t>(token_no)] = std::move(token);
}

void TSQLMemLexer::InsertToken(int32_t token_no, TToken token) {
    if (token_no < 0 || token_no > TokenCount()) {
        throw std::out_of_range("token number out of range");
    }
    tokens_.insert(tokens_.begin() + token_no, std::move(token));
}

}  // namespace tapir::engine
