#pragma once
// The lines of the box's bouquet index files (bouquets.tv, bouquets.radio) and of the
// bouquet files they refer to: which lines name a bouquet file, a bouquet or a channel.

#include <optional>
#include <string>
#include <string_view>

namespace tapir::boxfiles {

// The bouquet file named by an index line, or nullopt for any other line. The line must
// start with "#SERVICE" in any case. Two forms name a file: the bare form, where the name
// follows the colon of ":userbouquet" to the end of the line (at most 999 characters,
// not trimmed), and the form `FROM BOUQUET "<name>"`, where the name stands between the
// double quotes.
std::optional<std::string> BouquetFileOfIndexLine(std::string_view line);

// True for a name the bouquet reader may open in the program's folder: not empty, not "."
// or "..", and without '/' or a zero byte, so that an index line cannot reach any other
// file.
bool IsPlainFileName(std::string_view name);

// The bouquet name of a "#NAME" line (key word in any case): characters 6 to 104 of the
// line, trimmed. nullopt for any other line.
std::optional<std::string> BouquetNameOfLine(std::string_view line);

// The service reference of a channel entry: a line starting with "#SERVICE" exactly
// (case-sensitive), optionally followed by a colon; the reference is the next 999
// characters, trimmed. nullopt for any other line.
std::optional<std::string> ChannelReferenceOfLine(std::string_view line);

}  // namespace tapir::boxfiles
