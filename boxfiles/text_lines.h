#pragma once
// Plain-text helpers shared by the readers and the writer of the box's files: splitting a
// file into lines the way the box's files are read, trimming, ASCII upper-casing and
// cutting UTF-8 text to a field width without splitting a character.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tapir::boxfiles {

// Splits text into lines. A line ends at CR LF, LF or CR; a zero byte ends the whole text.
// A final line without an ending is kept; an ending at the very end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);

// The same lines as views into `text`, which must outlive them.
std::vector<std::string_view> SplitLineViews(std::string_view text);

// No file of a box comes near this size; anything larger is not read.
inline constexpr uint64_t kMaxBoxFileSize = 64ull * 1024 * 1024;

// The whole content of a file.
// Throws EFOpenError ("Cannot open file <path>") when the file cannot be opened or read,
// EFileTooLargeError when it holds more than kMaxBoxFileSize bytes.
std::string ReadWholeFile(const std::string& path);

// Reads a whole file (ReadWholeFile, with its errors) and splits it with SplitLines.
std::vector<std::string> LoadLines(const std::string& path);

// True when `path` names an existing regular file.
bool FileExists(const std::string& path);

// Removes every character with a code up to 32 from both ends.
std::string_view TrimControl(std::string_view text);

// Upper-cases the ASCII letters a-z; every other byte is kept.
std::string AsciiUpper(std::string_view text);

// True when the first `prefix.size()` bytes of `text` equal `prefix` ignoring ASCII case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The longest prefix of `text` of at most `width` bytes that does not end inside a UTF-8
// sequence. Bytes that are not valid UTF-8 count as single characters.
std::string CutToWidth(std::string_view text, std::size_t width);

}  // namespace tapir::boxfiles
