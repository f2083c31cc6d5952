#include "engine/sql/statements/sqlmem_sql_processor.h"

#include "engine/record/db_types.h"
#include "engine/sql/statements/sqlmem_statement_util.h"
#include "engine/sql/statements/sqlmem_statements.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

TSQLMemLocalSQLProcessor::TSQLMemLocalSQLProcessor(std::string sql, TSQLMemCommandContext context)
    : sql_(std::move(sql)), context_(std::move(context)) {}

TSQLMemLocalSQLProcessor::~TSQLMemLocalSQLProcessor() {
    // The statement reads its lexer until its end.
    command_.reset();
}

TSQLMemDataSet* TSQLMemLocalSQLProcessor::ResultDataset() const {
    return command_ != nullptr ? command_->GetResultDataset() : nullptr;
}

void TSQLMemLocalSQLProcessor::Run(bool keep_tree) {
    command_.reset();
    rows_affected_ = 0;
    read_only_ = true;
    lexer_ = std::make_unique<TSQLMemLexer>(sql_, context_.Params);
    while (lexer_->GetNextCommand()) {
        command_.reset();
        command_ = CreateCommand(*lexer_);
        command_->Parse();
        bool read_only = true;
        command_->ExecSQL(keep_tree, read_only, context_.RequestLive);
        rows_affected_ += command_->RowsAffected();
        read_only_ = read_only;
        if (TSQLMemDataSet* result = command_->GetResultDataset();
            result != nullptr && result->Active()) {
            result->First();
        }
    }
}

std::unique_ptr<TSQLMemSQLCommand> TSQLMemLocalSQLProcessor::CreateCommand(
    TSQLMemLexer& lexer) const {
    TToken first;
    if (!lexer.GetNextToken(first)) {
        throw ESQLMemException::Formatted(kBlankSQLCommandCode, "Blank SQL command");
    }
    TToken second;
    const bool has_second = lexer.LookNextToken(second);
    auto raise = [](int code, std::string_view format, const TToken& token) {
        throw ESQLMemException::Formatted(
            code, FormatTokenMessage(format, token.Text, token.Line, token.Column));
    };
    auto raise_end = [&](int code) {
        const TToken& last = lexer.Tokens().back();
        throw ESQLMemException::Formatted(
            code, FormatTokenMessage(kUnexpectedEndFormat, "", last.Line, last.Column));
    };
    // The statement reads its command from the first token.
    TToken unused;
    lexer.SetCurrentTokenNo(0, unused);
    if (first.TokenType == tktLeftParenthesis || IsKeyword(first, "SELECT")) {
        std::unique_ptr<TSQLMemSQLCommand> query = MakeQueryCommand(lexer, context_);
        if (query == nullptr) {
            throw ESQLMemException::Formatted(kUnknownKeywordCode,
                                              "Queries are not available: no query layer is "
                                              "installed (at line " +
                                                  std::to_string(first.Line) + ", column " +
                                                  std::to_string(first.Column) + ")");
        }
        return query;
    }
    if (first.TokenType != tktReservedWord && first.TokenType != tktString) {
        raise(kUnknownTokenCode, kSQLTokenExpectedFormat, first);
    }
    if (IsKeyword(first, "CREATE")) {
        if (!has_second) {
            raise_end(kCreateObjectEndCode);
        }
        if (IsKeyword(second, "TABLE")) {
            return std::make_unique<TSQLMemDDLCreateTable>(lexer, context_);
        }
        if (IsKeyword(second, "UNIQUE") || IsKeyword(second, "INDEX")) {
            return std::make_unique<TSQLMemDDLCreateIndex>(lexer, context_);
        }
        raise(kCreateObjectTypeCode, kObjectTypeExpectedFormat, second);
    }
    if (IsKeyword(first, "DROP")) {
        if (!has_second) {
            raise_end(kDropObjectEndCode);
        }
        if (IsKeyword(second, "TABLE")) {
            return std::make_unique<TSQLMemDDLDropTable>(lexer, context_);
        }
        if (IsKeyword(second, "INDEX")) {
            return std::make_unique<TSQLMemDDLDropIndex>(lexer, context_);
        }
        raise(kDropObjectTypeCode, kObjectTypeExpectedFormat, second);
    }
    if (IsKeyword(first, "ALTER")) {
        if (!has_second) {
            raise_end(kAlterObjectEndCode);
        }
        if (!IsKeyword(second, "TABLE")) {
            raise(kAlterObjectTypeCode, kObjectTypeExpectedFormat, second);
        }
        return std::make_unique<TSQLMemDDLAlterTable>(lexer, context_);
    }
    if (IsKeyword(first, "RENAME")) {
        if (!has_second) {
            throw ESQLMemException::Formatted(kRenameBlankCode, "Blank SQL command");
        }
        return std::make_unique<TSQLMemDDLRenameTable>(lexer, context_);
    }
    if (IsKeyword(first, "START")) {
        if (!has_second) {
            raise_end(kStartTransactionEndCode);
        }
        if (!IsKeyword(second, "TRANSACTION")) {
            raise(kStartTransactionTokenCode, kSQLTokenExpectedFormat, second);
        }
        return std::make_unique<TSQLMemStartTransaction>(lexer, context_);
    }
    if (IsKeyword(first, "COMMIT")) {
        return std::make_unique<TSQLMemCommit>(lexer, context_);
    }
    if (IsKeyword(first, "ROLLBACK")) {
        return std::make_unique<TSQLMemRollback>(lexer, context_);
    }
    if (IsKeyword(first, "INSERT")) {
        return std::make_unique<TSQLMemSQLInsert>(lexer, context_);
    }
    if (IsKeyword(first, "UPDATE")) {
        return std::make_unique<TSQLMemSQLUpdate>(lexer, context_);
    }
    if (IsKeyword(first, "DELETE")) {
        return std::make_unique<TSQLMemSQLDelete>(lexer, context_);
    }
    raise(first.TokenType == tktReservedWord ? kUnknownKeywordCode : kUnknownTokenCode,
          kSQLTokenExpectedFormat, first);
    return nullptr;
}

}  // namespace tapir::engine
