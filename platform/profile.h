#pragma once
// Private-profile (INI) files: "[section]" header lines followed by "key=value" lines.
// Section and key names match without regard to ASCII letter case; values are trimmed of
// blanks and one pair of enclosing quotes; other sections, keys, comments and blank lines
// are kept as they are when a value is written, as are the line-end style and a leading
// UTF-8 byte-order mark. Each call reads (and a write rewrites) the
// whole file; no state is kept between calls. Not synchronised between processes.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/exception.h"

namespace tapir::platform {

// Raised by users of the profile layer when a value cannot be stored.
class EIniFileException : public tapir::Exception {
public:
    explicit EIniFileException(std::string message)
        : tapir::Exception("EIniFileException", std::move(message)) {}
};

// Longest value a read returns, in bytes (cut on a UTF-8 character boundary).
inline constexpr size_t kProfileValueMax = 2047;

// The value of `key` in the first section named `section`, or `fallback` when the file,
// section or key is missing. A key present with an empty value reads as "".
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback);

// The value read as above and parsed by ParseProfileInteger; `fallback` when missing or not
// a number.
int32_t ReadProfileInteger(const std::string& path, std::string_view section, std::string_view key,
                           int32_t fallback);

// True exactly when ReadProfileInteger(path, section, key, fallback ? 1 : 0) is not 0.
bool ReadProfileBool(const std::string& path, std::string_view section, std::string_view key,
                     bool fallback);

// Integer text: if longer than two characters and starting "0x"/"0X", hexadecimal;
// otherwise an optionally signed decimal, or hexadecimal after a "$" (sign first).
// Hexadecimal may use all 32 bits (0xFFFFFFFF is -1); decimal must fit in 32 bits.
// Anything else, and empty text, gives `fallback`.
int32_t ParseProfileInteger(std::string_view text, int32_t fallback);

// Sets `key` in `section` to `value`: an existing key keeps its line (and its spelling)
// with the new value; a missing key is added after the last non-blank line of the section;
// a missing section is appended at the end of the file; a missing file is created.
// Returns false, leaving the file as it was, when the file cannot be read or written or
// when section, key or value would not survive a read back (line breaks, a key with '='
// or leading ';' / '[', a section with ']', an empty key or section).
[[nodiscard]] bool WriteProfileString(const std::string& path, std::string_view section,
                                      std::string_view key, std::string_view value);

}  // namespace tapir::platform
