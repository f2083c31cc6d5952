#include "engine/sql/expr/date_formatter.h"

#include <unicode/dtfmtsym.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include "engine/record/db_types.h"
#include "engine/record/utf8_text.h"
#include "platform/collation.h"
#include "platform/exception.h"

namespace tapir::engine::sql {

namespace {

constexpr size_t kLongestWord = 5;  // MONTH

constexpr std::array<std::string_view, 12> kRomanMonths = {"I",   "II",   "III", "IV", "V",  "VI",
                                                           "VII", "VIII", "IX",  "X",  "XI", "XII"};

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameWord(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) {
        return false;
    }
    for (size_t i = 0; i < word.size(); ++i) {
        if (AsciiUpper(text[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

std::optional<TDateFormatType> WordAt(std::string_view format, size_t at) {
    for (size_t length = kLongestWord; length > 0; --length) {
        if (at + length > format.size()) {
            continue;
        }
        const std::string_view candidate = format.substr(at, length);
        for (size_t kind = 0; kind < DateFormatReservedWords.size(); ++kind) {
            if (SameWord(candidate, DateFormatReservedWords[kind])) {
                return static_cast<TDateFormatType>(kind);
            }
        }
    }
    return std::nullopt;
}

std::vector<DateFormatToken> Tokenize(std::string_view format) {
    std::vector<DateFormatToken> tokens;
    std::string literal;
    const auto flush_literal = [&] {
        if (!literal.empty()) {
            tokens.push_back({dfText, std::move(literal)});
            literal.clear();
        }
    };
    size_t at = 0;
    while (at < format.size()) {
        const char c = format[at];
        if (c == '\'' || c == '"') {
            size_t end = format.find(c, at + 1);
            if (end == std::string_view::npos) {
                end = format.size();
            }
            literal.append(format.substr(at + 1, end - at - 1));
            at = end == format.size() ? end : end + 1;
            continue;
        }
        if (const std::optional<TDateFormatType> word = WordAt(format, at)) {
            flush_literal();
            const std::string_view spelled = DateFormatReservedWords[static_cast<size_t>(*word)];
            tokens.push_back({*word, std::string(spelled)});
            at += spelled.size();
            continue;
        }
        literal.push_back(c);
        ++at;
    }
    flush_literal();
    return tokens;
}

std::string ToUtf8(const icu::UnicodeString& text) {
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

std::u32string CodePoints(std::string_view text) {
    const std::string valid = ToValidUtf8(text);
    std::u32string codes;
    codes.reserve(valid.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(valid.data());
    const auto length = static_cast<int32_t>(valid.size());
    int32_t at = 0;
    while (at < length) {
        UChar32 code = 0;
        U8_NEXT(bytes, at, length, code);
        codes.push_back(static_cast<char32_t>(code < 0 ? 0xFFFD : code));
    }
    return codes;
}

std::string FromCodePoints(std::u32string_view codes) {
    std::string utf8;
    for (const char32_t code : codes) {
        char buffer[4];
        int32_t length = 0;
        UBool error = false;
        U8_APPEND(reinterpret_cast<uint8_t*>(buffer), length, 4, static_cast<UChar32>(code), error);
        if (!error) {
            utf8.append(buffer, static_cast<size_t>(length));
        }
    }
    return utf8;
}

std::string Number(const char* format, int value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

int DayOfYear(const platform::DateTimeParts& parts) {
    int day = parts.day;
    for (int month = 1; month < parts.month; ++month) {
        day += platform::DaysInMonth(parts.year, month);
    }
    return day;
}

[[noreturn]] void ThrowConvertError(const std::string& message) {
    throw tapir::Exception("EConvertError", message);
}

// The text being read, one code point at a time.
class TextReader {
  public:
    explicit TextReader(std::string_view text) : codes_(CodePoints(text)) {}

    bool AtEnd() const { return at_ >= codes_.size(); }
    void Skip(size_t count) { at_ = std::min(codes_.size(), at_ + count); }

    // Up to `count` characters, without moving on.
    std::u32string_view Peek(size_t count) const {
        return std::u32string_view(codes_).substr(std::min(at_, codes_.size()), count);
    }

    // The first character whatever it is, then digits up to `count` characters in all.
    int ReadNumber(size_t count) {
        const size_t start = at_;
        if (!AtEnd()) {
            ++at_;
        }
        while (at_ < codes_.size() && at_ - start < count && codes_[at_] >= U'0' &&
               codes_[at_] <= U'9') {
            ++at_;
        }
        const std::string taken =
            FromCodePoints(std::u32string_view(codes_).substr(start, at_ - start));
        std::string_view digits = taken;
        while (!digits.empty() && digits.front() == ' ') {
            digits.remove_prefix(1);
        }
        bool negative = false;
        if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
            negative = digits.front() == '-';
            digits.remove_prefix(1);
        }
        int value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            ThrowConvertError("'" + taken + "' is not a valid integer value");
        }
        return negative ? -value : value;
    }

    // Index of the longest of `names` that the text continues with (letter case ignored),
    // after skipping it; nullopt when none does.
    template <size_t N>
    std::optional<size_t> ReadName(const std::array<std::string, N>& names) {
        std::optional<size_t> best;
        size_t best_length = 0;
        for (size_t i = 0; i < N; ++i) {
            const std::u32string name = CodePoints(names[i]);
            if (name.empty() || name.size() <= best_length || name.size() > codes_.size() - at_) {
                continue;
            }
            bool same = true;
            for (size_t k = 0; k < name.size() && same; ++k) {
                same = u_foldCase(static_cast<UChar32>(codes_[at_ + k]), U_FOLD_CASE_DEFAULT) ==
                       u_foldCase(static_cast<UChar32>(name[k]), U_FOLD_CASE_DEFAULT);
            }
            if (same) {
                best = i;
                best_length = name.size();
            }
        }
        if (best) {
            at_ += best_length;
        }
        return best;
    }

  private:
    std::u32string codes_;
    size_t at_ = 0;
};

bool NeedsNames(const std::vector<DateFormatToken>& tokens) {
    for (const DateFormatToken& token : tokens) {
        if (token.type == dfMONTH || token.type == dfMON || token.type == dfDAY ||
            token.type == dfDY) {
            return true;
        }
    }
    return false;
}

}  // namespace

TDateFormater::TDateFormater(std::string_view format, std::string names_locale)
    : tokens_(Tokenize(format)) {
    if (!NeedsNames(tokens_)) {
        return;
    }
    if (names_locale.empty()) {
        names_locale = platform::CollationLocale();
    }
    if (names_locale.empty()) {
        names_locale = "en";  // the root locale has no names of its own
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::DateFormatSymbols symbols(icu::Locale(names_locale.c_str()), status);
    if (U_FAILURE(status)) {
        return;
    }
    using Symbols = icu::DateFormatSymbols;
    int32_t count = 0;
    const icu::UnicodeString* months = symbols.getMonths(count, Symbols::FORMAT, Symbols::WIDE);
    for (int32_t i = 0; i < count && i < 12; ++i) {
        names_.long_months[static_cast<size_t>(i)] = ToUtf8(months[i]);
    }
    months = symbols.getMonths(count, Symbols::FORMAT, Symbols::ABBREVIATED);
    for (int32_t i = 0; i < count && i < 12; ++i) {
        names_.short_months[static_cast<size_t>(i)] = ToUtf8(months[i]);
    }
    // Weekdays come with an empty entry first, then Sunday to Saturday.
    const icu::UnicodeString* days = symbols.getWeekdays(count, Symbols::FORMAT, Symbols::WIDE);
    for (int32_t i = 1; i < count && i <= 7; ++i) {
        names_.long_days[static_cast<size_t>(i - 1)] = ToUtf8(days[i]);
    }
    days = symbols.getWeekdays(count, Symbols::FORMAT, Symbols::ABBREVIATED);
    for (int32_t i = 1; i < count && i <= 7; ++i) {
        names_.short_days[static_cast<size_t>(i - 1)] = ToUtf8(days[i]);
    }
}

std::string TDateFormater::ToString(platform::TDateTime value) const {
    const platform::DateTimeParts parts = platform::DecodeDateTime(value);
    const auto month_index = static_cast<size_t>(parts.month - 1);
    const auto day_index = static_cast<size_t>(platform::DayOfWeek(value) - 1);
    std::string text;
    for (const DateFormatToken& token : tokens_) {
        switch (token.type) {
            case dfYYYY:
            case dfYEAR:
                text += Number("%04d", parts.year);
                break;
            case dfYY:
                text += Number("%02d", parts.year % 100);
                break;
            case dfQ:
                text += Number("%d", (parts.month + 2) / 3);
                break;
            case dfMONTH:
                text += names_.long_months[month_index];
                break;
            case dfMON:
                text += names_.short_months[month_index];
                break;
            case dfMM:
                text += Number("%02d", parts.month);
                break;
            case dfM:
                text += Number("%d", parts.month);
                break;
            case dfRM:
                text += kRomanMonths[month_index];
                break;
            case dfDDD:
                text += Number("%03d", DayOfYear(parts));
                break;
            case dfDD:
                text += Number("%02d", parts.day);
                break;
            case dfD:
                text += Number("%d", parts.day);
                break;
            case dfDAY:
                text += names_.long_days[day_index];
                break;
            case dfDY:
                text += names_.short_days[day_index];
                break;
            case dfDW:
                text += Number("%d", platform::DayOfWeek(value));
                break;
            case dfHH12:
            case dfHH:
                text += Number("%02d", parts.hour % 12);
                break;
            case dfHH24:
                text += Number("%02d", parts.hour);
                break;
            case dfH12:
            case dfH:
                text += Number("%d", parts.hour % 12);
                break;
            case dfH24:
                text += Number("%d", parts.hour);
                break;
            case dfNN:
                text += Number("%02d", parts.minute);
                break;
            case dfN:
                text += Number("%d", parts.minute);
                break;
            case dfSS:
                text += Number("%02d", parts.second);
                break;
            case dfS:
                text += Number("%d", parts.second);
                break;
            case dfZZZ:
                text += Number("%03d", parts.ms);
                break;
            case dfZ:
                text += Number("%d", parts.ms);
                break;
            case dfAMPM:
                text += parts.hour >= 12 ? "PM" : "AM";
                break;
            case dfText:
                text += token.text;
                break;
        }
    }
    return text;
}

platform::TDateTime TDateFormater::ToDate(std::string_view text) const {
    return ReadDate(text).value;
}

DateReading TDateFormater::ReadDate(std::string_view text) const {
    TextReader reader(text);
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, ms = 0;
    enum class Meridiem { None, Am, Pm } meridiem = Meridiem::None;
    for (const DateFormatToken& token : tokens_) {
        switch (token.type) {
            case dfYYYY:
            case dfYEAR:
                year = reader.ReadNumber(4);
                break;
            case dfYY: {
                const int short_year = reader.ReadNumber(2);
                year = short_year < 30 ? 2000 + short_year : 1900 + short_year;
                break;
            }
            case dfQ:
                month = 3 * reader.ReadNumber(1) - 2;
                break;
            case dfMONTH:
            case dfMON: {
                const auto& names =
                    token.type == dfMONTH ? names_.long_months : names_.short_months;
                if (const std::optional<size_t> index = reader.ReadName(names)) {
                    month = static_cast<int>(*index) + 1;
                } else {
                    reader.Skip(token.text.size());
                }
                break;
            }
            case dfMM:
            case dfM:
                month = reader.ReadNumber(2);
                break;
            case dfRM: {
                std::string numeral;
                while (numeral.size() < 4 && !reader.AtEnd()) {
                    const char32_t c = reader.Peek(1)[0];
                    const char upper = c < 0x80 ? AsciiUpper(static_cast<char>(c)) : '\0';
                    if (upper != 'I' && upper != 'V' && upper != 'X') {
                        break;
                    }
                    numeral.push_back(upper);
                    reader.Skip(1);
                }
                const auto* found = std::find(kRomanMonths.begin(), kRomanMonths.end(), numeral);
                if (found == kRomanMonths.end()) {
                    ThrowConvertError("'" + numeral + "' is not a valid Roman month");
                }
                month = static_cast<int>(found - kRomanMonths.begin()) + 1;
                break;
            }
            case dfDDD:
                reader.Skip(3);
                break;
            case dfDD:
            case dfD:
                day = reader.ReadNumber(2);
                break;
            case dfDAY:
            case dfDY: {
                const auto& names = token.type == dfDAY ? names_.long_days : names_.short_days;
                if (!reader.ReadName(names)) {
                    reader.Skip(token.text.size());
                }
                break;
            }
            case dfDW:
                reader.Skip(1);
                break;
            case dfHH12:
            case dfHH24:
            case dfHH:
            case dfH12:
            case dfH24:
            case dfH:
                hour = reader.ReadNumber(2);
                break;
            case dfNN:
            case dfN:
                minute = reader.ReadNumber(2);
                break;
            case dfSS:
            case dfS:
                second = reader.ReadNumber(2);
                break;
            case dfZZZ:
            case dfZ:
                ms = reader.ReadNumber(3);
                break;
            case dfAMPM: {
                const std::u32string_view word = reader.Peek(2);
                const std::string found = FromCodePoints(word);
                const bool am = SameWord(found, "AM");
                if (!am && !SameWord(found, "PM")) {
                    throw ESQLMemException::Formatted(
                        30129, "AM/PM word expected, but '" + found + "' found");
                }
                meridiem = am ? Meridiem::Am : Meridiem::Pm;
                reader.Skip(2);
                break;
            }
            case dfText:
                reader.Skip(CodePoints(token.text).size());
                break;
        }
    }
    if (meridiem == Meridiem::Pm && hour < 12) {
        hour += 12;
    } else if (meridiem == Meridiem::Am && hour == 12) {
        hour = 0;
    }
    const bool has_date = year != 0 && month != 0 && day != 0;
    const platform::TDateTime date = has_date ? platform::EncodeDate(year, month, day) : 0.0;
    const platform::TDateTime time = platform::EncodeTime(hour, minute, second, ms);
    DateReading reading;
    reading.value = date < 0 ? date - time : date + time;
    if (!has_date) {
        reading.kind = DateValueKind::Time;
    } else if (time == 0) {
        reading.kind = DateValueKind::Date;
    } else {
        reading.kind = DateValueKind::DateTime;
    }
    return reading;
}

}  // namespace tapir::engine::sql
