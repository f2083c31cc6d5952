#include "engine/sql/statements/sqlmem_query.h"

#include "engine/record/db_types.h"
#include "engine/sql/statements/sqlmem_sql_processor.h"

namespace tapir::engine {

TSQLMemQuery::TSQLMemQuery() = default;

TSQLMemQuery::~TSQLMemQuery() { Close(); }

void TSQLMemQuery::SetSQL(std::string sql) {
    Close();
    sql_ = std::move(sql);
}

std::unique_ptr<TSQLMemLocalSQLProcessor> TSQLMemQuery::MakeProcessor() const {
    TSQLMemCommandContext context;
    context.DatabaseName = database_name_;
    context.SessionName = session_name_;
    context.InMemory = in_memory_;
    context.RequestLive = request_live_;
    context.Params = &params_;
    return std::make_unique<TSQLMemLocalSQLProcessor>(sql_, std::move(context));
}

void TSQLMemQuery::ExecSQL() {
    Close();
    rows_affected_ = 0;
    std::unique_ptr<TSQLMemLocalSQLProcessor> processor = MakeProcessor();
    try {
        processor->ExecuteQuery();
    } catch (...) {
        rows_affected_ = processor->RowsAffected();
        throw;
    }
    rows_affected_ = processor->RowsAffected();
}

void TSQLMemQuery::Open() {
    Close();
    rows_affected_ = 0;
    std::unique_ptr<TSQLMemLocalSQLProcessor> processor = MakeProcessor();
    try {
        processor->OpenQuery();
    } catch (...) {
        rows_affected_ = processor->RowsAffected();
        throw;
    }
    rows_affected_ = processor->RowsAffected();
    if (processor->ResultDataset() == nullptr) {
        throw EDatabaseError("Query returned no result set");
    }
    processor_ = std::move(processor);
    result_ = processor_->ResultDataset();
}

void TSQLMemQuery::Close() {
    result_ = nullptr;
    processor_.reset();
}

bool TSQLMemQuery::ResultReadOnly() const {
    return processor_ == nullptr || processor_->ResultReadOnly();
}

}  // namespace tapir::engine
