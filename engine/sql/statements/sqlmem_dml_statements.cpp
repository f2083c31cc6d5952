#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/sql/statements/sqlmem_statement_util.h"
#include "engine/sql/statements/sqlmem_statements.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {

// --- INSERT -----------------------------------------------------------------------------------

TSQLMemSQLInsert::TSQLMemSQLInsert(TSQLMemLexer& lexer, const TSQLMemCommandContext& context)
    : TSQLMemSQLCommand(lexer, context) {}

TSQLMemSQLInsert::~TSQLMemSQLInsert() = default;

void TSQLMemSQLInsert::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (AtEnd()) {
        RaiseBlankCommand(kInsertBlankCode);
    }
    if (!IsKeyword(token_, "INTO")) {
        RaiseTokenExpected(kInsertIntoCode, "INTO", token_);
    }
    GetNextToken({}, kInsertTableNameCode, kTableNameExpectedFormat, kInsertEndCode);
    if (IsKeyword(token_, "MEMORY")) {
        in_memory_ = true;
        GetNextToken({}, kInsertTableNameCode, kTableNameExpectedFormat, kInsertEndCode);
    }
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kInsertTableNameCode, token_);
    }
    table_name_ = token_.Text;
    GetNextToken({}, kInsertValuesCode,
                 "Token 'VALUES' expected, but '%s' found at line %d, column %d", kInsertEndCode);
    if (IsKeyword(token_, "PASSWORD")) {
        password_ = ParsePassword(kInsertPasswordCode, kInsertEndCode);
        GetNextToken({}, kInsertValuesCode,
                     "Token 'VALUES' expected, but '%s' found at line %d, column %d",
                     kInsertEndCode);
    }
    TToken next;
    const auto starts_query = [&](const TToken& token) {
        return IsKeyword(token, "SELECT") || token.TokenType == tktLeftParenthesis;
    };
    if (token_.TokenType == tktLeftParenthesis && LookNext(next) && !starts_query(next)) {
        NextToken();
        ParseColumnList(columns_, kInsertFieldNameCode, kInsertEndCode);
        if (AtEnd()) {
            RaiseUnexpectedEnd(kInsertEndCode);
        }
        if (token_.TokenType != tktRightParenthesis) {
            RaiseRightParenthesisOrCommaExpected(kInsertColumnCloseCode, token_);
        }
        GetNextToken({}, kInsertValuesCode,
                     "Token 'VALUES' expected, but '%s' found at line %d, column %d",
                     kInsertEndCode);
    }
    if (starts_query(token_)) {
        throw ESQLMemException::Formatted(kInsertValuesCode,
                                          "INSERT from a query is not supported yet (at line " +
                                              std::to_string(token_.Line) + ", column " +
                                              std::to_string(token_.Column) + ")");
    }
    if (!IsKeyword(token_, "VALUES")) {
        RaiseTokenExpected(kInsertValuesCode, "VALUES", token_);
    }
    GetNextToken({tktLeftParenthesis}, kInsertParenthesisCode, kLeftParenthesisExpectedFormat,
                 kInsertEndCode);
    for (;;) {
        GetNextToken({}, kInsertValueCode, "Error parsing parameter '%s' at line %d, column %d",
                     kInsertEndCode);
        TSQLMemExpressionParser parser(lexer_, {});
        std::unique_ptr<TSQLMemExprNode> node = parser.ParseValueExpression();
        if (!node) {
            RaiseFormat(kInsertValueCode, "Error parsing parameter '%s' at line %d, column %d",
                        token_);
        }
        values_.push_back(std::make_unique<TSQLMemExpression>(std::move(node)));
        parser.SyncLexer();
        if (!lexer_.GetCurrentToken(token_)) {
            RaiseUnexpectedEnd(kInsertEndCode);
        }
        if (token_.TokenType == tktRightParenthesis) {
            break;
        }
        if (token_.TokenType != tktComma) {
            RaiseRightParenthesisOrCommaExpected(kInsertColumnCloseCode, token_);
        }
    }
    if (NextToken()) {
        RaiseUnexpectedToken(kInsertTrailingCode, token_);
    }
}

void TSQLMemSQLInsert::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    TSQLMemTable table;
    table.SetTableName(table_name_);
    table.Open();
    try {
        table.Append();
        const size_t available =
            columns_.empty() ? static_cast<size_t>(table.FieldCount()) : columns_.size();
        if (values_.size() > available) {
            throw ESQLMemException::Formatted(kInsertTooManyValuesCode,
                                              "INSERT into table '" + table_name_ + "' gives " +
                                                  std::to_string(values_.size()) + " values for " +
                                                  std::to_string(available) + " columns");
        }
        for (size_t i = 0; i < values_.size(); ++i) {
            TField& field = columns_.empty() ? *table.Fields()[i] : table.FieldByName(columns_[i]);
            TSQLMemVariant value;
            try {
                value = values_[i]->GetValue();
            } catch (const tapir::Exception&) {
                std::string type_name;
                try {
                    type_name = AdvancedTypeName(FieldTypeToAdvancedType(field.DataType()));
                } catch (const ESQLMemException&) {
                    type_name = std::to_string(static_cast<int>(field.DataType()));
                }
                throw ESQLMemException::Formatted(kInsertUndefinedValueCode,
                                                  "Parameter Value undefined (FieldName='" +
                                                      field.FieldName() + "', Type='" + type_name +
                                                      "')");
            }
            SetSQLMemVariantIntoField(value, field);
        }
        table.Post();
    } catch (...) {
        if (table.State() == dsInsert) {
            table.Cancel();
        }
        table.Close();
        throw;
    }
    table.Close();
    rows_affected_ = 1;
}

// --- Transactions -----------------------------------------------------------------------------

void TSQLMemStartTransaction::Parse() {
    // START TRANSACTION, checked by the processor.
    lexer_.SetCurrentTokenNo(2, token_);
    if (!AtEnd()) {
        RaiseUnexpectedToken(kTransactionTrailingCode, token_);
    }
}

void TSQLMemCommit::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (!AtEnd() && IsKeyword(token_, "NOFLUSH")) {
        no_flush_ = true;
        NextToken();
    }
    if (!AtEnd()) {
        RaiseUnexpectedToken(kTransactionTrailingCode, token_);
    }
}

void TSQLMemRollback::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (!AtEnd()) {
        RaiseUnexpectedToken(kTransactionTrailingCode, token_);
    }
}

}  // namespace tapir::engine
