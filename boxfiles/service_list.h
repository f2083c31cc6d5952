#pragma once
// The box's service list: the only place that holds the readable names of the channels.
// A service line begins with a service key; the line after it holds the service's name.
// Lookups are answered from an index built once per key shape, with the same answer as
// scanning every line and letting the last matching line decide.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tapir::boxfiles {

// The service key of a service reference: fields 4, 7, 5 and 6 of its first ten
// colon-terminated hexadecimal fields (counted from 1), as "%04X:%08X:%04X:%04X".
// Fields the reference does not have count as 0. Text after the tenth colon, and after
// the last colon, is not read.
// Throws EConvertError "'0x<field>' is not a valid integer value" for a field that is not
// a hexadecimal number of at most 32 bits (an empty field included).
std::string ServiceKeyOf(std::string_view reference);

// A name line as shown: valid UTF-8 with every question mark and every C1 control
// character (U+0080..U+009F, the box's name markup) removed; the empty text for a line
// that is not valid UTF-8. Not trimmed.
std::string ConvertServiceName(std::string_view name_line);

class ServiceList {
  public:
    ServiceList() = default;
    // The list held in `text`, split into lines as the box's files are.
    explicit ServiceList(std::string text);
    // A list of the given lines. Requires: no line holds CR, LF or a zero byte.
    explicit ServiceList(const std::vector<std::string>& lines);

    // Reads the list from a file. Throws EFOpenError when it cannot be read.
    static ServiceList Load(const std::string& path);

    // The converted name that follows the last line whose first key.size() characters
    // equal `key` without regard to ASCII letter case, or nullopt when no line matches.
    // Throws EStringListError "List index out of bounds (<line count>)" when that line is
    // the last line of the list.
    std::optional<std::string> ServiceNameOf(std::string_view key);

    std::size_t LineCount() const { return lines_.size(); }

  private:
    // The hexadecimal digits of a key, 4 bits each in order. A key has four fields of at
    // most eight digits, so 128 bits always hold it; the shape fixes where they stand.
    using PackedKey = unsigned __int128;

    // Lines that can match keys of one shape (the same length and colon positions),
    // sorted by packed prefix; for equal prefixes only the last line is kept.
    struct ShapeIndex {
        std::vector<std::pair<PackedKey, std::size_t>> entries;
    };

    const ShapeIndex& IndexFor(const std::string& shape);

    std::string text_;
    std::vector<std::string_view> lines_;                  // views into text_
    std::unordered_map<std::string, ShapeIndex> indexes_;  // by key shape
};

}  // namespace tapir::boxfiles
