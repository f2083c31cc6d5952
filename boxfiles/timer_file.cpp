#include "boxfiles/timer_file.h"

#include <cmath>
#include <limits>
#include <unordered_set>

#include "boxfiles/text_lines.h"

namespace tapir::boxfiles {

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr std::string_view kTimerName = "timer";

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsXmlChar(uint32_t code) {
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// Length of the valid UTF-8 sequence at text[at] and its code point; 0 when the bytes
// there are not one.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at, uint32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    return length;
}

// Valid UTF-8 holding only characters XML can carry; see ParseTimerList. With
// `line_ends`, CR LF and lone CR become LF.
std::string CleanText(std::string_view text, bool line_ends) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        uint32_t code = 0;
        std::size_t length = Utf8SequenceAt(text, i, code);
        if (length == 0) {
            code = static_cast<unsigned char>(text[i]);
            length = 1;
        }
        if (line_ends && code == '\r') {
            out.push_back('\n');
            i += (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            continue;
        }
        if (IsXmlChar(code)) {
            if (length > 1 || code < 0x80) {
                out.append(text.substr(i, length));
            } else {
                AppendUtf8(out, code);
            }
        }
        i += length;
    }
    return out;
}

bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// Decodes the reference at text[at] == '&' into `out` and returns the position after it;
// returns `at` when no known reference starts there. A character reference to a
// character XML cannot carry is consumed and dropped.
std::size_t DecodeReference(std::string_view text, std::size_t at, std::string& out) {
    std::size_t i = at + 1;
    if (i < text.size() && text[i] == '#') {
        ++i;
        const bool hex = i < text.size() && text[i] == 'x';
        if (hex) ++i;
        const std::size_t digits_start = i;
        uint32_t code = 0;
        bool too_big = false;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            int digit = -1;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                break;
            }
            code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
            if (code > 0x10FFFF) {
                too_big = true;
                code = 0x110000;
            }
        }
        if (i == digits_start || i >= text.size() || text[i] != ';') {
            return at;
        }
        if (!too_big && IsXmlChar(code)) {
            AppendUtf8(out, code);
        }
        return i + 1;
    }
    struct Entity {
        std::string_view name;
        char character;
    };
    static constexpr Entity kEntities[] = {
        {"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    const std::string_view rest = text.substr(i);
    for (const Entity& entity : kEntities) {
        if (rest.starts_with(entity.name)) {
            out.push_back(entity.character);
            return i + entity.name.size();
        }
    }
    return at;
}

std::string DecodeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '&') {
            const std::size_t next = DecodeReference(text, i, out);
            if (next != i) {
                i = next;
                continue;
            }
        }
        out.push_back(text[i]);
        ++i;
    }
    return out;
}

// Appends `text` with the characters markup would misread as references. Inside an
// attribute value the quote and the white space that a reader would normalise are
// references too.
void AppendEncoded(std::string& out, std::string_view text, bool attribute) {
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            default:
                out.push_back(c);
        }
    }
}

void AppendEncodedText(std::string& out, std::string_view text) {
    AppendEncoded(out, text, false);
}

// A comment's text that XML accepts: no "--" inside and no '-' at the end.
std::string SafeCommentText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '-' && !out.empty() && out.back() == '-') {
            out.push_back(' ');
        }
        out.push_back(c);
    }
    if (!out.empty() && out.back() == '-') {
        out.push_back(' ');
    }
    return out;
}

struct SyntaxError {
    std::string reason;
    std::size_t at;
};

