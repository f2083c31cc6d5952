#include "engine/table/field_value_conversion.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tapir::engine {

bool IsTextColumn(TSQLMemBaseFieldType type) {
    return type == bftChar || type == bftVarchar || type == bftClob;
}

bool IsDateTimeColumn(TSQLMemBaseFieldType type) {
    return type == bftDate || type == bftTime || type == bftDateTime;
}

bool IsFloatColumn(TSQLMemBaseFieldType type) {
    return type == bftSingle || type == bftDouble || type == bftExtended || type == bftCurrency;
}

std::string ValueToText(const FieldValue& value) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        return *s;
    }
    if (const auto* i = std::get_if<int64_t>(&value)) {
        return std::to_string(*i);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.15g", *d);
        return text;
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? "True" : "False";
    }
    return {};
}

double ValueToDouble(const FieldValue& value) {
    if (const auto* d = std::get_if<double>(&value)) {
        return *d;
    }
    if (const auto* i = std::get_if<int64_t>(&value)) {
        return static_cast<double>(*i);
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? 1.0 : 0.0;
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        return std::strtod(s->c_str(), nullptr);
    }
    return 0.0;
}

int64_t ValueToInteger(const FieldValue& value) {
    if (const auto* i = std::get_if<int64_t>(&value)) {
        return *i;
    }
    if (const auto* d = std::get_if<double>(&value)) {
        return static_cast<int64_t>(std::llround(*d));
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? 1 : 0;
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        return std::strtoll(s->c_str(), nullptr, 10);
    }
    return 0;
}

std::u16string FoldCase(std::string_view utf8) {
    std::u16string wide(utf8.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
                         &length, utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr,
                         &status);
    wide.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    std::u16string folded(wide.size() * 3 + 1, u'\0');
    status = U_ZERO_ERROR;
    length =
        u_strFoldCase(reinterpret_cast<UChar*>(folded.data()), static_cast<int32_t>(folded.size()),
                      reinterpret_cast<const UChar*>(wide.data()),
                      static_cast<int32_t>(wide.size()), U_FOLD_CASE_DEFAULT, &status);
    folded.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return folded;
}

std::optional<long double> ParseNumber(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long long integer = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() && *end == '\0' && errno == 0) {
        return static_cast<long double>(integer);
    }
    const long double number = std::strtold(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || std::isnan(number)) {
        return std::nullopt;
    }
    return number;
}

}  // namespace tapir::engine
