#pragma once
// Conversions between a field's value as the table component hands it around (FieldValue)
// and the texts and numbers that writing a column or comparing for Locate needs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/record/field_types.h"
#include "engine/table/field.h"

namespace tapir::engine {

// 8-bit text, date/time and floating-point storage types.
bool IsTextColumn(TSQLMemBaseFieldType type);
bool IsDateTimeColumn(TSQLMemBaseFieldType type);
bool IsFloatColumn(TSQLMemBaseFieldType type);

// The value as text ("" for null; "%.15g" for floating values; "True"/"False").
std::string ValueToText(const FieldValue& value);
// The value as a number (text read as far as it is a number; null is 0).
double ValueToDouble(const FieldValue& value);
int64_t ValueToInteger(const FieldValue& value);

// Full Unicode case folding, so that ignoring case works for every script (and for
// forms such as the German sharp s that fold to more than one letter).
std::u16string FoldCase(std::string_view utf8);
// A text that is a whole number or a decimal number, as its value.
std::optional<long double> ParseNumber(const std::string& text);

}  // namespace tapir::engine
