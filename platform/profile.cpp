#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/file_io.h"

namespace tapir::platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The file as lines without their line ends; remembers the line-end style and a leading
// byte-order mark (editors on other systems write one) to write back.
struct ProfileText {
    std::vector<std::string> lines;
    bool crlf = false;
    bool bom = false;
};

// nullopt when the file exists but cannot be read; an empty text when it does not exist.
std::optional<ProfileText> Load(const std::string& path, bool& exists) {
    ProfileText text;
    int error = 0;
    const std::optional<std::string> contents = ReadWholeFile(path, &error);
    exists = error != ENOENT;
    if (!contents) {
        if (!exists) {
            return text;
        }
        return std::nullopt;
    }
    const std::string& data = *contents;
    size_t start = 0;
    if (std::string_view(data).substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        text.bom = true;
        start = kUtf8Bom.size();
    }
    bool first_end = true;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        const bool has_end = end != std::string::npos;
        if (!has_end) {
            end = data.size();
        }
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (first_end && has_end) {
                text.crlf = true;
            }
        }
        if (has_end) {
            first_end = false;
        }
        text.lines.push_back(std::move(line));
        start = end + 1;
    }
    return text;
}

// Section name of a header line, or nullopt for any other line.
std::optional<std::string_view> SectionOf(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() != '[') {
        return std::nullopt;
    }
    const size_t close = trimmed.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(trimmed.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> KeyOf(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';') {
        return std::nullopt;
    }
    const size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    return KeyLine{Trim(trimmed.substr(0, eq)), Trim(trimmed.substr(eq + 1))};
}

// Index of the first header of `section`, or nullopt.
std::optional<size_t> FindSection(const ProfileText& text, std::string_view section) {
    for (size_t i = 0; i < text.lines.size(); ++i) {
        const auto name = SectionOf(text.lines[i]);
        if (name && EqualNoCase(*name, section)) {
            return i;
        }
    }
    return std::nullopt;
}

// One past the last line of the section whose header is at `header`.
size_t SectionEnd(const ProfileText& text, size_t header) {
    size_t i = header + 1;
    while (i < text.lines.size() && !SectionOf(text.lines[i])) {
        ++i;
    }
    return i;
}

