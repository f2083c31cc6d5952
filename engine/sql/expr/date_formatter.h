#pragma once
// The date format language of TOSTRING and TODATE. A format text is cut into tokens once;
// the formatter then writes date-times as text and reads text back into date-times. Month
// and day names come from the locale (the collation locale unless one is given; English for
// the root locale). A formatter is a value: const use from several threads is safe.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"

namespace tapir::engine::sql {

enum class TDateFormatType {
    dfYYYY = 0,
    dfYY,
    dfYEAR,
    dfQ,
    dfMONTH,
    dfMON,
    dfMM,
    dfM,
    dfRM,
    dfDDD,
    dfDD,
    dfDAY,
    dfDY,
    dfDW,
    dfD,
    dfHH12,
    dfHH24,
    dfHH,
    dfH12,
    dfH24,
    dfH,
    dfNN,
    dfN,
    dfSS,
    dfS,
    dfZZZ,
    dfZ,
    dfAMPM,
    dfText
};
using enum TDateFormatType;

// The words of the format language, indexed by TDateFormatType (every kind but dfText).
inline constexpr std::array<std::string_view, 28> DateFormatReservedWords = {
    "YYYY", "YY",  "YEAR", "Q",  "MONTH", "MON",  "MM",   "M",   "RM",  "DDD",
    "DD",   "DAY", "DY",   "DW", "D",     "HH12", "HH24", "HH",  "H12", "H24",
    "H",    "NN",  "N",    "SS", "S",     "ZZZ",  "Z",    "AMPM"};

// One piece of a format: a word, or literal text (dfText) with its characters in `text`.
struct DateFormatToken {
    TDateFormatType type = dfText;
    std::string text;
};

// What a text read by a format holds: the date alone, the time alone, or both.
enum class DateValueKind { Date, Time, DateTime };

struct DateReading {
    platform::TDateTime value = 0;
    DateValueKind kind = DateValueKind::DateTime;
};

class TDateFormater {
  public:
    // Cuts `format` into tokens: at each position the longest word that matches, letter case
    // ignored; text in single or double quotes (quotes dropped; an unclosed quote runs to the
    // end) and every other character are literal text. `names_locale` names the locale of
    // month and day names ("" = the collation locale).
    explicit TDateFormater(std::string_view format, std::string names_locale = {});

    const std::vector<DateFormatToken>& Tokens() const { return tokens_; }

    // `value` (rounded to the millisecond) written by the format.
    std::string ToString(platform::TDateTime value) const;

    // `text` read by the format; see ReadDate.
    platform::TDateTime ToDate(std::string_view text) const;

    // Reads `text` by the format, token by token. Numbers take their first character
    // whatever it is and then further digits up to the word's count. Literal text and words
    // without a value (DDD, DW) skip as many characters as they write; a month or day name
    // of the locale is recognised (letter case ignored) and skipped, a month name also
    // setting the month; an unknown name skips the word's own length. Q sets the first month
    // of the quarter. PM makes an hour below 12 an afternoon hour, AM makes 12 midnight.
    // When year, month or day is still 0 the date part is the zero date (1899-12-30), so a
    // format without a date reads a pure time; the kind is then Time, else Date when the time
    // of day is 0, else DateTime. Text left over after the last token is ignored.
    // Throws ESQLMemException 30129 "AM/PM word expected, but '%s' found" when AMPM meets
    // other text; tapir::Exception of kind "EConvertError" when a number is not a number, a
    // Roman month is not one of I..XII, or the parts make no date or time.
    DateReading ReadDate(std::string_view text) const;

  private:
    struct Names {
        std::array<std::string, 12> long_months;
        std::array<std::string, 12> short_months;
        std::array<std::string, 7> long_days;  // [0] = Sunday
        std::array<std::string, 7> short_days;
    };

    std::vector<DateFormatToken> tokens_;
    Names names_;
};

}  // namespace tapir::engine::sql
