#pragma once
// The statement processor: cuts an SQL script into commands, picks each command's
// statement class by its first tokens, parses and runs it at once, and adds up the rows
// the commands changed. The result of a script is the result cursor of its last command.
// A processor belongs to one query run on the caller's thread.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/sql/command/sqlmem_sql_command.h"

namespace tapir::engine {

class TSQLMemDataSet;
class TSQLMemSQLParams;

class TSQLMemLocalSQLProcessor {
  public:
    // `context.Params` (may be null) is borrowed and must outlive the processor.
    TSQLMemLocalSQLProcessor(std::string sql, TSQLMemCommandContext context);
    TSQLMemLocalSQLProcessor(const TSQLMemLocalSQLProcessor&) = delete;
    TSQLMemLocalSQLProcessor& operator=(const TSQLMemLocalSQLProcessor&) = delete;
    ~TSQLMemLocalSQLProcessor();

    // Run the script; OpenQuery keeps the query's operator tree with its result.
    // An error stops the script (commands before it have taken effect) and propagates.
    void OpenQuery() { Run(true); }
    void ExecuteQuery() { Run(false); }

    // The result cursor of the last command; nullptr when it has none. Owned by the
    // processor and valid until the next run or the processor's end.
    TSQLMemDataSet* ResultDataset() const;
    // Whether the result cursor can be edited.
    bool ResultReadOnly() const { return read_only_; }
    // Rows changed by every command of the last run.
    int64_t RowsAffected() const { return rows_affected_; }

  private:
    void Run(bool keep_tree);
    // The statement for the lexer's current command (the lexer before its first token).
    std::unique_ptr<TSQLMemSQLCommand> CreateCommand(TSQLMemLexer& lexer) const;

    std::string sql_;
    TSQLMemCommandContext context_;
    std::unique_ptr<TSQLMemLexer> lexer_;
    std::unique_ptr<TSQLMemSQLCommand> command_;
    int64_t rows_affected_ = 0;
    bool read_only_ = true;
};

}  // namespace tapir::engine
