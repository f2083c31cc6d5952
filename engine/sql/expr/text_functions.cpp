#include "engine/sql/expr/text_functions.h"

#include <unicode/ucasemap.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <unordered_map>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/record/utf8_text.h"
#include "platform/collation.h"

namespace tapir::engine::sql {

namespace {

// ---- Case mapping ----------------------------------------------------------------------

// One case map for the whole process; the mapping calls only read it.
class CaseMap {
  public:
    CaseMap() : locale_(platform::CollationLocale()) {
        UErrorCode status = U_ZERO_ERROR;
        map_ = ucasemap_open(locale_.c_str(), 0, &status);
        if (U_FAILURE(status)) {
            map_ = nullptr;
        }
    }
    ~CaseMap() {
        if (map_ != nullptr) {
            ucasemap_close(map_);
        }
    }
    CaseMap(const CaseMap&) = delete;
    CaseMap& operator=(const CaseMap&) = delete;

    const UCaseMap* Utf8Map() const { return map_; }
    const char* Locale() const { return locale_.c_str(); }

  private:
    std::string locale_;
    UCaseMap* map_ = nullptr;
};

const CaseMap& TheCaseMap() {
    static const CaseMap map;
    return map;
}

using Utf8Mapper = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);
using Utf16Mapper = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

// Full case mapping can grow a text (ß → SS), so the first attempt may come back with the
// size it needs.
std::string MapUtf8(std::string_view text, Utf8Mapper mapper) {
    const std::string valid = ToValidUtf8(text);
    const UCaseMap* map = TheCaseMap().Utf8Map();
    if (map == nullptr || valid.empty()) {
        return valid;
    }
    std::string mapped(valid.size() + valid.size() / 2 + 8, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = mapper(map, mapped.data(), static_cast<int32_t>(mapped.size()),
                                      valid.data(), static_cast<int32_t>(valid.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            mapped.resize(static_cast<size_t>(length));
            continue;
        }
        if (U_FAILURE(status)) {
            return valid;
        }
        mapped.resize(static_cast<size_t>(length));
        return mapped;
    }
    return valid;
}

std::u16string MapUtf16(std::u16string_view text, Utf16Mapper mapper) {
    if (text.empty()) {
        return {};
    }
    const auto* source = reinterpret_cast<const UChar*>(text.data());
    std::u16string mapped(text.size() + text.size() / 2 + 8, u'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length =
            mapper(reinterpret_cast<UChar*>(mapped.data()), static_cast<int32_t>(mapped.size()),
                   source, static_cast<int32_t>(text.size()), TheCaseMap().Locale(), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            mapped.resize(static_cast<size_t>(length));
            continue;
        }
        if (U_FAILURE(status)) {
            return std::u16string(text);
        }
        mapped.resize(static_cast<size_t>(length));
        return mapped;
    }
    return std::u16string(text);
}

// ---- Trimming --------------------------------------------------------------------------

template <typename Char>
bool AtOrBelowBlank(Char c) {
    return static_cast<uint32_t>(c) <= 0x20;
}

template <typename Char>
std::basic_string_view<Char> TrimView(std::basic_string_view<Char> text, bool left, bool right) {
    size_t begin = 0;
    size_t end = text.size();
    if (left) {
        while (begin < end && AtOrBelowBlank(text[begin])) {
            ++begin;
        }
    }
    if (right) {
        while (end > begin && AtOrBelowBlank(text[end - 1])) {
            --end;
        }
    }
    return text.substr(begin, end - begin);
}

// Bytes of UTF-8 characters are never at or below the blank except for ASCII ones, so the
// trimmed view of valid text is valid text.
std::string TrimUtf8(std::string_view text, bool left, bool right) {
    const std::string valid = ToValidUtf8(text);
    return std::string(TrimView(std::string_view(valid), left, right));
}

// ---- Character counts ------------------------------------------------------------------

size_t ClampToSize(int64_t value) { return value <= 0 ? 0 : static_cast<size_t>(value); }

// Characters before a 1-based start; a start below 1 counts as 1.
size_t CharactersBefore(int64_t start) { return start <= 1 ? 0 : static_cast<size_t>(start - 1); }

bool IsLead(char16_t unit) { return U16_IS_LEAD(unit); }
bool IsTrail(char16_t unit) { return U16_IS_TRAIL(unit); }

// ---- LIKE ------------------------------------------------------------------------------

// One character of valid UTF-8 text: its code point and its bytes.
struct Character {
    char32_t code = 0;
    std::string_view bytes;
};

std::vector<Character> Characters(std::string_view valid) {
    std::vector<Character> characters;
    characters.reserve(valid.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(valid.data());
    const auto length = static_cast<int32_t>(valid.size());
    int32_t at = 0;
    while (at < length) {
        const int32_t start = at;
        UChar32 code = 0;
        U8_NEXT(bytes, at, length, code);
        characters.push_back(
            {static_cast<char32_t>(code < 0 ? 0xFFFD : code),
             valid.substr(static_cast<size_t>(start), static_cast<size_t>(at - start))});
    }
    return characters;
}

enum class PatternKind { AnyRun, AnyOne, Literal };

struct PatternItem {
    PatternKind kind = PatternKind::Literal;
    Character character;
};

std::vector<PatternItem> PatternItems(const std::vector<Character>& pattern,
                                      std::optional<char32_t> escape) {
    std::vector<PatternItem> items;
    items.reserve(pattern.size());
    for (size_t i = 0; i < pattern.size(); ++i) {
        const Character& character = pattern[i];
        if (escape && character.code == *escape && i + 1 < pattern.size()) {
            items.push_back({PatternKind::Literal, pattern[++i]});
        } else if (character.code == U'%') {
            // Neighbouring runs match what one run matches; one is cheaper to backtrack.
            if (items.empty() || items.back().kind != PatternKind::AnyRun) {
                items.push_back({PatternKind::AnyRun, character});
            }
        } else if (character.code == U'_') {
            items.push_back({PatternKind::AnyOne, character});
        } else {
            items.push_back({PatternKind::Literal, character});
        }
    }
    return items;
}

// Per-character equality under the locale collation, remembered per pair of code points
// because backtracking asks the same questions again.
class CharacterEquality {
  public:
    explicit CharacterEquality(bool ignore_case) : ignore_case_(ignore_case) {}

    bool operator()(const Character& a, const Character& b) {
        if (a.code == b.code) {
            return true;
        }
        // Distinct printable ASCII characters always differ at full strength; ignoring case,
        // the collator decides (a locale may pair its letters differently).
        if (!ignore_case_ && IsPrintableAscii(a.code) && IsPrintableAscii(b.code)) {
            return false;
        }
        const uint64_t key = (static_cast<uint64_t>(a.code) << 32) | b.code;
        const auto known = answers_.find(key);
        if (known != answers_.end()) {
            return known->second;
        }
        const bool equal = platform::CompareText(a.bytes, b.bytes, ignore_case_) == 0;
        answers_.emplace(key, equal);
        return equal;
    }

  private:
    static bool IsPrintableAscii(char32_t code) { return code >= 0x20 && code < 0x7F; }

    bool ignore_case_;
    std::unordered_map<uint64_t, bool> answers_;
};

// Greedy matching that, on a mismatch, lets the latest `%` take one more character. Only the
// latest `%` ever needs to grow: whatever an earlier one could absorb, the later one can too.
bool MatchItems(const std::vector<Character>& text, const std::vector<PatternItem>& pattern,
                bool ignore_case) {
    CharacterEquality equal(ignore_case);
    size_t t = 0;
    size_t p = 0;
    std::optional<size_t> run_item;  // pattern index of the latest `%`
    size_t run_text = 0;             // text index where that `%` currently ends
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p].kind == PatternKind::AnyRun) {
            run_item = p;
            run_text = t;
            ++p;
        } else if (p < pattern.size() && (pattern[p].kind == PatternKind::AnyOne ||
                                          equal(text[t], pattern[p].character))) {
            ++t;
            ++p;
        } else if (run_item) {
            p = *run_item + 1;
            t = ++run_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p].kind == PatternKind::AnyRun) {
        ++p;
    }
    return p == pattern.size();
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string utf8(text.size() * 3, '\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &length,
                       reinterpret_cast<const UChar*>(text.data()),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        return {};
    }
    utf8.resize(static_cast<size_t>(length));
    return utf8;
}

