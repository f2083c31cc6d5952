#pragma once
// Turning one comparison `field op constant` into a key bound that an index can scan: the
// choice of the first index that can serve it and the bound in that index's key order.
// Shared by every kind of search expression. Stateless.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/record/record_buffer.h"
#include "engine/table/condition_search.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

enum class TSQLMemCompareOperator { Equal, NotEqual, Lower, LowerEqual, Greater, GreaterEqual };

// `5 < x` reads as `x > 5`: the operator seen from the other side.
TSQLMemCompareOperator Mirrored(TSQLMemCompareOperator op);

// The condition in an index's key order for `field op constant` (field on the left);
// scNone for <>.
TSQLMemSearchCondition InKeyOrder(TSQLMemCompareOperator op, bool descending);

// The one-field bounds of `field op constant` on the first index (definition order) whose
// first column is the field and, for a text field, whose case rule is `case_insensitive`;
// empty when none qualifies or the operator is <>. `value_row` is a row-layout buffer (at
// least fields.DataSize() bytes) holding the constant in the field's place. An index keeps
// null keys below every value, so `<` and `<=` come with a second bound that leaves the
// nulls out: a comparison with a value never holds for a null field.
std::vector<TSQLMemSearchBound> MakeIndexBounds(const std::vector<TSQLMemIndexDef>& indexes,
                                                const TSQLMemFieldDefs& fields, int32_t field_no,
                                                TSQLMemCompareOperator op, bool case_insensitive,
                                                const std::byte* value_row);

}  // namespace tapir::engine
