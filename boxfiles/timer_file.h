#pragma once
// The box's timer list, one timer per line: recognising a timer line and picking its ten
// attributes out by text search, and producing the exact text of a timer list for the
// box. Times in the file are seconds since 1970-01-01 00:00:00 UTC.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tapir::boxfiles {

// 1970-01-01 00:00 in days since 1899-12-30.
inline constexpr double kUnixEpochDays = 25569.0;

// The attributes of one timer line as read, before any conversion into the table.
struct TimerLineValues {
    int64_t begin = 0;  // seconds since 1970, UTC
    int64_t end = 0;
    std::string serviceref;  // trimmed and upper-cased
    std::string name;
    std::string description;
    std::string afterevent;
    int64_t eit = 0;
    int64_t repeated = 0;
    int64_t disabled = 0;
    int64_t justplay = 0;
};

// True for a line that, after any blanks and tabs, starts with "<timer " in any case.
bool IsTimerLine(std::string_view line);

// Reads the ten attributes of a timer line. An attribute is found by its key text with
// the equals sign and opening quote (`begin="`), case-sensitive, at the start of the line
// or after a blank or tab. A missing attribute reads as 0 or as the empty text. Integers
// are read like atol (blanks, sign, digits; no digits gives 0). A text runs to the next
// double quote and is not decoded; a text without a closing quote reads as empty.
TimerLineValues ParseTimerLine(std::string_view line);

// The UTC date-time of a seconds count: (25569 * 86400 + n) / 86400.
double UtcOfSeconds(int64_t seconds);

// The seconds count of a UTC date-time: |u - 25569| * 86400, rounded to the nearest
// whole second.
int64_t SecondsOfUtc(double utc);

// Makes a value safe inside a double-quoted attribute: `"`, `<` and `>` become entity
// references, and an `&` that does not already begin an entity or character reference
// becomes "&amp;". Everything else, entity references read from the box included, is
// kept byte for byte.
std::string EscapeAttribute(std::string_view value);

// One timer as written: times in seconds, every other value as the table's text.
struct TimerFileRow {
    int64_t begin = 0;
    int64_t end = 0;
    std::string serviceref;
    std::string repeated;
    std::string name;
    std::string description;
    std::string afterevent;
    std::string eit;
    std::string disabled;
    std::string justplay;
};

// The timer line of one row, without line ending.
std::string TimerLineText(const TimerFileRow& row);

// The whole file: the XML declaration, "<timers>", each timer line followed by
// "</timer>", and "</timers>", every line ended by CR LF.
std::string TimersFileText(const std::vector<TimerFileRow>& rows);

}  // namespace tapir::boxfiles