// ---- BLOB literals ---------------------------------------------------------------------

[[noreturn]] void ThrowCannotConvert(std::string_view text, BlobTextFormat format) {
    throw ESQLMemException::Formatted(
        11344, "Error - cannot convert BLOB value \"" + std::string(text) +
                   "\", format = " + std::to_string(static_cast<int>(format)));
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

bool IsMimeBlank(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

std::optional<std::string> DecodeBase64(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int bit_count = 0;
    size_t digits = 0;
    size_t padding = 0;
    for (const char c : text) {
        if (IsMimeBlank(c)) {
            continue;
        }
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0 || padding > 0) {
            return std::nullopt;  // not of the alphabet, or data after the padding
        }
        ++digits;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            bytes.push_back(static_cast<char>((bits >> bit_count) & 0xFF));
        }
    }
    if (digits % 4 == 1 || padding > 2 || (padding > 0 && (digits + padding) % 4 != 0)) {
        return std::nullopt;
    }
    return bytes;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> DecodeHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

}  // namespace

std::string Upper(std::string_view text) { return MapUtf8(text, ucasemap_utf8ToUpper); }
std::string Lower(std::string_view text) { return MapUtf8(text, ucasemap_utf8ToLower); }
std::u16string Upper(std::u16string_view text) { return MapUtf16(text, u_strToUpper); }
std::u16string Lower(std::u16string_view text) { return MapUtf16(text, u_strToLower); }

