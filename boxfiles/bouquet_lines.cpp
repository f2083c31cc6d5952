#include "boxfiles/bouquet_lines.h"

#include "boxfiles/text_lines.h"

namespace tapir::boxfiles {

namespace {

constexpr std::size_t kIndexNameWidth = 999;
constexpr std::size_t kBouquetNameStart = 5;  // after "#NAME"
constexpr std::size_t kBouquetNameWidth = 99;
constexpr std::size_t kReferenceStart = 8;  // after "#SERVICE"
constexpr std::size_t kReferenceWidth = 999;

std::string_view SubstrOrEmpty(std::string_view text, std::size_t pos, std::size_t count) {
    return pos >= text.size() ? std::string_view{} : text.substr(pos, count);
}

}  // namespace

std::optional<std::string> BouquetFileOfIndexLine(std::string_view line) {
    if (!StartsWithNoCase(line, "#SERVICE")) {
        return std::nullopt;
    }
    constexpr std::string_view kFromBouquet = "FROM BOUQUET \"";
    if (const auto from = line.find(kFromBouquet); from != std::string_view::npos) {
        const std::size_t start = from + kFromBouquet.size();
        const auto close = line.find('"', start);
        if (close != std::string_view::npos && close > start) {
            return std::string(line.substr(start, close - start));
        }
        return std::nullopt;
    }
    const auto colon = line.find(":userbouquet");
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(SubstrOrEmpty(line, colon + 1, kIndexNameWidth));
}

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::string> BouquetNameOfLine(std::string_view line) {
    if (!StartsWithNoCase(line, "#NAME")) {
        return std::nullopt;
    }
    return std::string(TrimControl(SubstrOrEmpty(line, kBouquetNameStart, kBouquetNameWidth)));
}

std::optional<std::string> ChannelReferenceOfLine(std::string_view line) {
    if (!line.starts_with("#SERVICE")) {
        return std::nullopt;
    }
    std::size_t start = kReferenceStart;
    if (start < line.size() && line[start] == ':') {
        ++start;
    }
    return std::string(TrimControl(SubstrOrEmpty(line, start, kReferenceWidth)));
}

}  // namespace tapir::boxfiles
