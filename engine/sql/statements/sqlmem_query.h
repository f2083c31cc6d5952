#pragma once
// TSQLMemQuery: the query component. It holds an SQL script and its parameters, runs the
// script through a statement processor, and keeps the result cursor of an opened script
// for the caller to read like any dataset. Used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/sql/lexer/sqlmem_sql_params.h"

namespace tapir::engine {

class TDataSource;
class TSQLMemDataSet;
class TSQLMemLocalSQLProcessor;

class TSQLMemQuery {
  public:
    TSQLMemQuery();
    TSQLMemQuery(const TSQLMemQuery&) = delete;
    TSQLMemQuery& operator=(const TSQLMemQuery&) = delete;
    ~TSQLMemQuery();

    const std::string& SQL() const { return sql_; }
    // Closes an open result first. With ParamCheck, Params becomes the list of the
    // parameters the text uses (each once, in the order of first use); a parameter that
    // was in the list before keeps its value, a new one has none.
    void SetSQL(std::string sql);
    TSQLMemSQLParams& Params() { return params_; }
    const TSQLMemSQLParams& Params() const { return params_; }
    // Whether setting SQL rebuilds Params from the text (default true); false leaves the
    // list as the caller made it.
    bool ParamCheck() const { return param_check_; }
    void SetParamCheck(bool check) { param_check_ = check; }
    // A parameter that has no value (a null of no type, as ParamCheck makes it) takes,
    // when the script runs, the value of the field of the same name (letter case ignored)
    // in the current row of this data source's dataset; it stays null when the data source
    // names no open dataset with rows or the dataset has no such field. Borrowed: the
    // data source must outlive this query or be reset to nullptr first.
    TDataSource* DataSource() const { return data_source_; }
    void SetDataSource(TDataSource* source) { data_source_ = source; }
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
    // Takes the parameters the script runs with: Params, those without a value filled
    // from the data source.
    void BindParams();
    std::unique_ptr<TSQLMemLocalSQLProcessor> MakeProcessor() const;

    std::string sql_;
    TSQLMemSQLParams params_;
    // What the running script reads: Params with the data source's values filled in.
    TSQLMemSQLParams bound_params_;
    bool param_check_ = true;
    TDataSource* data_source_ = nullptr;
    bool request_live_ = false;
    bool in_memory_ = false;
    std::string database_name_ = "MEMORY";
    std::string session_name_;
    std::unique_ptr<TSQLMemLocalSQLProcessor> processor_;
    TSQLMemDataSet* result_ = nullptr;
    int64_t rows_affected_ = 0;
};

}  // namespace tapir::engine
