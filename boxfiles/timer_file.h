#pragma once
// The box's timer list as XML: a small model of one <timer> element (its attributes in
// their order with decoded values, and its children as well-formed XML text), the parser
// that reads a whole list into that model and the serialiser that writes it back. Reader
// and writer are the two halves of this one format, so a timer that nobody changed goes
// back with the same attributes, values and children. Times in the file are seconds
// since 1970-01-01 00:00:00 UTC.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tapir::boxfiles {

// 1970-01-01 00:00 in days since 1899-12-30.
inline constexpr double kUnixEpochDays = 25569.0;

// Seconds of 9999-12-31 23:59:59 UTC, the last moment a date-time field holds.
inline constexpr int64_t kLastTimerSecond = 253402300799LL;

// One attribute of a timer: its name and its value with every reference decoded.
struct TimerAttribute {
    std::string name;
    std::string value;
    bool operator==(const TimerAttribute&) const = default;
};

// One <timer> element. `children` is the element's content as well-formed XML text in
// UTF-8 (child elements such as <log> lines, comments and the text between them); it is
// empty for an element written as <timer .../>.
struct TimerElement {
    std::vector<TimerAttribute> attributes;
    std::string children;

    // The decoded value of the attribute `name`, or nullptr when the timer has none.
    const std::string* Find(std::string_view name) const;
    // Replaces the value of `name` in place, or appends the attribute when missing.
    void Set(std::string_view name, std::string_view value);
    bool operator==(const TimerElement&) const = default;
};

// A timer list that is not well-formed XML: "Timer list <what> is not valid XML: <why>
// (line <n>)".
struct TimerListSyntax {
    std::string reason;
    int line = 0;
};

// Result of ParseTimerList: every <timer> child of the root element, in file order. When
// the text is not well-formed, `timers` holds the timers read before the fault and
// `error` says where it is.
struct TimerList {
    std::vector<TimerElement> timers;
    std::optional<TimerListSyntax> error;
};

// Reads a whole timer list. The text is taken as UTF-8; bytes that are not valid UTF-8
// are read as the Latin-1 characters of the same codes, and characters XML cannot carry
// (controls other than tab and line ends, U+FFFE, U+FFFF) are dropped, so that whatever
// is read can be written back as well-formed XML. Line ends are normalised to LF and
// attribute values to single blanks for tab and line ends, as any XML reader does. The
// five predefined entities and character references are decoded; an '&' that starts no
// known reference is kept as written. Timers are the <timer> elements (case-sensitive)
// directly inside the root element; other content of the root is not kept. An empty or
// blank text is an empty list.
TimerList ParseTimerList(std::string_view text);

// The text of one attribute value inside double quotes: '&', '<', '>', '"' and tab, LF
// and CR become references; every other character is kept.
std::string EncodeAttribute(std::string_view value);

// The start tag of a timer: "<timer" and each attribute as ` name="value"`, then ">".
std::string TimerStartTag(const TimerElement& timer);

// The whole file: the XML declaration, "<timers>", each timer as its start tag, its
// children and "</timer>" (or as "<timer .../>" when it has no children), "</timers>",
// every line of the skeleton ended by CR LF.
std::string TimerListText(const std::vector<TimerElement>& timers);

// The value of an attribute as a count of seconds: optional blanks, an optional sign and
// decimal digits only, inside 0 .. kLastTimerSecond; nullopt for anything else (a time
// that no date-time can show).
std::optional<int64_t> TimerSecondsOf(std::string_view text);

// The value of an integer attribute read like atol: leading blanks, a sign and digits;
// no digits gives 0; values past the int64 range stick at its ends.
int64_t AtolValue(std::string_view text);

// The UTC date-time of a seconds count: (25569 * 86400 + n) / 86400.
double UtcOfSeconds(int64_t seconds);

// The seconds count of a UTC date-time: |u - 25569| * 86400, rounded to the nearest
// whole second.
int64_t SecondsOfUtc(double utc);

// The usual attributes of a timer as read, for readers that want plain values. A time
// that is missing or does not fit a date-time (TimerSecondsOf) reads as 0 and is marked
// not valid.
struct TimerLineValues {
    int64_t begin = 0;  // seconds since 1970, UTC
    int64_t end = 0;
    bool begin_valid = false;
    bool end_valid = false;
    std::string serviceref;  // trimmed and upper-cased
    std::string name;
    std::string description;
    std::string afterevent;
    int64_t eit = 0;
    int64_t repeated = 0;
    int64_t disabled = 0;
    int64_t justplay = 0;
};

// The usual values of a timer element; a missing attribute reads as 0 or the empty text.
TimerLineValues ValuesOfTimer(const TimerElement& timer);

// True for a line that, after any blanks and tabs, starts with "<timer " (a timer's start
// tag written one per line, as every box does).
bool IsTimerLine(std::string_view line);

// The values of the timer whose start tag begins `line` (the tag may be unterminated);
// all values empty when the line holds no readable start tag.
TimerLineValues ParseTimerLine(std::string_view line);

}  // namespace tapir::boxfiles