std::optional<size_t> FindKey(const ProfileText& text, size_t header, std::string_view key) {
    const size_t end = SectionEnd(text, header);
    for (size_t i = header + 1; i < end; ++i) {
        const auto entry = KeyOf(text.lines[i]);
        if (entry && EqualNoCase(entry->key, key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string CutToLimit(std::string_view value) {
    if (value.size() <= kProfileValueMax) {
        return std::string(value);
    }
    size_t cut = kProfileValueMax;
    // Do not split a UTF-8 sequence: back up over continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(value.substr(0, cut));
}

// Text to write so that reading it back gives `value` exactly.
std::string EncodeValue(std::string_view value) {
    const bool needs_quotes = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                                 Unquote(value).size() != value.size());
    if (needs_quotes) {
        return "\"" + std::string(value) + "\"";
    }
    return std::string(value);
}

bool HasLineBreak(std::string_view text) {
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file's contents in one step (write a sibling, then rename over it), so an
// interrupted write never leaves half a settings file behind.
bool Store(const std::string& path, bool exists, const ProfileText& text) {
    std::string target = path;
    mode_t mode = 0666;
    bool keep_mode = false;
    if (exists) {
        if (::access(path.c_str(), W_OK) != 0) {
            return false;
        }
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
        struct stat info {};
        if (::stat(target.c_str(), &info) == 0) {
            mode = info.st_mode & 07777;
            keep_mode = true;
        }
    }
    const std::string eol = text.crlf ? "\r\n" : "\n";
    std::string data(text.bom ? kUtf8Bom : std::string_view());
    for (const std::string& line : text.lines) {
        data += line;
        data += eol;
    }
    const std::string temp = target + ".~" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) {
        ::unlink(temp.c_str());  // left over by an earlier run with the same process id
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    if (fd < 0) {
        return false;
    }
    FileDescriptor owner(fd);
    bool ok = WriteAll(fd, data);
    if (ok && keep_mode) {
        ok = ::fchmod(fd, mode) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = owner.Close() && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

std::optional<std::string> Lookup(const std::string& path, std::string_view section,
                                  std::string_view key) {
    bool exists = false;
    const std::optional<ProfileText> text = Load(path, exists);
    if (!text) {
        return std::nullopt;
    }
    const auto header = FindSection(*text, section);
    if (!header) {
        return std::nullopt;
    }
    const auto line = FindKey(*text, *header, key);
    if (!line) {
        return std::nullopt;
    }
    return CutToLimit(Unquote(KeyOf(text->lines[*line])->value));
}

bool ParseDigits(std::string_view digits, int base, uint64_t limit, uint64_t& value) {
    if (digits.empty()) {
        return false;
    }
    value = 0;
    for (const char c : digits) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * base + digit;
        if (value > limit) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback) {
    std::optional<std::string> value = Lookup(path, section, key);
    if (!value) {
        return CutToLimit(fallback);
    }
    return std::move(*value);
}

int32_t ParseProfileInteger(std::string_view text, int32_t fallback) {
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (!ParseDigits(text.substr(2), 16, 0xFFFFFFFFull, value)) {
            return fallback;
        }
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    }
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (!text.empty() && text[0] == '$') {
        if (!ParseDigits(text.substr(1), 16, 0xFFFFFFFFull, value)) {
            return fallback;
        }
        const uint32_t bits = static_cast<uint32_t>(value);
        return static_cast<int32_t>(negative ? 0u - bits : bits);
    }
    const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
    if (!ParseDigits(text, 10, limit, value)) {
        return fallback;
    }
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                    : static_cast<int32_t>(value);
}

int32_t ReadProfileInteger(const std::string& path, std::string_view section, std::string_view key,
                           int32_t fallback) {
    const std::optional<std::string> value = Lookup(path, section, key);
    if (!value) {
        return fallback;
    }
    return ParseProfileInteger(*value, fallback);
}

bool ReadProfileBool(const std::string& path, std::string_view section, std::string_view key,
                     bool fallback) {
    return ReadProfileInteger(path, section, key, fallback ? 1 : 0) != 0;
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    const std::string_view clean_section = Trim(section);
    const std::string_view clean_key = Trim(key);
    if (clean_section.empty() || clean_key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        HasLineBreak(value) || clean_section.find(']') != std::string::npos ||
        clean_key.find('=') != std::string::npos || clean_key.front() == ';' ||
        clean_key.front() == '[') {
        return false;
    }
    bool exists = false;
    std::optional<ProfileText> text = Load(path, exists);
    if (!text) {
        return false;
    }
    const std::string encoded = EncodeValue(value);
    if (const auto header = FindSection(*text, clean_section)) {
        if (const auto line = FindKey(*text, *header, clean_key)) {
            const std::string existing_key(KeyOf(text->lines[*line])->key);
            text->lines[*line] = existing_key + "=" + encoded;
        } else {
            size_t insert_at = SectionEnd(*text, *header);
            while (insert_at > *header + 1 && Trim(text->lines[insert_at - 1]).empty()) {
                --insert_at;
            }
            text->lines.insert(text->lines.begin() + static_cast<std::ptrdiff_t>(insert_at),
                               std::string(clean_key) + "=" + encoded);
        }
    } else {
        if (!text->lines.empty() && !Trim(text->lines.back()).empty()) {
            text->lines.emplace_back();
        }
        text->lines.push_back("[" + std::string(clean_section) + "]");
        text->lines.push_back(std::string(clean_key) + "=" + encoded);
    }
    return Store(path, exists, *text);
}

}  // namespace tapir::platform