std::string Trim(std::string_view text) { return TrimUtf8(text, true, true); }
std::string LTrim(std::string_view text) { return TrimUtf8(text, true, false); }
std::string RTrim(std::string_view text) { return TrimUtf8(text, false, true); }
std::u16string Trim(std::u16string_view text) { return std::u16string(TrimView(text, true, true)); }
std::u16string LTrim(std::u16string_view text) {
    return std::u16string(TrimView(text, true, false));
}
std::u16string RTrim(std::u16string_view text) {
    return std::u16string(TrimView(text, false, true));
}

int64_t Length(std::string_view text) {
    if (IsValidUtf8(text)) {
        return static_cast<int64_t>(Utf8Length(text));
    }
    return static_cast<int64_t>(Utf8Length(ToValidUtf8(text)));
}

int64_t Length(std::u16string_view text) { return static_cast<int64_t>(text.size()); }

std::string Substring(std::string_view text, int64_t start, std::optional<int64_t> length) {
    if (length && *length < 1) {
        return {};
    }
    const std::string valid = ToValidUtf8(text);
    const size_t skip = Utf8PrefixBytes(valid, CharactersBefore(start));
    const std::string_view rest = std::string_view(valid).substr(skip);
    if (!length) {
        return std::string(rest);
    }
    return std::string(rest.substr(0, Utf8PrefixBytes(rest, ClampToSize(*length))));
}

std::u16string Substring(std::u16string_view text, int64_t start, std::optional<int64_t> length) {
    if (length && *length < 1) {
        return {};
    }
    size_t begin = CharactersBefore(start);
    if (begin >= text.size()) {
        return {};
    }
    size_t end = text.size();
    if (length && ClampToSize(*length) < text.size() - begin) {
        end = begin + ClampToSize(*length);
    }
    if (begin > 0 && IsTrail(text[begin]) && IsLead(text[begin - 1])) {
        --begin;
    }
    if (end < text.size() && IsTrail(text[end]) && IsLead(text[end - 1])) {
        ++end;
    }
    return std::u16string(text.substr(begin, end - begin));
}

int64_t Pos(std::string_view sub, std::string_view text) {
    if (sub.empty()) {
        return 0;
    }
    const std::string valid_text = ToValidUtf8(text);
    // Both texts are valid UTF-8, so a byte match begins on a character boundary.
    const size_t at = valid_text.find(ToValidUtf8(sub));
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<int64_t>(Utf8Length(std::string_view(valid_text).substr(0, at))) + 1;
}

int64_t Pos(std::u16string_view sub, std::u16string_view text) {
    if (sub.empty()) {
        return 0;
    }
    const size_t at = text.find(sub);
    return at == std::u16string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

bool Like(std::string_view text, std::string_view pattern, bool ignore_case,
          std::optional<char32_t> escape) {
    const std::string valid_text = ToValidUtf8(text);
    const std::string valid_pattern = ToValidUtf8(pattern);
    return MatchItems(Characters(valid_text), PatternItems(Characters(valid_pattern), escape),
                      ignore_case);
}

bool Like(std::u16string_view text, std::u16string_view pattern, bool ignore_case,
          std::optional<char32_t> escape) {
    return Like(Utf16ToUtf8(text), Utf16ToUtf8(pattern), ignore_case, escape);
}

std::string DecodeBlobText(std::string_view text, BlobTextFormat format) {
    std::optional<std::string> bytes =
        format == BlobTextFormat::Hex ? DecodeHex(text) : DecodeBase64(text);
    if (!bytes) {
        ThrowCannotConvert(text, format);
    }
    return std::move(*bytes);
}

}  // namespace tapir::engine::sql
