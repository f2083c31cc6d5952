#include "engine/sql/statements/sqlmem_query.h"

#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/query/sqlmem_value_conversion.h"
#include "engine/sql/statements/sqlmem_sql_processor.h"
#include "engine/table/data_source.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

TSQLMemQuery::TSQLMemQuery() = default;

TSQLMemQuery::~TSQLMemQuery() { Close(); }

namespace {

// A parameter no one gave a value: a null of no type.
bool HasNoValue(const TSQLMemSQLParam& param) {
    return param.IsNull() && param.BaseType() == bftUnknown;
}

}  // namespace

void TSQLMemQuery::SetSQL(std::string sql) {
    Close();
    sql_ = std::move(sql);
    if (!param_check_) {
        return;
    }
    TSQLMemSQLParams params;
    for (std::string& name : TSQLMemLexer::ParameterNames(sql_)) {
        const TSQLMemSQLParam* old = params_.GetParamByName(name);
        params.Add(std::move(name), old != nullptr ? old->Value() : TSQLMemVariant());
    }
    params_ = std::move(params);
}

void TSQLMemQuery::BindParams() {
    bound_params_ = params_;
    TSQLMemDataSet* dataset = data_source_ != nullptr ? data_source_->DataSet() : nullptr;
    if (dataset == nullptr || !dataset->Active() || dataset->IsEmpty()) {
        return;
    }
    for (int32_t i = 0; i < bound_params_.Count(); ++i) {
        TSQLMemSQLParam& param = bound_params_.Items(i);
        if (!HasNoValue(param)) {
            continue;
        }
        const TField* field = dataset->FindField(param.Name());
        if (field == nullptr) {
            continue;
        }
        TSQLMemAdvancedFieldType type = aftUnknown;
        try {
            type = FieldTypeToAdvancedType(field->DataType());
        } catch (const ESQLMemException&) {
            continue;
        }
        param.SetValue(VariantFromFieldValue(field->Value(), type));
    }
}

std::unique_ptr<TSQLMemLocalSQLProcessor> TSQLMemQuery::MakeProcessor() const {
    TSQLMemCommandContext context;
    context.DatabaseName = database_name_;
    context.SessionName = session_name_;
    context.InMemory = in_memory_;
    context.RequestLive = request_live_;
    context.Params = &bound_params_;
    return std::make_unique<TSQLMemLocalSQLProcessor>(sql_, std::move(context));
}

void TSQLMemQuery::ExecSQL() {
    Close();
    rows_affected_ = 0;
    BindParams();
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
    BindParams();
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
