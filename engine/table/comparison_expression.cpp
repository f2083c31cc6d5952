#include "engine/table/comparison_expression.h"

#include <string>

#include "engine/record/db_types.h"
#include "engine/record/utf8_text.h"
#include "platform/collation.h"

namespace tapir::engine {

namespace {

using Op = TSQLMemCompareOperator;

bool Is8BitText(TSQLMemBaseFieldType type) { return type == bftChar || type == bftVarchar; }

}  // namespace

TSQLMemComparisonExpression::TSQLMemComparisonExpression(const TSQLMemFieldDefs& fields,
                                                         std::vector<TSQLMemFieldComparison> terms)
    : fields_(fields), terms_(std::move(terms)), taken_(terms_.size(), false) {
    for (const TSQLMemFieldComparison& term : terms_) {
        if (term.FieldNo < 0 || term.FieldNo >= fields_.Count()) {
            throw ESQLMemException(20054, "Pointer is nil");
        }
        if (term.Value.size() < static_cast<size_t>(fields_.DataSize())) {
            throw ESQLMemException(20055, "Pointer is nil");
        }
    }
}

void TSQLMemComparisonExpression::ExtractIndexScanConditions(
    const std::vector<TSQLMemIndexDef>& indexes, const TSQLMemFieldDefs& fields,
    TSQLMemScanSearchConditionArray& bounds) {
    for (size_t t = 0; t < terms_.size(); ++t) {
        const TSQLMemFieldComparison& term = terms_[t];
        if (taken_[t] || term.Partial || term.Operator == Op::NotEqual) {
            continue;
        }
        const TSQLMemFieldDef& field = fields[term.FieldNo];
        if (term.Text && static_cast<int64_t>(Utf8Length(*term.Text)) > field.Size) {
            continue;  // the field holds it cut: as a bound it would be another value
        }
        const Op op = term.ConstantOnLeft ? Mirrored(term.Operator) : term.Operator;
        std::vector<TSQLMemSearchBound> made = MakeIndexBounds(
            indexes, fields, term.FieldNo, op, term.CaseInsensitive, term.Value.data());
        for (TSQLMemSearchBound& bound : made) {
            bounds.AddCondition(std::move(bound));
        }
        taken_[t] = !made.empty();
    }
}

void TSQLMemComparisonExpression::ReturnConditionsToExpressions() {
    taken_.assign(terms_.size(), false);
}

int32_t TSQLMemComparisonExpression::TakenCount() const {
    int32_t count = 0;
    for (const bool taken : taken_) {
        count += taken ? 1 : 0;
    }
    return count;
}

bool TSQLMemComparisonExpression::CannotMatch() const {
    for (const TSQLMemFieldComparison& term : terms_) {
        const TSQLMemFieldDef& field = fields_[term.FieldNo];
        if (term.Operator != Op::Equal || term.Partial || term.CaseInsensitive ||
            !Is8BitText(field.BaseType)) {
            continue;
        }
        if (term.Text && static_cast<int64_t>(Utf8Length(*term.Text)) > field.Size) {
            return true;
        }
    }
    return false;
}

bool TSQLMemComparisonExpression::Holds(const TSQLMemFieldComparison& term,
                                        const std::byte* row) const {
    const TSQLMemFieldDef& field = fields_[term.FieldNo];
    if (IsFieldNull(row, term.FieldNo)) {
        return false;
    }
    int sign = 0;
    if (term.Partial && Is8BitText(field.BaseType)) {
        const std::string stored = GetText(fields_, term.FieldNo, row).value_or(std::string());
        const std::string wanted = term.Text.value_or(
            GetText(fields_, term.FieldNo, term.Value.data()).value_or(std::string()));
        // The stored text's first characters, as many as the constant has.
        const std::string_view head(stored.data(), Utf8PrefixBytes(stored, Utf8Length(wanted)));
        sign = platform::CompareText(head, wanted, term.CaseInsensitive);
    } else if (term.Text && Is8BitText(field.BaseType) &&
               static_cast<int64_t>(Utf8Length(*term.Text)) > field.Size) {
        // The field holds the constant cut: compare with the whole text.
        const std::string stored = GetText(fields_, term.FieldNo, row).value_or(std::string());
        sign = platform::CompareText(stored, *term.Text, term.CaseInsensitive);
    } else {
        sign = OutcomeSign(CompareValues(row + field.MemoryOffset, field.BaseType, false,
                                         term.Value.data() + field.MemoryOffset, field.BaseType,
                                         false, term.CaseInsensitive));
    }
    switch (term.ConstantOnLeft ? Mirrored(term.Operator) : term.Operator) {
        case Op::Equal:
            return sign == 0;
        case Op::NotEqual:
            return sign != 0;
        case Op::Lower:
            return sign < 0;
        case Op::LowerEqual:
            return sign <= 0;
        case Op::Greater:
            return sign > 0;
        case Op::GreaterEqual:
            return sign >= 0;
    }
    return false;
}

bool TSQLMemComparisonExpression::IsRecordMatch(const std::byte* row) {
    for (size_t t = 0; t < terms_.size(); ++t) {
        if (!taken_[t] && !Holds(terms_[t], row)) {
            return false;
        }
    }
    return true;
}

}  // namespace tapir::engine
