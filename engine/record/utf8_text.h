#pragma once
// Character-level rules for the engine's 8-bit text: text is UTF-8, a field's size counts
// characters (code points), and a cut never splits a character. Byte sequences that are
// not UTF-8 are replaced, one U+FFFD per maximal invalid part, before text is stored, so
// a row never holds invalid UTF-8 and a text of stray bytes never turns into an empty one.
// Stateless functions.

#include <cstddef>
#include <string>
#include <string_view>

namespace tapir::engine {

// Bytes a stored 8-bit text of `characters` characters may take at most.
constexpr int kMaxUtf8BytesPerCharacter = 4;

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool IsValidUtf8(std::string_view text);
// `text` with every ill-formed part replaced by U+FFFD; valid text comes back unchanged.
std::string ToValidUtf8(std::string_view text);
// Number of characters of a valid UTF-8 text.
size_t Utf8Length(std::string_view text);
// Byte length of the first `max_characters` characters of a valid UTF-8 text (the whole
// text when it is shorter).
size_t Utf8PrefixBytes(std::string_view text, size_t max_characters);

}  // namespace tapir::engine
