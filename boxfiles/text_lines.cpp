#include "boxfiles/text_lines.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "boxfiles/box_errors.h"

namespace tapir::boxfiles {

std::vector<std::string_view> SplitLineViews(std::string_view text) {
    if (const auto zero = text.find('\0'); zero != std::string_view::npos) {
        text = text.substr(0, zero);
    }
    std::vector<std::string_view> lines;
    if (text.find('\r') == std::string_view::npos) {
        // The common case, LF only: let memchr find the line ends.
        std::size_t start = 0;
        while (start < text.size()) {
            const void* found = std::memchr(text.data() + start, '\n', text.size() - start);
            if (found == nullptr) {
                lines.push_back(text.substr(start));
                break;
            }
            const auto end =
                static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
    std::size_t start = 0;
    const std::size_t size = text.size();
    std::size_t pos = 0;
    while (pos < size) {
        const char c = text[pos];
        if (c == '\n' || c == '\r') {
            lines.push_back(text.substr(start, pos - start));
            ++pos;
            if (c == '\r' && pos < size && text[pos] == '\n') {
                ++pos;
            }
            start = pos;
        } else {
            ++pos;
        }
    }
    if (start < size) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

std::vector<std::string> SplitLines(std::string_view text) {
    const std::vector<std::string_view> views = SplitLineViews(text);
    return std::vector<std::string>(views.begin(), views.end());
}

std::string ReadWholeFile(const std::string& path) {
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw EFOpenError(path);
    }
    std::string text;
    struct stat info {};
    if (::fstat(::fileno(file.get()), &info) == 0 && info.st_size > 0) {
        if (static_cast<uint64_t>(info.st_size) > kMaxBoxFileSize) {
            throw EFileTooLargeError(path);
        }
        text.reserve(static_cast<std::size_t>(info.st_size));
    }
    char buffer[65536];
    std::size_t got = 0;
    // The size is checked while reading too: a device or a growing file reports none.
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        if (text.size() + got > kMaxBoxFileSize) {
            throw EFileTooLargeError(path);
        }
        text.append(buffer, got);
    }
    if (std::ferror(file.get())) {
        throw EFOpenError(path);
    }
    return text;
}

std::vector<std::string> LoadLines(const std::string& path) {
    return SplitLines(ReadWholeFile(path));
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string_view TrimControl(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) {
        ++begin;
    }
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string AsciiUpper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        char b = prefix[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) {
            return false;
        }
    }
    return true;
}

std::string CutToWidth(std::string_view text, std::size_t width) {
    if (text.size() <= width) {
        return std::string(text);
    }
    std::size_t cut = width;
    // Step back over continuation bytes to the lead byte of the character at the cut, and
    // drop that character when it does not fit whole.
    std::size_t lead = cut;
    while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80 && cut - lead < 3) {
        --lead;
    }
    if (lead != cut) {
        const auto b = static_cast<unsigned char>(text[lead]);
        const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (b >= 0xC0 && lead + length > cut) {
            cut = lead;
        }
    }
    return std::string(text.substr(0, cut));
}

}  // namespace tapir::boxfiles
