#include "engine/record/sqlmem_variant.h"

namespace tapir::engine {

namespace {

[[noreturn]] void NotYet() {
    throw ESQLMemException(kCannotCastCode, "Value conversion not available");
}

}  // namespace

TSQLMemVariant::TSQLMemVariant(TSQLMemBaseFieldType type, Value value)
    : type_(type), null_(false), value_(std::move(value)) {}

TSQLMemVariant TSQLMemVariant::Null(TSQLMemBaseFieldType type) {
    TSQLMemVariant result;
    result.type_ = type;
    return result;
}
TSQLMemVariant TSQLMemVariant::FromText(std::string_view text, TSQLMemBaseFieldType type) {
    return TSQLMemVariant(type, std::string(text));
}
TSQLMemVariant TSQLMemVariant::FromWideText(std::u16string_view text, TSQLMemBaseFieldType type) {
    return TSQLMemVariant(type, std::u16string(text));
}
TSQLMemVariant TSQLMemVariant::FromInteger(int64_t value, TSQLMemBaseFieldType type) {
    return TSQLMemVariant(type, value);
}
TSQLMemVariant TSQLMemVariant::FromFloat(double value, TSQLMemBaseFieldType type) {
    return TSQLMemVariant(type, value);
}
TSQLMemVariant TSQLMemVariant::FromBoolean(bool value) { return TSQLMemVariant(bftLogical, value); }
TSQLMemVariant TSQLMemVariant::FromDateTime(double date_time, TSQLMemBaseFieldType type) {
    return TSQLMemVariant(type, date_time);
}
TSQLMemVariant TSQLMemVariant::FromBytes(std::string_view bytes, TSQLMemBaseFieldType type) {
    return TSQLMemVariant(type, std::string(bytes));
}
void TSQLMemVariant::SetNull() {
    null_ = true;
    value_ = std::monostate{};
}
void TSQLMemVariant::SetNull(TSQLMemBaseFieldType type) {
    SetNull();
    type_ = type;
}
std::string TSQLMemVariant::AsText() const { NotYet(); }
std::u16string TSQLMemVariant::AsWideText() const { NotYet(); }
int64_t TSQLMemVariant::AsInteger() const { NotYet(); }
double TSQLMemVariant::AsFloat() const { NotYet(); }
bool TSQLMemVariant::AsBoolean() const { NotYet(); }
double TSQLMemVariant::AsDateTime() const { NotYet(); }
std::string TSQLMemVariant::AsBytes() const { NotYet(); }
TSQLMemVariant TSQLMemVariant::Cast(TSQLMemBaseFieldType) const { NotYet(); }
bool TSQLMemVariant::CanCast(TSQLMemBaseFieldType, TSQLMemBaseFieldType) { return false; }
void TSQLMemVariant::ConvertTo(TSQLMemBaseFieldType type) { *this = Cast(type); }
TSQLMemBaseFieldType TSQLMemVariant::CommonType(TSQLMemBaseFieldType, TSQLMemBaseFieldType) {
    NotYet();
}
TSQLMemVariant TSQLMemVariant::Add(const TSQLMemVariant&) const { NotYet(); }
TSQLMemVariant TSQLMemVariant::Subtract(const TSQLMemVariant&) const { NotYet(); }
TSQLMemVariant TSQLMemVariant::Multiply(const TSQLMemVariant&) const { NotYet(); }
TSQLMemVariant TSQLMemVariant::Divide(const TSQLMemVariant&) const { NotYet(); }
TSQLMemVariant TSQLMemVariant::Negate() const { NotYet(); }
TSQLMemCompareResult TSQLMemVariant::Compare(const TSQLMemVariant&, bool, bool, bool) const {
    NotYet();
}
void TSQLMemVariant::SaveTo(std::string&) const { NotYet(); }
TSQLMemVariant TSQLMemVariant::LoadFrom(std::string_view, size_t&) { NotYet(); }
TSQLMemVariant TSQLMemVariant::FromField(const TSQLMemFieldDefs&, int32_t, const std::byte*) {
    NotYet();
}
void TSQLMemVariant::ToField(const TSQLMemFieldDefs&, int32_t, std::byte*) const { NotYet(); }

}  // namespace tapir::engine
