#include "boxfiles/service_list.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "boxfiles/box_errors.h"
#include "boxfiles/text_lines.h"

namespace tapir::boxfiles {

namespace {

constexpr int kReferenceFields = 10;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint32_t ParseHexField(std::string_view raw) {
    const std::string_view field = TrimControl(raw);
    if (field.empty()) {
        throw EConvertError::NotAnInteger("0x" + std::string(field));
    }
    uint64_t value = 0;
    for (const char c : field) {
        const int digit = HexValue(c);
        if (digit < 0) {
            throw EConvertError::NotAnInteger("0x" + std::string(field));
        }
        value = value * 16 + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFull) {
            throw EConvertError::NotAnInteger("0x" + std::string(field));
        }
    }
    return static_cast<uint32_t>(value);
}

// The shape of a key: its length and where its colons stand ("....:........:....:....").
std::string ShapeOf(std::string_view key) {
    std::string shape(key.size(), '.');
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] == ':') shape[i] = ':';
    }
    return shape;
}

// Packs the first shape.size() characters of `text` when some key of this shape could
// match them ignoring case: colons where the shape has them, hexadecimal digits elsewhere.
bool PackToShape(std::string_view text, const std::string& shape, unsigned __int128& packed) {
    if (text.size() < shape.size()) {
        return false;
    }
    constexpr int kMaxDigits = 32;
    int digits = 0;
    unsigned __int128 value = 0;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == ':') {
            if (text[i] != ':') return false;
            continue;
        }
        const int digit = HexValue(text[i]);
        if (digit < 0 || ++digits > kMaxDigits) return false;
        value = (value << 4) | static_cast<unsigned>(digit);
    }
    packed = value;
    return true;
}

}  // namespace

std::string ServiceKeyOf(std::string_view reference) {
    std::array<uint32_t, kReferenceFields + 1> fields{};  // 1-based
    for (int k = 1; k <= kReferenceFields; ++k) {
        const auto colon = reference.find(':');
        if (colon == std::string_view::npos) {
            break;
        }
        fields[k] = ParseHexField(reference.substr(0, colon));
        reference.remove_prefix(colon + 1);
    }
    char key[64];
    std::snprintf(key, sizeof key, "%04X:%08X:%04X:%04X", fields[4], fields[7], fields[5],
                  fields[6]);
    return key;
}

std::string ConvertServiceName(std::string_view line) {
    std::string name;
    name.reserve(line.size());
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(line[i]);
        if (b0 < 0x80) {
            if (b0 != '?') name.push_back(static_cast<char>(b0));
            ++i;
            continue;
        }
        std::size_t length = 0;
        uint32_t code = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            code = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            code = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            code = b0 & 0x07;
        } else {
            return {};
        }
        if (i + length > n) {
            return {};
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(line[i + k]);
            if ((b & 0xC0) != 0x80) {
                return {};
            }
            code = (code << 6) | (b & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
            (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            return {};
        }
        if (!(code >= 0x80 && code <= 0x9F)) {
            name.append(line.substr(i, length));
        }
        i += length;
    }
    return name;
}

ServiceList::ServiceList(std::string text)
    : text_(std::move(text)), lines_(SplitLineViews(text_)) {}

ServiceList::ServiceList(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const std::string& line : lines) size += line.size() + 1;
    text_.reserve(size);
    for (const std::string& line : lines) {
        text_ += line;
        text_ += '\n';
    }
    lines_ = SplitLineViews(text_);
}

ServiceList ServiceList::Load(const std::string& path) { return ServiceList(ReadWholeFile(path)); }

const ServiceList::ShapeIndex& ServiceList::IndexFor(const std::string& shape) {
    if (const auto found = indexes_.find(shape); found != indexes_.end()) {
        return found->second;
    }
    ShapeIndex index;
    PackedKey packed = 0;
    for (std::size_t j = 0; j < lines_.size(); ++j) {
        if (PackToShape(lines_[j], shape, packed)) {
            index.entries.emplace_back(packed, j);
        }
    }
    // Sorting the pairs orders equal prefixes by line; keep the last line of each.
    std::sort(index.entries.begin(), index.entries.end());
    std::vector<std::pair<PackedKey, std::size_t>> last;
    last.reserve(index.entries.size());
    for (const auto& entry : index.entries) {
        if (!last.empty() && last.back().first == entry.first) {
            last.back().second = entry.second;
        } else {
            last.push_back(entry);
        }
    }
    index.entries = std::move(last);
    return indexes_.emplace(shape, std::move(index)).first->second;
}

std::optional<std::string> ServiceList::ServiceNameOf(std::string_view key) {
    if (key.empty()) {
        // Every line starts with the empty text: the last line decides.
        if (lines_.empty()) return std::nullopt;
        throw EStringListError(static_cast<long long>(lines_.size()));
    }
    const std::string shape = ShapeOf(key);
    std::optional<std::size_t> match;
    PackedKey packed = 0;
    if (PackToShape(key, shape, packed)) {
        const ShapeIndex& index = IndexFor(shape);
        const auto found = std::lower_bound(index.entries.begin(), index.entries.end(), packed,
                                            [](const std::pair<PackedKey, std::size_t>& entry,
                                               PackedKey value) { return entry.first < value; });
        if (found != index.entries.end() && found->first == packed) {
            match = found->second;
        }
    } else {
        // A key with more than hexadecimal digits and colons can only match literally.
        for (std::size_t j = 0; j < lines_.size(); ++j) {
            if (StartsWithNoCase(lines_[j], key)) match = j;
        }
    }
    if (!match) {
        return std::nullopt;
    }
    const std::size_t name_line = *match + 1;
    if (name_line >= lines_.size()) {
        throw EStringListError(static_cast<long long>(name_line));
    }
    return ConvertServiceName(lines_[name_line]);
}

}  // namespace tapir::boxfiles
