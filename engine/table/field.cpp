#include "engine/table/field.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "engine/record/utf8_text.h"
#include "engine/table/sqlmem_dataset.h"
#include "platform/date_time.h"

namespace tapir::engine {

namespace {

std::string FormatG(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// A decimal integer with an optional sign and leading blanks; nothing else.
std::optional<int64_t> ParseInteger(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && text[start] == ' ') {
        ++start;
    }
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') {
            return std::nullopt;
        }
    }
    int64_t value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseFloat(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && text[start] == ' ') {
        ++start;
    }
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    double value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) {
        return std::nullopt;
    }
    return value;
}

// Text up to the first zero character, made valid UTF-8 and cut to `size` characters.
std::string CutText(const std::string& value, int size) {
    std::string text = ToValidUtf8(std::string_view(value).substr(0, value.find('\0')));
    if (size >= 0) {
        text.resize(Utf8PrefixBytes(text, static_cast<size_t>(size)));
    }
    return text;
}

int64_t AsInt64(const FieldValue& value) {
    if (const auto* i = std::get_if<int64_t>(&value)) {
        return *i;
    }
    if (const auto* d = std::get_if<double>(&value)) {
        return static_cast<int64_t>(std::llround(*d));
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? 1 : 0;
    }
    return 0;
}

double AsDouble(const FieldValue& value) {
    if (const auto* d = std::get_if<double>(&value)) {
        return *d;
    }
    if (const auto* i = std::get_if<int64_t>(&value)) {
        return static_cast<double>(*i);
    }
    return 0.0;
}

std::string AsText(const FieldValue& value) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        return *s;
    }
    return {};
}

// "dd-mm-yyyy", optionally followed by " hh:nn" or " hh:nn:ss".
std::optional<double> ParseDateTime(const std::string& text) {
    int dom = 0;
    int month = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%2d-%2d-%4d%n", &dom, &month, &year, &consumed) != 3) {
        return std::nullopt;
    }
    std::string rest = text.substr(static_cast<size_t>(consumed));
    if (!rest.empty()) {
        int tail = 0;
        const bool with_seconds =
            std::sscanf(rest.c_str(), " %2d:%2d:%2d%n", &hour, &minute, &second, &tail) == 3 &&
            static_cast<size_t>(tail) == rest.size();
        if (!with_seconds) {
            second = 0;
            tail = 0;
            if (std::sscanf(rest.c_str(), " %2d:%2d%n", &hour, &minute, &tail) != 2 ||
                static_cast<size_t>(tail) != rest.size()) {
                return std::nullopt;
            }
        }
    }
    if (year < 1 || month < 1 || month > 12 || dom < 1 ||
        dom > platform::DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59 ||
        hour < 0 || minute < 0 || second < 0) {
        return std::nullopt;
    }
    double day = 0;
    if (!platform::TryEncodeDate(year, month, dom, day)) {
        return std::nullopt;
    }
    const double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    return day < 0 ? day - time : day + time;
}

}  // namespace

// --- TField -------------------------------------------------------------------------------

TField::TField(TSQLMemDataSet& dataset, std::string field_name, TFieldType data_type, int size,
               TFieldKind kind)
    : dataset_(dataset),
      field_name_(std::move(field_name)),
      data_type_(data_type),
      size_(size),
      kind_(kind) {}

TField::~TField() = default;

const std::string& TField::DisplayLabel() const {
    return display_label_.empty() ? field_name_ : display_label_;
}

FieldValue TField::Value() const { return dataset_.ReadFieldValue(*this); }

void TField::SetValue(const FieldValue& value) { dataset_.WriteFieldValue(*this, value); }

bool TField::IsNull() const { return std::holds_alternative<std::monostate>(Value()); }

void TField::Clear() { SetValue(std::monostate{}); }

void TField::AccessError(const char* type_name) const {
    throw EDatabaseError("Cannot access field '" + field_name_ + "' as type " + type_name);
}

void TField::InvalidInteger(const std::string& text) const {
    throw EDatabaseError("'" + text + "' is not a valid integer value for field '" + field_name_ +
                         "'");
}

std::string TField::IntegerText() const {
    const FieldValue value = Value();
    if (std::holds_alternative<std::monostate>(value)) {
        return {};
    }
    return std::to_string(AsInt64(value));
}

std::optional<int64_t> TField::IntegerFromText(const std::string& text) const {
    if (text.empty()) {
        return std::nullopt;
    }
    const auto parsed = ParseInteger(text);
    if (!parsed) {
        InvalidInteger(text);
    }
    return parsed;
}

void TField::RangeError(double value, double min, double max) const {
    throw EDatabaseError(FormatG(value) + " is not a valid value for field '" + field_name_ +
                         "'. The allowed range is " + FormatG(min) + " to " + FormatG(max));
}

