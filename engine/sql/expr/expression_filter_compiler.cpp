#include "engine/sql/expr/expression_filter_compiler.h"

#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/expr/sqlmem_expression.h"

namespace tapir::engine {

std::unique_ptr<TSQLMemSearchExpression> TSQLMemExpressionFilterCompiler::CompileFilter(
    const TSQLMemFieldDefs& fields, std::string_view text, bool ignore_case, bool partial) const {
    auto expression = std::make_unique<TSQLMemExpression>();
    ParseForFilter(*expression, fields, text, ignore_case, partial);
    return expression;
}

std::unique_ptr<TSQLMemSearchExpression> TSQLMemExpressionFilterCompiler::CompileCondition(
    const TSQLMemFieldDefs& fields, std::string_view text) const {
    // Statement rules: case kept, exact, null-aware (the expression's defaults).
    auto expression = std::make_unique<TSQLMemExpression>();
    ParseForFilter(*expression, fields, text, false, false);
    return expression;
}

std::unique_ptr<TSQLMemSearchExpression> TSQLMemExpressionFilterCompiler::CompileLocate(
    const TSQLMemFieldDefs& fields, const std::vector<std::string>& field_names,
    const std::vector<TSQLMemVariant>& key_values, bool ignore_case, bool partial) const {
    auto expression = std::make_unique<TSQLMemExpression>();
    ParseForLocate(*expression, fields, field_names, ignore_case, partial, key_values);
    return expression;
}

const TSQLMemExpressionFilterCompiler& TSQLMemExpressionFilterCompiler::Instance() {
    static const TSQLMemExpressionFilterCompiler compiler;
    return compiler;
}

void TSQLMemExpressionFilterCompiler::Install() { SetFilterCompiler(&Instance()); }

}  // namespace tapir::engine
