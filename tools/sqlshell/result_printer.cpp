#include "tools/sqlshell/result_printer.h"

#include <cmath>
#include <cstdio>

#include "engine/table/field.h"
#include "engine/table/sqlmem_dataset.h"
#include "platform/date_time.h"

namespace tapir::sqlshell {

namespace {

using namespace tapir::engine;

std::string Printf(const char* format, auto... values) {
    char text[64];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string DateText(double value) {
    int year = 0, month = 0, day = 0;
    platform::DecodeDate(value, year, month, day);
    return Printf("%04d-%02d-%02d", year, month, day);
}

std::string TimeText(double value) {
    int hour = 0, minute = 0, second = 0, ms = 0;
    platform::DecodeTime(value, hour, minute, second, ms);
    return Printf("%02d:%02d:%02d", hour, minute, second);
}

}  // namespace

std::string FormatFieldValue(const TField& field) {
    if (field.IsNull()) {
        return {};
    }
    switch (field.DataType()) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint:
            return std::to_string(field.AsLargeint());
        case ftFloat:
        case ftCurrency:
        case ftBCD:
        case ftFMTBcd:
            return Printf("%.15g", field.AsFloat());
        case ftBoolean:
            return field.AsBoolean() ? "True" : "False";
        case ftDate:
            return DateText(field.AsDateTime());
        case ftTime:
            return TimeText(field.AsDateTime());
        case ftDateTime:
        case ftTimeStamp: {
            const double value = field.AsDateTime();
            std::string text = DateText(value);
            double whole = 0;
            if (std::modf(value, &whole) != 0) {
                text += ' ' + TimeText(value);
            }
            return text;
        }
        default:
            return field.AsString();
    }
}

void PrintResult(TSQLMemDataSet& dataset, std::ostream& out) {
    const std::vector<TField*>& fields = dataset.Fields();
    for (size_t i = 0; i < fields.size(); ++i) {
        out << (i == 0 ? "" : "|") << fields[i]->FieldName();
    }
    out << '\n';
    for (dataset.First(); !dataset.Eof(); dataset.Next()) {
        for (size_t i = 0; i < fields.size(); ++i) {
            out << (i == 0 ? "" : "|") << FormatFieldValue(*fields[i]);
        }
        out << '\n';
    }
}

}  // namespace tapir::sqlshell
