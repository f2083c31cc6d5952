#pragma once
// TSQLMemComparisonExpression: the conjunction of comparisons of a field with a constant
// (`Name = 'ZDF' AND Begin >= 45000`), the form that Locate, FindKey-like searches and
// simple filters take. It offers each comparison an index can serve to the condition
// search and tests rows with the rest. Comparisons follow the engine's value rules: a
// null field makes a comparison false; text compares with the collation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/record/record_buffer.h"
#include "engine/table/condition_search.h"
#include "engine/table/index_bound.h"

namespace tapir::engine {

struct TSQLMemFieldComparison {
    int32_t FieldNo = 0;
    TSQLMemCompareOperator Operator = TSQLMemCompareOperator::Equal;
    // A buffer in row layout holding the constant (not null) in the field's place.
    std::vector<std::byte> Value;
    // A text constant as given: it may be longer than the field, which holds it cut.
    std::optional<std::string> Text;
    // The constant stands on the left (`5 < x`).
    bool ConstantOnLeft = false;
    bool CaseInsensitive = false;
    // Text only: the field's first characters, as many as the constant has, are compared.
    bool Partial = false;
};

class TSQLMemComparisonExpression final : public TSQLMemSearchExpression {
  public:
    // Requires: `fields` outlives the expression; each Value is at least DataSize() bytes.
    TSQLMemComparisonExpression(const TSQLMemFieldDefs& fields,
                                std::vector<TSQLMemFieldComparison> terms);

    // A comparison qualifies for an index when the field is the index's first column,
    // the operator is not <>, it is not partial and, for text, the column's case rule is
    // the comparison's. The first index in definition order that qualifies takes it as a
    // one-field bound in its key order (descending columns turn < into >).
    void ExtractIndexScanConditions(const std::vector<TSQLMemIndexDef>& indexes,
                                    const TSQLMemFieldDefs& fields,
                                    TSQLMemScanSearchConditionArray& bounds) override;
    void ReturnConditionsToExpressions() override;
    // Equality of a text field with a constant longer than the field (case kept).
    bool CannotMatch() const override;
    bool IsRecordMatch(const std::byte* row) override;

    // Comparisons taken by an index for the search in progress.
    int32_t TakenCount() const;

  private:
    bool Holds(const TSQLMemFieldComparison& term, const std::byte* row) const;

    const TSQLMemFieldDefs& fields_;
    std::vector<TSQLMemFieldComparison> terms_;
    std::vector<bool> taken_;
};

}  // namespace tapir::engine
