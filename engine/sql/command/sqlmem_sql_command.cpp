#include "engine/sql/command/sqlmem_sql_command.h"

#include <algorithm>

#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "engine/table/field.h"

namespace tapir::engine {

std::string FormatTokenMessage(std::string_view format, std::string_view text, int32_t line,
                               int32_t column) {
    std::string out;
    out.reserve(format.size() + text.size() + 16);
    bool text_used = false;
    int numbers_used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            const char kind = format[i + 1];
            if (kind == 's' && !text_used) {
                out += text;
                text_used = true;
                ++i;
                continue;
            }
            if (kind == 'd' && numbers_used < 2) {
                out += std::to_string(numbers_used == 0 ? line : column);
                ++numbers_used;
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

TSQLMemSQLCommand::TSQLMemSQLCommand(TSQLMemLexer& lexer, const TSQLMemCommandContext& context)
    : lexer_(lexer), context_(context) {
    lexer_.GetCurrentToken(token_);
}

TSQLMemSQLCommand::~TSQLMemSQLCommand() = default;

bool TSQLMemSQLCommand::NextToken() { return lexer_.GetNextToken(token_); }

void TSQLMemSQLCommand::GetNextToken(std::initializer_list<TTokenType> allowed, int code,
                                     std::string_view format, int end_code) {
    if (!lexer_.GetNextToken(token_)) {
        RaiseUnexpectedEnd(end_code != 0 ? end_code : code);
    }
    if (allowed.size() != 0 &&
        std::find(allowed.begin(), allowed.end(), token_.TokenType) == allowed.end()) {
        RaiseFormat(code, format, token_);
    }
}

bool TSQLMemSQLCommand::IsSymbol(std::string_view text) const {
    return !AtEnd() && token_.TokenType == tktString && SameName(token_.Text, std::string(text));
}

bool IsKeyword(const TToken& token, std::string_view word) {
    return (token.TokenType == tktString || token.TokenType == tktReservedWord) &&
           token.Text.size() == word.size() && SameName(token.Text, std::string(word));
}

bool IsNameToken(const TToken& token) {
    return token.TokenType == tktString || token.TokenType == tktQuotedString ||
           token.TokenType == tktBracketedString;
}

std::vector<TSQLKeyColumn> TSQLMemSQLCommand::ParseKeyColumns(int name_code, int end_code,
                                                              int close_code) {
    std::vector<TSQLKeyColumn> columns;
    for (;;) {
        GetNextToken({}, name_code, kFieldNameExpectedFormat, end_code);
        if (!IsNameToken(token_)) {
            RaiseFieldNameExpected(name_code, token_);
        }
        TSQLKeyColumn column{token_.Text};
        GetNextToken({}, close_code, kRightParenthesisOrCommaExpectedFormat, end_code);
        if (IsKeyword(token_, "ASC") || IsKeyword(token_, "DESC")) {
            column.Descending = IsKeyword(token_, "DESC");
            GetNextToken({}, close_code, kRightParenthesisOrCommaExpectedFormat, end_code);
        }
        if (IsKeyword(token_, "CASE") || IsKeyword(token_, "NOCASE")) {
            column.CaseInsensitive = IsKeyword(token_, "NOCASE");
            GetNextToken({}, close_code, kRightParenthesisOrCommaExpectedFormat, end_code);
        }
        columns.push_back(std::move(column));
        if (token_.TokenType == tktRightParenthesis) {
            return columns;
        }
        if (token_.TokenType != tktComma) {
            RaiseRightParenthesisOrCommaExpected(close_code, token_);
        }
    }
}

std::string TSQLMemSQLCommand::ParsePassword(int code, int end_code) {
    if (!IsKeyword(token_, "PASSWORD")) {
        RaiseUnexpectedToken(code, token_);
    }
    GetNextToken({tktQuotedString}, code, kQuotedPasswordExpectedFormat, end_code);
    return token_.Text;
}

void TSQLMemSQLCommand::ParseColumnList(std::vector<std::string>& list, int name_code,
                                        int end_code) {
    for (;;) {
        if (AtEnd()) {
            RaiseUnexpectedEnd(end_code);
        }
        if (!IsNameToken(token_)) {
            RaiseFieldNameExpected(name_code, token_);
        }
        list.push_back(token_.Text);
        if (!NextToken() || token_.TokenType != tktComma) {
            return;
        }
        if (!NextToken()) {
            RaiseUnexpectedEnd(end_code);
        }
    }
}

void TSQLMemSQLCommand::ParseFieldList(std::vector<std::string>& fields, int name_code,
                                       int end_code) {
    for (;;) {
        if (AtEnd()) {
            RaiseUnexpectedEnd(end_code);
        }
        if (!IsNameToken(token_)) {
            RaiseFieldNameExpected(name_code, token_);
        }
        std::string name = token_.Text;
        if (NextToken() && token_.TokenType == tktDot) {
            if (!NextToken()) {
                RaiseUnexpectedEnd(end_code);
            }
            if (!IsNameToken(token_)) {
                RaiseFieldNameExpected(name_code, token_);
            }
            name += "." + token_.Text;
            NextToken();
        }
        fields.push_back(std::move(name));
        if (AtEnd() || token_.TokenType != tktComma) {
            return;
        }
        if (!NextToken()) {
            RaiseUnexpectedEnd(end_code);
        }
    }
}

void TSQLMemSQLCommand::RaiseFormat(int code, std::string_view format, const TToken& token) const {
    throw ESQLMemException::Formatted(
        code, FormatTokenMessage(format, token.Text, token.Line, token.Column));
}

void TSQLMemSQLCommand::RaiseSQLTokenExpected(int code, const TToken& token) const {
    RaiseFormat(code, kSQLTokenExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseObjectTypeExpected(int code, const TToken& token) const {
    RaiseFormat(code, kObjectTypeExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseUnexpectedEnd(int code) const {
    const auto& tokens = lexer_.Tokens();
    const int32_t line = tokens.empty() ? 1 : tokens.back().Line;
    const int32_t column = tokens.empty() ? 1 : tokens.back().Column;
    throw ESQLMemException::Formatted(code,
                                      FormatTokenMessage(kUnexpectedEndFormat, "", line, column));
}

void TSQLMemSQLCommand::RaiseUnexpectedToken(int code, const TToken& token) const {
    RaiseFormat(code, kUnexpectedTokenFormat, token);
}

void TSQLMemSQLCommand::RaiseTokenExpected(int code, std::string_view wanted,
                                           const TToken& token) const {
    RaiseFormat(
        code, "Token '" + std::string(wanted) + "' expected, but '%s' found at line %d, column %d",
        token);
}

void TSQLMemSQLCommand::RaiseTableNameExpected(int code, const TToken& token) const {
    RaiseFormat(code, kTableNameExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseFieldNameExpected(int code, const TToken& token) const {
    RaiseFormat(code, kFieldNameExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseFieldListExpected(int code, const TToken& token) const {
    RaiseFormat(code, kFieldListExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseFieldPseudonymExpected(int code, const TToken& token) const {
    RaiseFormat(code, kFieldPseudonymExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseFieldTypeExpected(int code, const TToken& token) const {
    RaiseFormat(code, kFieldTypeExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseSortItemExpected(int code, const TToken& token) const {
    RaiseFormat(code, kSortItemExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseExpressionExpected(int code, const TToken& token) const {
    RaiseFormat(code, kExpressionExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseIntegerExpected(int code, const TToken& token) const {
    RaiseFormat(code, kIntegerExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseDecimalExpected(int code, const TToken& token) const {
    RaiseFormat(code, kDecimalExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseLeftParenthesisExpected(int code, const TToken& token) const {
    RaiseFormat(code, kLeftParenthesisExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseRightParenthesisOrCommaExpected(int code, const TToken& token) const {
    RaiseFormat(code, kRightParenthesisOrCommaExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseQuotedPasswordExpected(int code, const TToken& token) const {
    RaiseFormat(code, kQuotedPasswordExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseKeywordExpected(int code, std::string_view keyword,
                                             const TToken& token) const {
    RaiseFormat(
        code,
        "'" + std::string(keyword) + "' keyword expected, but '%s' found at line %d, column %d",
        token);
}

void TSQLMemSQLCommand::RaiseIndexNameExpected(int code, const TToken& token) const {
    RaiseFormat(code, kIndexNameExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseNullExpected(int code, const TToken& token) const {
    RaiseFormat(code, kNullExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseConstraintNameExpected(int code, const TToken& token) const {
    RaiseFormat(code, kConstraintNameExpectedFormat, token);
}

void TSQLMemSQLCommand::RaiseBlankCommand(int code) const {
    throw ESQLMemException::Formatted(code, "Blank SQL command");
}

void TSQLMemSQLCommand::SetSQLMemVariantIntoField(const TSQLMemVariant& value, TField& field) {
    if (value.IsNull()) {
        field.Clear();
        return;
    }
    TSQLMemBaseFieldType base = value.BaseType();
    try {
        base = AdvancedToBaseType(FieldTypeToAdvancedType(field.DataType()));
    } catch (const ESQLMemException&) {
        // A field type without a row in the type table takes the value as it is.
    }
    const TSQLMemVariant typed =
        TSQLMemVariant::CanCast(value.BaseType(), base) ? value.Cast(base) : value;
    switch (base) {
        case bftSignedInt8:
        case bftSignedInt16:
        case bftSignedInt32:
        case bftSignedInt64:
        case bftUnsignedInt8:
        case bftUnsignedInt16:
        case bftUnsignedInt32:
            field.SetAsLargeint(typed.AsInteger());
            break;
        case bftSingle:
        case bftDouble:
        case bftExtended:
        case bftCurrency:
            field.SetAsFloat(typed.AsFloat());
            break;
        case bftDate:
        case bftTime:
        case bftDateTime:
            field.SetAsDateTime(typed.AsDateTime());
            break;
        case bftLogical:
            field.SetAsBoolean(typed.AsBoolean());
            break;
        case bftBlob:
        case bftBytes:
        case bftVarBytes:
            field.SetAsString(typed.AsBytes());
            break;
        default:
            field.SetAsString(typed.AsText());
            break;
    }
}

namespace {

TSQLMemQueryCommandFactory& QueryCommandFactory() {
    static TSQLMemQueryCommandFactory factory = nullptr;
    return factory;
}

}  // namespace

void SetQueryCommandFactory(TSQLMemQueryCommandFactory factory) { QueryCommandFactory() = factory; }

std::unique_ptr<TSQLMemSQLCommand> MakeQueryCommand(TSQLMemLexer& lexer,
                                                    const TSQLMemCommandContext& context) {
    const TSQLMemQueryCommandFactory factory = QueryCommandFactory();
    return factory != nullptr ? factory(lexer, context) : nullptr;
}

}  // namespace tapir::engine
