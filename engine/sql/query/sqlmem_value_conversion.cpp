#include "engine/sql/query/sqlmem_value_conversion.h"

#include <string>
#include <variant>

namespace tapir::engine {

TSQLMemVariant VariantFromFieldValue(const FieldValue& value, TSQLMemAdvancedFieldType type) {
    const TSQLMemBaseFieldType base = AdvancedToBaseType(type);
    if (std::holds_alternative<std::monostate>(value)) {
        return TSQLMemVariant::Null(base);
    }
    if (const auto* integer = std::get_if<int64_t>(&value)) {
        return TSQLMemVariant::FromInteger(*integer).Cast(base);
    }
    if (const auto* number = std::get_if<double>(&value)) {
        if (IsDateTimeType(base)) {
            return TSQLMemVariant::FromDateTime(*number, base);
        }
        return TSQLMemVariant::FromFloat(*number).Cast(base);
    }
    if (const auto* logical = std::get_if<bool>(&value)) {
        return TSQLMemVariant::FromBoolean(*logical).Cast(base);
    }
    const std::string& text = std::get<std::string>(value);
    if (IsBlobType(base) || IsBytesType(base)) {
        return TSQLMemVariant::FromBytes(text, IsBytesType(base) ? base : bftBlob);
    }
    return TSQLMemVariant::FromText(text).Cast(base);
}

FieldValue FieldValueFromVariant(const TSQLMemVariant& value, TSQLMemAdvancedFieldType type) {
    if (value.IsNull()) {
        return std::monostate{};
    }
    const TSQLMemBaseFieldType base = AdvancedToBaseType(type);
    const TSQLMemVariant converted = value.BaseType() == base ? value : value.Cast(base);
    if (IsDateTimeType(base)) {
        return converted.AsDateTime();
    }
    if (base == bftLogical) {
        return converted.AsBoolean();
    }
    if (IsNumericType(base)) {
        if (base == bftSingle || base == bftDouble || base == bftExtended || base == bftCurrency) {
            return converted.AsFloat();
        }
        return converted.AsInteger();
    }
    if (IsBlobType(base) || IsBytesType(base)) {
        return converted.AsBytes();
    }
    return converted.AsText();
}

}  // namespace tapir::engine
