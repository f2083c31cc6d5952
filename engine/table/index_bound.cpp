#include "engine/table/index_bound.h"

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

bool IsText(TSQLMemBaseFieldType type) {
    return type == bftChar || type == bftVarchar || type == bftWideChar || type == bftWideVarchar;
}

}  // namespace

TSQLMemCompareOperator Mirrored(TSQLMemCompareOperator op) {
    using Op = TSQLMemCompareOperator;
    switch (op) {
        case Op::Lower:
            return Op::Greater;
        case Op::LowerEqual:
            return Op::GreaterEqual;
        case Op::Greater:
            return Op::Lower;
        case Op::GreaterEqual:
            return Op::LowerEqual;
        default:
            return op;
    }
}

TSQLMemSearchCondition InKeyOrder(TSQLMemCompareOperator op, bool descending) {
    using Op = TSQLMemCompareOperator;
    switch (op) {
        case Op::Equal:
            return scEqual;
        case Op::Greater:
            return descending ? scLower : scGreater;
        case Op::Lower:
            return descending ? scGreater : scLower;
        case Op::GreaterEqual:
            return descending ? scLowerEqual : scGreaterEqual;
        case Op::LowerEqual:
            return descending ? scGreaterEqual : scLowerEqual;
        case Op::NotEqual:
            break;
    }
    return scNone;
}

std::vector<TSQLMemSearchBound> MakeIndexBounds(const std::vector<TSQLMemIndexDef>& indexes,
                                                const TSQLMemFieldDefs& fields, int32_t field_no,
                                                TSQLMemCompareOperator op, bool case_insensitive,
                                                const std::byte* value_row) {
    using Op = TSQLMemCompareOperator;
    std::vector<TSQLMemSearchBound> bounds;
    if (op == Op::NotEqual || field_no < 0 || field_no >= fields.Count()) {
        return bounds;
    }
    const TSQLMemFieldDef& field = fields[field_no];
    for (size_t i = 0; i < indexes.size(); ++i) {
        const TSQLMemIndexDef& index = indexes[i];
        if (index.Columns.empty() || !SameName(index.Columns.front().FieldName, field.Name)) {
            continue;
        }
        const TSQLMemIndexColumn& column = index.Columns.front();
        if (IsText(field.BaseType) && column.CaseInsensitive != case_insensitive) {
            continue;
        }
        TSQLMemSearchBound bound;
        bound.Condition = InKeyOrder(op, column.Descending);
        bound.Key.assign(value_row, value_row + fields.DataSize());
        bound.Key.resize(static_cast<size_t>(fields.KeyBufferSize()), std::byte{0});
        bound.KeyFieldCount = 1;
        bound.IndexNo = static_cast<int32_t>(i);
        if (op == Op::Lower || op == Op::LowerEqual) {
            // Past the null keys, which sort below every value.
            TSQLMemSearchBound not_null = bound;
            not_null.Condition = InKeyOrder(Op::Greater, column.Descending);
            SetFieldNull(not_null.Key.data(), field_no, true);
            bounds.push_back(std::move(bound));
            bounds.push_back(std::move(not_null));
        } else {
            bounds.push_back(std::move(bound));
        }
        return bounds;
    }
    return bounds;
}

}  // namespace tapir::engine
