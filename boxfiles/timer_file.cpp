#include "boxfiles/timer_file.h"

#include <cmath>
#include <limits>

#include "boxfiles/text_lines.h"

namespace tapir::boxfiles {

namespace {

constexpr double kSecondsPerDay = 86400.0;

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Position just after the key text, or npos when the line has no such attribute.
std::size_t ValueStart(std::string_view line, std::string_view key) {
    std::size_t pos = line.find(key);
    while (pos != std::string_view::npos) {
        if (pos == 0 || IsBlankOrTab(line[pos - 1])) {
            return pos + key.size();
        }
        pos = line.find(key, pos + 1);
    }
    return std::string_view::npos;
}

int64_t AtolValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return negative ? -value : value;
}

int64_t IntegerAttribute(std::string_view line, std::string_view key) {
    const std::size_t start = ValueStart(line, key);
    return start == std::string_view::npos ? 0 : AtolValue(line.substr(start));
}

std::string_view RawTextAttribute(std::string_view line, std::string_view key) {
    const std::size_t start = ValueStart(line, key);
    if (start == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = line.substr(start);
    const std::size_t quote = rest.find('"');
    return quote == std::string_view::npos ? std::string_view{} : rest.substr(0, quote);
}

bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// True when text[at] is an '&' that begins "&name;", "&#digits;" or "&#xhex;".
bool BeginsReference(std::string_view text, std::size_t at) {
    std::size_t i = at + 1;
    if (i < text.size() && text[i] == '#') {
        ++i;
        const bool hex = i < text.size() && text[i] == 'x';
        if (hex) ++i;
        const std::size_t digits_start = i;
        while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') ||
                                   (hex && ((text[i] >= 'a' && text[i] <= 'f') ||
                                            (text[i] >= 'A' && text[i] <= 'F'))))) {
            ++i;
        }
        return i > digits_start && i < text.size() && text[i] == ';';
    }
    if (i >= text.size() || !IsNameStart(text[i])) {
        return false;
    }
    while (i < text.size() && IsNameChar(text[i])) {
        ++i;
    }
    return i < text.size() && text[i] == ';';
}

}  // namespace

bool IsTimerLine(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && IsBlankOrTab(line[i])) {
        ++i;
    }
    return StartsWithNoCase(line.substr(i), "<timer ");
}

TimerLineValues ParseTimerLine(std::string_view line) {
    TimerLineValues values;
    values.begin = IntegerAttribute(line, "begin=\"");
    values.end = IntegerAttribute(line, "end=\"");
    {
        const std::size_t start = ValueStart(line, "serviceref=\"");
        if (start != std::string_view::npos) {
            const std::string_view rest = TrimControl(line.substr(start));
            const std::size_t quote = rest.find('"');
            if (quote != std::string_view::npos) {
                values.serviceref = AsciiUpper(TrimControl(rest.substr(0, quote)));
            }
        }
    }
    values.name = RawTextAttribute(line, "name=\"");
    values.description = RawTextAttribute(line, "description=\"");
    values.afterevent = RawTextAttribute(line, "afterevent=\"");
    values.eit = IntegerAttribute(line, "eit=\"");
    values.repeated = IntegerAttribute(line, "repeated=\"");
    values.disabled = IntegerAttribute(line, "disabled=\"");
    values.justplay = IntegerAttribute(line, "justplay=\"");
    return values;
}

double UtcOfSeconds(int64_t seconds) {
    return (kUnixEpochDays * kSecondsPerDay + static_cast<double>(seconds)) / kSecondsPerDay;
}

int64_t SecondsOfUtc(double utc) {
    return std::llround(std::fabs(utc - kUnixEpochDays) * kSecondsPerDay);
}

std::string EscapeAttribute(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += BeginsReference(value, i) ? "&" : "&amp;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string TimerLineText(const TimerFileRow& row) {
    std::string line;
    line.reserve(256);
    line += "<timer begin=\"";
    line += std::to_string(row.begin);
    line += "\" end=\"";
    line += std::to_string(row.end);
    line += "\" serviceref=\"";
    line += EscapeAttribute(row.serviceref);
    line += "\" repeated=\"";
    line += EscapeAttribute(row.repeated);
    line += "\" name=\"";
    line += EscapeAttribute(row.name);
    line += "\" description=\"";
    line += EscapeAttribute(row.description);
    line += "\" afterevent=\"";
    line += EscapeAttribute(row.afterevent);
    line += "\" eit=\"";
    line += EscapeAttribute(row.eit);
    line += "\" disabled=\"";
    line += EscapeAttribute(row.disabled);
    line += "\" justplay=\"";
    line += EscapeAttribute(row.justplay);
    line += "\">";
    return line;
}

std::string TimersFileText(const std::vector<TimerFileRow>& rows) {
    std::string text = "<?xml version=\"1.0\" ?>\r\n<timers>\r\n";
    for (const TimerFileRow& row : rows) {
        text += TimerLineText(row);
        text += "\r\n</timer>\r\n";
    }
    text += "</timers>\r\n";
    return text;
}

}  // namespace tapir::boxfiles