// A reader over cleaned text (CleanText with line ends). Child content is re-written in
// canonical form as it is read, so that what one read keeps is exactly what the next
// read of the written text gives back.
class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    TimerList ReadList() {
        TimerList list;
        try {
            ReadDocument(list.timers);
        } catch (const SyntaxError& error) {
            list.error = TimerListSyntax{error.reason, LineOf(error.at)};
        }
        return list;
    }

    // Reads the attributes of a start tag from the current position to '>' or "/>".
    // Returns true for "/>".
    bool ReadAttributes(std::vector<TimerAttribute>& attributes) {
        std::unordered_set<std::string_view> seen;
        while (true) {
            const bool spaced = SkipSpace();
            if (AtEnd()) {
                Fail("unterminated start tag");
            }
            if (Peek() == '>') {
                ++pos_;
                return false;
            }
            if (LookingAt("/>")) {
                pos_ += 2;
                return true;
            }
            if (!spaced) {
                Fail("attributes must be separated by blanks");
            }
            const std::string_view name = ReadName("attribute name");
            SkipSpace();
            Expect('=', "'=' after an attribute name");
            SkipSpace();
            if (AtEnd() || (Peek() != '"' && Peek() != '\'')) {
                Fail("attribute value without quotes");
            }
            const char quote = text_[pos_++];
            const std::size_t close = text_.find(quote, pos_);
            if (close == std::string_view::npos) {
                Fail("unterminated attribute value");
            }
            std::string raw(text_.substr(pos_, close - pos_));
            if (raw.find('<') != std::string::npos) {
                Fail("'<' in an attribute value");
            }
            pos_ = close + 1;
            for (char& c : raw) {
                if (c == '\t' || c == '\n') {
                    c = ' ';
                }
            }
            // A repeated attribute is not XML; the first one is the one that counts.
            if (seen.insert(name).second) {
                attributes.push_back({std::string(name), DecodeText(raw)});
            }
        }
    }

  private:
    [[noreturn]] void Fail(std::string reason) const { throw SyntaxError{std::move(reason), pos_}; }

    int LineOf(std::size_t at) const {
        int line = 1;
        for (std::size_t i = 0; i < at && i < text_.size(); ++i) {
            line += text_[i] == '\n' ? 1 : 0;
        }
        return line;
    }

    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return text_[pos_]; }
    bool LookingAt(std::string_view what) const { return text_.substr(pos_).starts_with(what); }

    bool SkipSpace() {
        const std::size_t start = pos_;
        while (!AtEnd() && IsXmlSpace(Peek())) {
            ++pos_;
        }
        return pos_ > start;
    }

    void Expect(char c, const char* what) {
        if (AtEnd() || Peek() != c) {
            Fail(std::string("expected ") + what);
        }
        ++pos_;
    }

    // The name at the current position; the view is into the text being read.
    std::string_view ReadName(const char* what) {
        if (AtEnd() || !IsNameStart(Peek())) {
            Fail(std::string("expected ") + what);
        }
        const std::size_t start = pos_;
        while (!AtEnd() && IsNameChar(Peek())) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    // Text up to `terminator`, which is consumed.
    std::string_view ReadUntil(std::string_view terminator, const char* what) {
        const std::size_t end = text_.find(terminator, pos_);
        if (end == std::string_view::npos) {
            Fail(std::string("unterminated ") + what);
        }
        const std::string_view body = text_.substr(pos_, end - pos_);
        pos_ = end + terminator.size();
        return body;
    }

    // After "<!--" / "<?" / "<![CDATA[" / "<!DOCTYPE": reads the construct; writes its
    // canonical form to `out` when given. Returns false when none starts here.
    bool ReadMarkup(std::string* out, bool doctype_allowed) {
        if (LookingAt("<!--")) {
            pos_ += 4;
            const std::string_view body = ReadUntil("-->", "comment");
            if (out != nullptr) {
                *out += "<!--" + SafeCommentText(body) + "-->";
            }
            return true;
        }
        if (LookingAt("<?")) {
            pos_ += 2;
            const std::string target(ReadName("processing instruction target"));
            const std::string_view body = ReadUntil("?>", "processing instruction");
            if (out != nullptr && !StartsWithNoCase(target, "xml")) {
                *out += "<?" + target;
                if (!body.empty() && !IsXmlSpace(body.front())) {
                    *out += ' ';
                }
                *out += std::string(body) + "?>";
            }
            return true;
        }
        if (LookingAt("<![CDATA[")) {
            if (out == nullptr && doctype_allowed) {
                Fail("character data outside the root element");
            }
            pos_ += 9;
            const std::string_view body = ReadUntil("]]>", "CDATA section");
            if (out != nullptr) {
                AppendEncodedText(*out, body);
            }
            return true;
        }
        if (LookingAt("<!DOCTYPE")) {
            if (!doctype_allowed) {
                Fail("document type declaration inside an element");
            }
            pos_ += 9;
            int depth = 0;
            while (!AtEnd() && (Peek() != '>' || depth > 0)) {
                depth += Peek() == '[' ? 1 : (Peek() == ']' ? -1 : 0);
                ++pos_;
            }
            Expect('>', "'>' closing the document type");
            return true;
        }
        return false;
    }

    // Comments, processing instructions and blanks before or after the root element.
    void ReadMisc(bool doctype_allowed) {
        while (true) {
            SkipSpace();
            if (AtEnd() || !ReadMarkup(nullptr, doctype_allowed)) {
                return;
            }
        }
    }

    void ReadDocument(std::vector<TimerElement>& timers) {
        if (LookingAt("\xEF\xBB\xBF")) {
            pos_ += 3;
        }
        ReadMisc(true);
        if (AtEnd()) {
            return;
        }
        Expect('<', "the root element");
        const std::string root(ReadName("the root element's name"));
        std::vector<TimerAttribute> ignored;
        if (!ReadAttributes(ignored)) {
            ReadRootContent(root, timers);
        }
        ReadMisc(false);
        if (!AtEnd()) {
            Fail("content after the root element");
        }
    }

    void ReadRootContent(const std::string& root, std::vector<TimerElement>& timers) {
        while (true) {
            const std::size_t text_end = text_.find('<', pos_);
            if (text_end == std::string_view::npos) {
                Fail("no end tag of the root element");
            }
            pos_ = text_end;
            if (ReadMarkup(nullptr, false)) {
                continue;
            }
            if (LookingAt("</")) {
                ReadEndTag(root);
                return;
            }
            ++pos_;
            const std::string name(ReadName("an element name"));
            if (name == kTimerName) {
                TimerElement timer;
                if (!ReadAttributes(timer.attributes)) {
                    ReadContent(name, &timer.children);
                }
                timers.push_back(std::move(timer));
            } else {
                std::vector<TimerAttribute> ignored;
                if (!ReadAttributes(ignored)) {
                    ReadContent(name, nullptr);
                }
            }
        }
    }

    void ReadEndTag(const std::string& name) {
        pos_ += 2;
        const std::string_view found = ReadName("an end tag name");
        if (found != name) {
            Fail("end tag </" + std::string(found) + "> does not close <" + name + ">");
        }
        SkipSpace();
        Expect('>', "'>' closing an end tag");
    }

    // The content of the element `name` (its start tag read) up to and including its end
    // tag, written canonically to `out` when given. Nesting is followed with a stack, not
    // by recursion, so that no depth of input can exhaust the call stack.
    void ReadContent(const std::string& name, std::string* out) {
        std::vector<std::string> open{name};
        while (!open.empty()) {
            const std::size_t text_end = text_.find('<', pos_);
            if (text_end == std::string_view::npos) {
                Fail("no end tag of <" + open.back() + ">");
            }
            if (out != nullptr) {
                AppendEncodedText(*out, DecodeText(text_.substr(pos_, text_end - pos_)));
            }
            pos_ = text_end;
            if (ReadMarkup(out, false)) {
                continue;
            }
            if (LookingAt("</")) {
                ReadEndTag(open.back());
                if (out != nullptr && open.size() > 1) {
                    *out += "</" + open.back() + ">";
                }
                open.pop_back();
                continue;
            }
            ++pos_;
            std::string child(ReadName("an element name"));
            std::vector<TimerAttribute> attributes;
            const bool empty = ReadAttributes(attributes);
            if (out != nullptr) {
                *out += '<' + child;
                for (const TimerAttribute& attribute : attributes) {
                    *out += ' ' + attribute.name + "=\"" + EncodeAttribute(attribute.value) + '"';
                }
                *out += empty ? "/>" : ">";
            }
            if (!empty) {
                open.push_back(std::move(child));
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

const std::string* TimerElement::Find(std::string_view name) const {
    for (const TimerAttribute& attribute : attributes) {
        if (attribute.name == name) {
            return &attribute.value;
        }
    }
    return nullptr;
}

void TimerElement::Set(std::string_view name, std::string_view value) {
    for (TimerAttribute& attribute : attributes) {
        if (attribute.name == name) {
            attribute.value = value;
            return;
        }
    }
    attributes.push_back({std::string(name), std::string(value)});
}

TimerList ParseTimerList(std::string_view text) {
    const std::string clean = CleanText(text, true);
    return Parser(clean).ReadList();
}

std::string EncodeAttribute(std::string_view value) {
    const std::string clean = CleanText(value, false);
    std::string out;
    out.reserve(clean.size());
    AppendEncoded(out, clean, true);
    return out;
}

std::string TimerStartTag(const TimerElement& timer) {
    std::string tag = "<timer";
    for (const TimerAttribute& attribute : timer.attributes) {
        // Names come from the parser or from this program; both are XML names.
        tag += ' ';
        tag += attribute.name;
        tag += "=\"";
        tag += EncodeAttribute(attribute.value);
        tag += '"';
    }
    tag += '>';
    return tag;
}

std::string TimerListText(const std::vector<TimerElement>& timers) {
    std::string text = "<?xml version=\"1.0\" ?>\r\n<timers>\r\n";
    for (const TimerElement& timer : timers) {
        std::string tag = TimerStartTag(timer);
        if (timer.children.empty()) {
            tag.insert(tag.size() - 1, "/");
            text += tag;
        } else {
            text += tag;
            text += timer.children;
            text += "</timer>";
        }
        text += "\r\n";
    }
    text += "</timers>\r\n";
    return text;
}

std::optional<int64_t> TimerSecondsOf(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsXmlSpace(text[i])) ++i;
    std::size_t end = text.size();
    while (end > i && IsXmlSpace(text[end - 1])) --end;
    if (i < end && text[i] == '+') ++i;
    if (i == end) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
        if (value > kLastTimerSecond) {
            return std::nullopt;
        }
    }
    return value;
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

double UtcOfSeconds(int64_t seconds) {
    return (kUnixEpochDays * kSecondsPerDay + static_cast<double>(seconds)) / kSecondsPerDay;
}

int64_t SecondsOfUtc(double utc) {
    return std::llround(std::fabs(utc - kUnixEpochDays) * kSecondsPerDay);
}

TimerLineValues ValuesOfTimer(const TimerElement& timer) {
    TimerLineValues values;
    const auto text = [&](std::string_view name) {
        const std::string* value = timer.Find(name);
        return value == nullptr ? std::string() : *value;
    };
    const auto integer = [&](std::string_view name) {
        const std::string* value = timer.Find(name);
        return value == nullptr ? 0 : AtolValue(*value);
    };
    if (const std::string* begin = timer.Find("begin")) {
        const auto seconds = TimerSecondsOf(*begin);
        values.begin_valid = seconds.has_value();
        values.begin = seconds.value_or(0);
    }
    if (const std::string* end = timer.Find("end")) {
        const auto seconds = TimerSecondsOf(*end);
        values.end_valid = seconds.has_value();
        values.end = seconds.value_or(0);
    }
    values.serviceref = AsciiUpper(TrimControl(text("serviceref")));
    values.name = text("name");
    values.description = text("description");
    values.afterevent = text("afterevent");
    values.eit = integer("eit");
    values.repeated = integer("repeated");
    values.disabled = integer("disabled");
    values.justplay = integer("justplay");
    return values;
}

bool IsTimerLine(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && IsBlankOrTab(line[i])) {
        ++i;
    }
    return line.substr(i).starts_with("<timer ");
}

TimerLineValues ParseTimerLine(std::string_view line) {
    const std::string clean = CleanText(line, true);
    const std::size_t tag = clean.find("<timer");
    TimerElement timer;
    if (tag != std::string::npos) {
        Parser parser(std::string_view(clean).substr(tag + kTimerName.size() + 1));
        try {
            parser.ReadAttributes(timer.attributes);
        } catch (const SyntaxError&) {
            // The attributes before the fault count.
        }
    }
    return ValuesOfTimer(timer);
}

}  // namespace tapir::boxfiles