std::string TField::AsString() const { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
int64_t TField::AsLargeint() const { AccessError("Largeint"); }
void TField::SetAsLargeint(int64_t) { AccessError("Largeint"); }
double TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(double) { AccessError("DateTime"); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }

// --- TStringField -------------------------------------------------------------------------

std::string TStringField::AsString() const { return AsText(Value()); }

void TStringField::SetAsString(const std::string& value) {
    std::string text = CutText(value, Size());
    if (text.empty()) {
        SetValue(std::monostate{});
    } else {
        SetValue(std::move(text));
    }
}

int32_t TStringField::AsInteger() const { return static_cast<int32_t>(AsLargeint()); }

void TStringField::SetAsInteger(int32_t value) { SetAsString(std::to_string(value)); }

int64_t TStringField::AsLargeint() const {
    const std::string text = AsString();
    if (text.empty()) {
        return 0;
    }
    const auto parsed = ParseInteger(text);
    if (!parsed) {
        InvalidInteger(text);
    }
    return *parsed;
}

void TStringField::SetAsLargeint(int64_t value) { SetAsString(std::to_string(value)); }

double TStringField::AsFloat() const {
    const std::string text = AsString();
    if (text.empty()) {
        return 0.0;
    }
    const auto parsed = ParseFloat(text);
    if (!parsed) {
        throw EDatabaseError("'" + text + "' is not a valid floating point value for field '" +
                             FieldName() + "'");
    }
    return *parsed;
}

void TStringField::SetAsFloat(double value) { SetAsString(FormatG(value)); }

bool TStringField::AsBoolean() const {
    const std::string text = AsString();
    return !text.empty() && (text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y');
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

// --- TIntegerField ------------------------------------------------------------------------

int64_t TIntegerField::MinValue() const {
    switch (DataType()) {
        case ftSmallint:
            return -32768;
        case ftWord:
            return 0;
        default:
            return std::numeric_limits<int32_t>::min();
    }
}

int64_t TIntegerField::MaxValue() const {
    switch (DataType()) {
        case ftSmallint:
            return 32767;
        case ftWord:
            return 65535;
        default:
            return std::numeric_limits<int32_t>::max();
    }
}

std::string TIntegerField::AsString() const { return IntegerText(); }

void TIntegerField::SetAsString(const std::string& value) {
    const auto parsed = IntegerFromText(value);
    if (!parsed) {
        SetValue(std::monostate{});
        return;
    }
    SetAsLargeint(*parsed);
}

int32_t TIntegerField::AsInteger() const { return static_cast<int32_t>(AsInt64(Value())); }

void TIntegerField::SetAsInteger(int32_t value) { SetAsLargeint(value); }

int64_t TIntegerField::AsLargeint() const { return AsInt64(Value()); }

void TIntegerField::SetAsLargeint(int64_t value) {
    if (value < MinValue() || value > MaxValue()) {
        RangeError(static_cast<double>(value), static_cast<double>(MinValue()),
                   static_cast<double>(MaxValue()));
    }
    SetValue(value);
}

double TIntegerField::AsFloat() const { return static_cast<double>(AsInt64(Value())); }

void TIntegerField::SetAsFloat(double value) {
    const double rounded = std::nearbyint(value);
    if (!(rounded >= static_cast<double>(MinValue()) &&
          rounded <= static_cast<double>(MaxValue()))) {
        RangeError(value, static_cast<double>(MinValue()), static_cast<double>(MaxValue()));
    }
    SetValue(static_cast<int64_t>(rounded));
}

// --- TLargeintField -----------------------------------------------------------------------

std::string TLargeintField::AsString() const { return IntegerText(); }

void TLargeintField::SetAsString(const std::string& value) {
    const auto parsed = IntegerFromText(value);
    if (!parsed) {
        SetValue(std::monostate{});
        return;
    }
    SetValue(*parsed);
}

int32_t TLargeintField::AsInteger() const {
    return static_cast<int32_t>(static_cast<uint32_t>(AsInt64(Value())));
}

void TLargeintField::SetAsInteger(int32_t value) { SetValue(static_cast<int64_t>(value)); }

int64_t TLargeintField::AsLargeint() const { return AsInt64(Value()); }

void TLargeintField::SetAsLargeint(int64_t value) { SetValue(value); }

double TLargeintField::AsFloat() const { return static_cast<double>(AsInt64(Value())); }

void TLargeintField::SetAsFloat(double value) {
    constexpr double kLow = -9223372036854775808.0;
    const double rounded = std::nearbyint(value);
    if (!(rounded >= kLow && rounded < -kLow)) {
        RangeError(value, kLow, -kLow);
    }
    SetValue(static_cast<int64_t>(rounded));
}

// --- TFloatField --------------------------------------------------------------------------

std::string TFloatField::AsString() const {
    const FieldValue value = Value();
    if (std::holds_alternative<std::monostate>(value)) {
        return {};
    }
    return FormatG(AsDouble(value));
}

void TFloatField::SetAsString(const std::string& value) {
    if (value.empty()) {
        SetValue(std::monostate{});
        return;
    }
    const auto parsed = ParseFloat(value);
    if (!parsed) {
        throw EDatabaseError("'" + value + "' is not a valid floating point value for field '" +
                             FieldName() + "'");
    }
    SetValue(*parsed);
}

int32_t TFloatField::AsInteger() const {
    return static_cast<int32_t>(std::llround(AsDouble(Value())));
}

void TFloatField::SetAsInteger(int32_t value) { SetValue(static_cast<double>(value)); }

int64_t TFloatField::AsLargeint() const { return std::llround(AsDouble(Value())); }

void TFloatField::SetAsLargeint(int64_t value) { SetValue(static_cast<double>(value)); }

double TFloatField::AsFloat() const { return AsDouble(Value()); }

void TFloatField::SetAsFloat(double value) { SetValue(value); }

// --- TDateTimeField -----------------------------------------------------------------------

std::string TDateTimeField::AsString() const {
    const FieldValue value = Value();
    if (std::holds_alternative<std::monostate>(value)) {
        return {};
    }
    const double date_time = AsDouble(value);
    const double whole = std::trunc(date_time);
    int64_t millis = std::llround(std::fabs(date_time - whole) * 86400000.0);
    int64_t day = static_cast<int64_t>(whole);
    if (millis >= 86400000) {
        millis -= 86400000;
        day += date_time < 0 ? -1 : 1;
    }
    int year = 0;
    int month = 0;
    int dom = 0;
    platform::DecodeDate(static_cast<double>(day), year, month, dom);
    char text[64];
    const int seconds = static_cast<int>(millis / 1000);
    if (seconds == 0) {
        std::snprintf(text, sizeof text, "%02d-%02d-%04d", dom, month, year);
    } else {
        std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", dom, month, year,
                      seconds / 3600, seconds / 60 % 60, seconds % 60);
    }
    return text;
}

void TDateTimeField::SetAsString(const std::string& value) {
    if (value.empty()) {
        SetValue(std::monostate{});
        return;
    }
    const auto parsed = ParseDateTime(value);
    if (!parsed) {
        throw EDatabaseError("'" + value + "' is not a valid date and time");
    }
    SetValue(*parsed);
}

double TDateTimeField::AsDateTime() const { return AsDouble(Value()); }

void TDateTimeField::SetAsDateTime(double value) { SetValue(value); }

double TDateTimeField::AsFloat() const { return AsDouble(Value()); }

void TDateTimeField::SetAsFloat(double value) { SetValue(value); }

// --- TBooleanField ------------------------------------------------------------------------

std::string TBooleanField::AsString() const {
    const FieldValue value = Value();
    if (std::holds_alternative<std::monostate>(value)) {
        return {};
    }
    return AsInt64(value) != 0 ? "True" : "False";
}

void TBooleanField::SetAsString(const std::string& value) {
    if (value.empty()) {
        SetValue(std::monostate{});
        return;
    }
    std::string lower;
    for (char c : value) {
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (lower == "true" || lower == "t" || lower == "yes" || lower == "y") {
        SetValue(true);
    } else if (lower == "false" || lower == "f" || lower == "no" || lower == "n") {
        SetValue(false);
    } else {
        throw EDatabaseError("'" + value + "' is not a valid boolean value for field '" +
                             FieldName() + "'");
    }
}

bool TBooleanField::AsBoolean() const { return AsInt64(Value()) != 0; }

void TBooleanField::SetAsBoolean(bool value) { SetValue(value); }

int32_t TBooleanField::AsInteger() const { return AsInt64(Value()) != 0 ? 1 : 0; }

// --- TBlobField -------------------------------------------------------------------------------

std::string TBlobField::AsString() const {
    const FieldValue value = Value();
    const auto* text = std::get_if<std::string>(&value);
    return text != nullptr ? *text : std::string();
}

void TBlobField::SetAsString(const std::string& value) {
    if (value.empty()) {
        SetValue(std::monostate{});
    } else {
        SetValue(value);
    }
}

std::vector<std::byte> TBlobField::AsBytes() const { return DataSet().GetBlobBytes(*this); }

void TBlobField::SetAsBytes(std::span<const std::byte> bytes) {
    DataSet().SetBlobBytes(*this, bytes);
}

int64_t TBlobField::BlobSize() const { return static_cast<int64_t>(AsBytes().size()); }

void TBlobField::LoadFromStream(TSQLMemStream& stream) {
    const int64_t position = stream.Position();
    if (stream.Size() < 0 || !stream.SetPosition(0)) {
        throw ESQLMemException(10146, "Cannot read from stream");
    }
    std::vector<std::byte> content(static_cast<size_t>(stream.Size()));
    try {
        LoadDataFromStream(stream, content, 10146);
    } catch (...) {
        (void)stream.SetPosition(position);
        throw;
    }
    (void)stream.SetPosition(position);
    SetAsBytes(content);
}

void TBlobField::SaveToStream(TSQLMemStream& stream) const {
    SaveDataToStream(stream, AsBytes(), 10147);
}

}  // namespace tapir::engine
