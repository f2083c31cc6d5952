#pragma once
// The SQL layer's side of the table layer's filter seam: Filter texts, SQL conditions and
// Locate's key lists become TSQLMemExpression trees bound to the table's row layout.
// Stateless; one instance serves every thread.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/filter_compiler.h"

namespace tapir::engine {

class TSQLMemExpressionFilterCompiler final : public TSQLMemFilterCompiler {
  public:
    std::unique_ptr<TSQLMemSearchExpression> CompileFilter(const TSQLMemFieldDefs& fields,
                                                           std::string_view text, bool ignore_case,
                                                           bool partial) const override;
    std::unique_ptr<TSQLMemSearchExpression> CompileCondition(const TSQLMemFieldDefs& fields,
                                                              std::string_view text) const override;
    std::unique_ptr<TSQLMemSearchExpression> CompileLocate(
        const TSQLMemFieldDefs& fields, const std::vector<std::string>& field_names,
        const std::vector<TSQLMemVariant>& key_values, bool ignore_case,
        bool partial) const override;

    // The instance the SQL layer installs.
    static const TSQLMemExpressionFilterCompiler& Instance();
    // Installs Instance() as the table layer's compiler.
    static void Install();
};

}  // namespace tapir::engine
