#pragma once
// Values between the SQL layer's typed variant and the table component's field values.

#include "engine/record/field_types.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/table/field.h"

namespace tapir::engine {

// The field value of a column of declared type `type` as a variant of that type's base
// type (null keeps the type).
TSQLMemVariant VariantFromFieldValue(const FieldValue& value, TSQLMemAdvancedFieldType type);
// The variant as a field value for a column of declared type `type`, converted to that
// type's base type first. Throws ESQLMemException 30077 / 30078 when it does not convert.
FieldValue FieldValueFromVariant(const TSQLMemVariant& value, TSQLMemAdvancedFieldType type);

}  // namespace tapir::engine
