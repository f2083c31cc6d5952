#pragma once
// The text functions of the SQL layer over UTF-8 (8-bit) and UTF-16 (wide) text: case
// mapping, trimming, length, substring, position, LIKE matching and the decoding of BLOB
// literals. Characters are code points, never bytes, and no result cuts a character. Ill-
// formed UTF-8 is read as U+FFFD per ill-formed part, so results are always valid UTF-8.
// Nulls are the caller's business: these functions see only values. Stateless and
// thread-safe.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tapir::engine::sql {

// Full case mapping of the user's locale (the collation locale): UPPER('straße') is
// "STRASSE", a Greek sigma at the end of a word lowers to the final form.
std::string Upper(std::string_view text);
std::string Lower(std::string_view text);
std::u16string Upper(std::u16string_view text);
std::u16string Lower(std::u16string_view text);

// The text without leading (LTrim), trailing (RTrim) or both (Trim) characters at or below
// the blank, control characters included.
std::string Trim(std::string_view text);
std::string LTrim(std::string_view text);
std::string RTrim(std::string_view text);
std::u16string Trim(std::u16string_view text);
std::u16string LTrim(std::u16string_view text);
std::u16string RTrim(std::u16string_view text);

// Number of characters; for wide text the number of 16-bit units (wide characters).
int64_t Length(std::string_view text);
int64_t Length(std::u16string_view text);

// The part of `text` from the 1-based `start` of `length` characters; without a length, the
// rest of the text. A start below 1 counts as 1 and the length stays as given (it is not
// shortened by the distance below 1). A start past the end or a length below 1 gives empty
// text. Wide text counts 16-bit units, but a cut never splits a surrogate pair: a pair cut
// at either end is taken whole.
std::string Substring(std::string_view text, int64_t start,
                      std::optional<int64_t> length = std::nullopt);
std::u16string Substring(std::u16string_view text, int64_t start,
                         std::optional<int64_t> length = std::nullopt);

// 1-based character position of the first occurrence of `sub` in `text` (exact, case-
// sensitive), 0 when absent. An empty `sub` gives 0. Wide text counts 16-bit units.
int64_t Pos(std::string_view sub, std::string_view text);
int64_t Pos(std::u16string_view sub, std::u16string_view text);

// SQL LIKE. In `pattern`, `%` matches any run of characters (none included) and `_` exactly
// one character; every other character matches one character that the locale collation
// finds equal to it (secondary strength when `ignore_case`), so matching is per character
// and 'ß' does not match "ss". When `escape` is given, the escape character makes the
// character after it literal (a `%`, `_` or the escape itself); an escape at the very end of
// the pattern stands for itself. Wide text is matched by the same rules, a surrogate pair
// being one character. Runs in O(text × pattern) at worst.
bool Like(std::string_view text, std::string_view pattern, bool ignore_case,
          std::optional<char32_t> escape = std::nullopt);
bool Like(std::u16string_view text, std::u16string_view pattern, bool ignore_case,
          std::optional<char32_t> escape = std::nullopt);

// The textual forms a BLOB literal is decoded from; the numbers show in error messages.
enum class BlobTextFormat { Base64 = 0, Hex = 1 };

// The bytes written by `text`: Base64 (MIME: line breaks, blanks and tabs between the
// characters are skipped; padding optional but only at the end) or hexadecimal digits in
// pairs (either letter case, nothing else). Empty text gives no bytes. Throws
// ESQLMemException 11344 "Error - cannot convert BLOB value \"%s\", format = %d" when the
// text does not decode.
std::string DecodeBlobText(std::string_view text, BlobTextFormat format);

}  // namespace tapir::engine::sql
