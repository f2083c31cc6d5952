#pragma once
// TSQLMemQuery: the query component. It holds an SQL script and its parameters, runs the
// script through a statement processor, and keeps the result cursor of an opened script
// for the caller to read like any dataset. Used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/sql/lexer/sqlmem_sql_params.h"

namespace tapir::engine {

class TSQLMemDataSet;
class TSQLMemLocalSQLProcessor;

class TSQLMemQuery {
  public:
    TSQLMemQuery();
    TSQLMemQuery(const TSQLMemQuery&) = delete;
    TSQLMemQuery& operator=(const TSQLMemQuery&) = delete;
    ~TSQLMemQuery();

    const std::string& SQL() const { return sql_; }
    // Closes an open result first.
    void SetSQL(std::string sql);
    TSQLMemSQLParams& Params() { return params_; }
    const TSQLMemSQLParams& Params() const { return params_; }
    bool RequestLive() const { return request_live_; }
    void SetRequestLive(bool live) { request_live_ = live; }
    const std::string& DatabaseName() const { return database_name_; }
    void SetDatabaseName(std::string name) { database_name_ = std::move(name); }
    const std::string& SessionName() const { return session_name_; }
    void SetSessionName(std::string name) { session_name_ = std::move(name); }
    // Every table the script names is a memory table.
    bool InMemory() const { return in_memory_; }
    void SetInMemory(bool in_memory) { in_memory_ = in_memory; }

    // Runs the script; a result cursor of its last command is dropped. Errors propagate
    // (ESQLMemException); commands before the failing one have taken effect.
    void ExecSQL();
    // Runs the script and keeps the result cursor of its last command, on its first row.
    // EDatabaseError "Query returned no result set" when the last command has none.
    void Open();
    void Close();
    bool Active() const { return result_ != nullptr; }
    // The open result; nullptr while closed.
    TSQLMemDataSet* Result() const { return result_; }
    bool ResultReadOnly() const;
    // Rows changed by every command of the last run.
    int64_t RowsAffected() const { return rows_affected_; }

  private:
    std::unique_ptr<TSQLMemLocalSQLProcessor> MakeProcessor() const;

    std::string sql_;
    TSQLMemSQLParams params_;
    bool request_live_ = false;
    bool in_memory_ = false;
    std::string database_name_ = "MEMORY";
    std::string session_name_;
    std::unique_ptr<TSQLMemLocalSQLProcessor> processor_;
    TSQLMemDataSet* result_ = nullptr;
    int64_t rows_affected_ = 0;
};

}  // namespace tapir::engine
