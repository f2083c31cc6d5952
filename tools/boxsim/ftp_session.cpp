#include "tools/boxsim/ftp_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace tapir::boxsim {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxCommandLine = 4096;
constexpr std::size_t kPiece = 4096;
constexpr std::chrono::milliseconds kDataTimeout{10000};
// Uploads are held in memory until complete; receiver files are far smaller than this.
constexpr std::size_t kMaxUpload = 64 * 1024 * 1024;
// What the cut-stor fault keeps of an upload.
constexpr std::size_t kCutStorBytes = 100;
// Names sent by the huge-listing fault.
constexpr std::size_t kHugeListingNames = 200000;

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') {
        ++begin;
    }
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool HasWildcard(const std::string& text) { return text.find_first_of("*?[") != std::string::npos; }

// "h1,h2,h3,h4,p1,p2" with every number 0..255.
std::optional<sockaddr_in> ParsePortArgument(const std::string& argument) {
    std::vector<int> numbers;
    std::stringstream stream(argument);
    std::string part;
    while (std::getline(stream, part, ',')) {
        part = Trim(part);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        const int value = std::stoi(part);
        if (value > 255) {
            return std::nullopt;
        }
        numbers.push_back(value);
    }
    if (numbers.size() != 6) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const std::uint32_t host = (static_cast<std::uint32_t>(numbers[0]) << 24) |
                               (static_cast<std::uint32_t>(numbers[1]) << 16) |
                               (static_cast<std::uint32_t>(numbers[2]) << 8) |
                               static_cast<std::uint32_t>(numbers[3]);
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]));
    return address;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(content).str();
}

// Appends to an open file; false when the disk refuses.
bool AppendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

std::string LongListingLine(const std::string& name, const std::optional<std::string>& local) {
    struct stat info {};
    bool is_dir = true;
    long long size = 0;
    std::time_t mtime = 0;
    if (local && ::stat(local->c_str(), &info) == 0) {
        is_dir = S_ISDIR(info.st_mode);
        size = static_cast<long long>(info.st_size);
        mtime = info.st_mtime;
    }
    std::tm parts{};
    ::gmtime_r(&mtime, &parts);
    char date[32];
    std::strftime(date, sizeof date, "%b %d %H:%M", &parts);
    char line[128];
    std::snprintf(line, sizeof line, "%s    1 0        0        %10lld %s ",
                  is_dir ? "drwxr-xr-x" : "-rw-r--r--", size, date);
    return line + name + "\r\n";
}

}  // namespace

FtpSession::FtpSession(UniqueFd control, const ServerContext& context)
    : control_(std::move(control)), context_(context), peer_(PeerAddress(control_.Get())) {}

bool FtpSession::Reply(int code, const std::string& text) {
    if (!context_.MaybeSlow()) {
        return false;
    }
    const std::string line = std::to_string(code) + " " + text;
    context_.recorder.Log("ftp> " + line);
    return WriteAll(control_.Get(), line + "\r\n", context_.stop);
}

void FtpSession::Run() {
    context_.recorder.Log("ftp: connection opened");
    if (context_.options.Has(Fault::SilentAfterAccept)) {
        (void)StallUntilClientLeaves(UniqueFd());
        context_.recorder.Log("ftp: connection closed");
        return;
    }
    if (!Reply(220, "Welcome to the " + context_.options.HostName() + " FTP service.")) {
        return;
    }
    std::string buffer;
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end == std::string::npos) {
            if (buffer.size() > kMaxCommandLine) {
                Reply(500, "Command line too long.");
                break;
            }
            const auto more = ReadSome(control_.Get(), context_.stop);
            if (!more) {
                break;
            }
            buffer += *more;
            continue;
        }
        const std::string line = Trim(buffer.substr(0, end));
        buffer.erase(0, end + 1);
        if (line.empty()) {
            if (!Reply(500, "Unknown command.")) {
                break;
            }
            continue;
        }
        const std::size_t space = line.find(' ');
        const std::string verb = Upper(line.substr(0, space));
        const std::string argument =
            space == std::string::npos ? std::string() : Trim(line.substr(space + 1));
        const std::string shown = verb == "PASS" ? "PASS ****" : line;
        context_.recorder.AddFtpCommand(shown);
        context_.recorder.Log("ftp< " + shown);
        if (!Handle(verb, argument)) {
            break;
        }
    }
    context_.recorder.Log("ftp: connection closed");
}

bool FtpSession::Handle(const std::string& verb, const std::string& argument) {
    // A rename takes RNFR immediately followed by RNTO.
    const std::optional<VirtualPath> rename_from = std::move(rename_from_);
    rename_from_.reset();
    if (verb == "RNTO") {
        return RenameTo(rename_from, argument);
    }
    if (verb == "QUIT") {
        Reply(221, "Goodbye.");
        return false;
    }
    if (verb == "NOOP") {
        return Reply(200, "NOOP ok.");
    }
    if (verb == "SYST") {
        return Reply(215, "UNIX Type: L8");
    }
    if (verb == "USER") {
        pending_user_ = argument;
        logged_in_ = false;
        return Reply(331, "Please specify the password.");
    }
    if (verb == "PASS") {
        if (pending_user_.empty()) {
            return Reply(503, "Login with USER first.");
        }
        const bool accepted = !context_.options.Has(Fault::RefusePassword) &&
                              pending_user_ == context_.options.user &&
                              argument == context_.options.password;
        pending_user_.clear();
        if (!accepted) {
            return Reply(530, "Login incorrect.");
        }
        logged_in_ = true;
        cwd_.clear();
        return Reply(230, "Login successful.");
    }
    if (!logged_in_) {
        return Reply(530, "Please login with USER and PASS.");
    }
    if (verb == "TYPE") {
        const std::string type = Upper(argument);
        if (!type.empty() && type[0] == 'A') {
            return Reply(200, "Switching to ASCII mode.");
        }
        if (type == "I" || type == "L 8") {
            return Reply(200, "Switching to Binary mode.");
        }
        return Reply(500, "Unrecognised TYPE command.");
    }
    if (verb == "PWD" || verb == "XPWD") {
        return Reply(257, "\"" + Display(cwd_) + "\" is the current directory");
    }
    if (verb == "CWD" || verb == "CDUP") {
        const VirtualPath target = Resolve(verb == "CDUP" ? ".." : argument);
        if (!IsDirectory(target)) {
            return Reply(550, "Failed to change directory.");
        }
        cwd_ = target;
        return Reply(250, "Directory successfully changed.");
    }
    if (verb == "PORT") {
        passive_listener_.Reset();
        port_address_.reset();
        if (context_.options.Has(Fault::Port550)) {
            return Reply(550, "PORT command failed.");
        }
        const auto address = ParsePortArgument(argument);
        if (!address) {
            return Reply(501, "Illegal PORT command.");
        }
        // Like the receiver's server, refuse to connect anywhere but back to the client.
        if (!peer_ || address->sin_addr.s_addr != peer_->sin_addr.s_addr ||
            address->sin_port == 0) {
            return Reply(500, "Illegal PORT command.");
        }
        port_address_ = address;
        return Reply(200, "PORT command successful. Consider using PASV.");
    }
    if (verb == "PASV") {
        return Passive();
    }
    if (verb == "NLST" || verb == "LIST") {
        return SendList(argument, verb == "LIST");
    }
    if (verb == "RETR") {
        return Retrieve(argument);
    }
    if (verb == "STOR") {
        return Store(argument);
    }
    if (verb == "RNFR") {
        return RenameFrom(argument);
    }
    if (verb == "SIZE") {
        return Size(argument);
    }
    if (verb == "DELE") {
        return Delete(argument);
    }
    return Reply(502, "Command not implemented.");
}

FtpSession::VirtualPath FtpSession::Resolve(const std::string& path) const {
    VirtualPath result = (!path.empty() && path[0] == '/') ? VirtualPath() : cwd_;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/')) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!result.empty()) {
                result.pop_back();
            }
            continue;
        }
        result.push_back(part);
    }
    return result;
}

std::optional<std::string> FtpSession::LocalPath(const VirtualPath& path) const {
    if (path.size() < 2 || path[0] != "etc" || path[1] != "enigma2") {
        return std::nullopt;
    }
    fs::path local = context_.options.dir;
    for (std::size_t i = 2; i < path.size(); ++i) {
        local /= path[i];
    }
    return local.string();
}

bool FtpSession::IsDirectory(const VirtualPath& path) const {
    if (path.empty() || (path.size() == 1 && path[0] == "etc")) {
        return true;
    }
    const auto local = LocalPath(path);
    std::error_code error;
    return local && fs::is_directory(*local, error);
}

std::vector<std::string> FtpSession::EntriesOf(const VirtualPath& dir) const {
    if (dir.empty()) {
        return {"etc"};
    }
    if (dir.size() == 1 && dir[0] == "etc") {
        return {"enigma2"};
    }
    std::vector<std::string> names;
    const auto local = LocalPath(dir);
    std::error_code error;
    if (!local || !fs::is_directory(*local, error)) {
        return names;
    }
    for (const auto& entry : fs::directory_iterator(*local, error)) {
        std::string name = entry.path().filename().string();
        if (!name.empty() && name[0] != '.') {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FtpSession::Display(const VirtualPath& path) {
    std::string text;
    for (const auto& part : path) {
        text += "/" + part;
    }
    return text.empty() ? "/" : text;
}

bool FtpSession::Passive() {
    port_address_.reset();
    try {
        passive_listener_ = ListenLoopback(0);
    } catch (const ESimulatorError&) {
        return Reply(425, "Failed to enter passive mode.");
    }
    const std::uint16_t port = LocalPort(passive_listener_.Get());
    return Reply(227, "Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                          std::to_string(port % 256) + ").");
}

UniqueFd FtpSession::OpenData() {
    UniqueFd data;
    if (port_address_) {
        data = ConnectTo(*port_address_, context_.stop, kDataTimeout);
    } else if (passive_listener_.Valid()) {
        data = AcceptConnection(passive_listener_.Get(), context_.stop, kDataTimeout);
    }
    port_address_.reset();
    passive_listener_.Reset();
    return data;
}

bool FtpSession::SendList(const std::string& argument, bool long_format) {
    if (!port_address_ && !passive_listener_.Valid()) {
        return Reply(425, "Use PORT or PASV first.");
    }
    std::string mask = argument;
    // Options such as "-a" or "-l" come first and are ignored.
    while (!mask.empty() && mask[0] == '-') {
        const std::size_t space = mask.find(' ');
        mask = space == std::string::npos ? std::string() : Trim(mask.substr(space + 1));
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> entries;  // shown, local
    const auto add_all = [&](const VirtualPath& dir, const std::string& prefix,
                             const std::string& pattern) {
        for (const auto& name : EntriesOf(dir)) {
            if (pattern.empty() || ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) {
                VirtualPath full = dir;
                full.push_back(name);
                entries.emplace_back(prefix + name, LocalPath(full));
            }
        }
    };
    if (mask.empty()) {
        add_all(cwd_, "", "");
    } else if (!HasWildcard(mask) && IsDirectory(Resolve(mask))) {
        add_all(Resolve(mask), "", "");
    } else {
        const std::size_t slash = mask.rfind('/');
        const std::string dir_text = slash == std::string::npos ? "" : mask.substr(0, slash + 1);
        const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
        const VirtualPath dir = Resolve(dir_text.empty() ? "." : dir_text);
        if (!pattern.empty() && IsDirectory(dir)) {
            add_all(dir, dir_text, pattern);
        }
    }

    if (entries.empty() && !long_format && context_.options.Has(Fault::Nlst550)) {
        port_address_.reset();
        passive_listener_.Reset();
        return Reply(550, "No files found.");
    }
    std::string listing;
    for (const auto& [shown, local] : entries) {
        listing += long_format ? LongListingLine(shown, local) : shown + "\r\n";
    }
    if (!long_format && context_.options.Has(Fault::HugeListing)) {
        listing.clear();
        char name[32];
        for (std::size_t i = 0; i < kHugeListingNames; ++i) {
            std::snprintf(name, sizeof name, "file%06zu\r\n", i);
            listing += name;
        }
    }
    UniqueFd data = OpenData();
    if (!data.Valid()) {
        return Reply(425, "Failed to establish connection.");
    }
    if (!Reply(150, "Here comes the directory listing.")) {
        return false;
    }
    if (context_.options.Has(Fault::StallData)) {
        return StallUntilClientLeaves(std::move(data));
    }
    const bool sent = WriteAll(data.Get(), listing, context_.stop);
    data.Reset();
    return sent ? Reply(226, "Directory send OK.") : Reply(426, "Failure writing network stream.");
}

bool FtpSession::Retrieve(const std::string& argument) {
    if (!port_address_ && !passive_listener_.Valid()) {
        return Reply(425, "Use PORT or PASV first.");
    }
    const auto local = LocalPath(Resolve(argument));
    std::error_code error;
    const auto content = (local && !argument.empty() && fs::is_regular_file(*local, error))
                             ? ReadWholeFile(*local)
                             : std::nullopt;
    if (!content) {
        port_address_.reset();
        passive_listener_.Reset();
        return Reply(550, "Failed to open file.");
    }
    UniqueFd data = OpenData();
    if (!data.Valid()) {
        return Reply(425, "Failed to establish connection.");
    }
    if (!Reply(150, "Opening BINARY mode data connection for " + argument + " (" +
                        std::to_string(content->size()) + " bytes).")) {
        return false;
    }
    if (context_.options.Has(Fault::StallData)) {
        return StallUntilClientLeaves(std::move(data));
    }
    const bool early = context_.options.Has(Fault::CloseDataEarly);
    std::string_view rest(*content);
    if (early) {
        rest = rest.substr(0, rest.size() / 2);
    }
    bool sent = true;
    while (sent && !rest.empty()) {
        const std::string_view piece = rest.substr(0, kPiece);
        sent = context_.MaybeSlow() && WriteAll(data.Get(), piece, context_.stop);
        rest.remove_prefix(piece.size());
    }
    data.Reset();
    if (early) {
        return Reply(451, "Failure reading local file.");
    }
    return sent ? Reply(226, "Transfer complete.") : Reply(426, "Failure writing network stream.");
}

bool FtpSession::Store(const std::string& argument) {
    if (!port_address_ && !passive_listener_.Valid()) {
        return Reply(425, "Use PORT or PASV first.");
    }
    VirtualPath target = Resolve(argument);
    VirtualPath parent = target;
    if (!parent.empty()) {
        parent.pop_back();
    }
    const auto local = LocalPath(target);
    // The target must lie inside the served directory (not be the directory itself), and
    // an existing directory cannot be overwritten.
    std::error_code error;
    if (argument.empty() || target.size() < 3 || !local || !IsDirectory(parent) ||
        fs::is_directory(*local, error)) {
        port_address_.reset();
        passive_listener_.Reset();
        return Reply(553, "Could not create file.");
    }
    const bool in_place = fs::exists(*local, error);
    UniqueFd data = OpenData();
    if (!data.Valid()) {
        return Reply(425, "Failed to establish connection.");
    }
    // As on the receiver, the file is emptied before the first byte arrives and written as
    // the bytes come: an upload that breaks off leaves a cut file behind.
    UniqueFd file(::open(local->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.Valid()) {
        return Reply(553, "Could not create file.");
    }
    if (!Reply(150, "Ok to send data.")) {
        return false;
    }
    if (context_.options.Has(Fault::StallData)) {
        return StallUntilClientLeaves(std::move(data));
    }
    const bool early = context_.options.Has(Fault::CloseDataEarly);
    const bool cut = context_.options.Has(Fault::CutStor) ||
                     (in_place && context_.options.Has(Fault::CutStorInPlace) &&
                      context_.recorder.CountStorInPlace() == 1);
    std::string content;
    bool complete = false;
    bool written = true;
    for (;;) {
        std::string piece;
        const ReadStatus status = ReadInto(data.Get(), context_.stop, piece, 65536);
        if (status != ReadStatus::Data) {
            // The client closes the data connection to mark the end of the file.
            complete = status == ReadStatus::Closed;
            break;
        }
        if (cut && content.size() + piece.size() > kCutStorBytes) {
            piece.resize(kCutStorBytes - content.size());
        }
        content += piece;
        written = written && AppendAll(file.Get(), piece);
        if (early || content.size() > kMaxUpload || (cut && content.size() >= kCutStorBytes)) {
            break;
        }
    }
    data.Reset();
    file.Reset();
    if (content.size() > kMaxUpload) {
        return Reply(552, "Exceeded storage allocation.");
    }
    if (early) {
        return Reply(451, "Failure writing to local file.");
    }
    if (cut) {
        return Reply(426, "Failure reading network stream.") && Reply(226, "Transfer complete.");
    }
    if (!complete) {
        return !context_.stop.Raised() && Reply(426, "Failure reading network stream.");
    }
    if (!written) {
        return Reply(451, "Failure writing to local file.");
    }
    context_.recorder.Log("ftp: stored " + argument + " (" + std::to_string(content.size()) +
                          " bytes)");
    context_.recorder.AddReceivedFile({argument, content});
    return Reply(226, "Transfer complete.");
}

std::optional<std::string> FtpSession::ExistingFile(const std::string& argument) const {
    const auto local = LocalPath(Resolve(argument));
    std::error_code error;
    if (argument.empty() || !local || !fs::is_regular_file(*local, error)) {
        return std::nullopt;
    }
    return local;
}

bool FtpSession::RenameFrom(const std::string& argument) {
    if (context_.options.Has(Fault::NoRename)) {
        return Reply(502, "Command not implemented.");
    }
    if (!ExistingFile(argument)) {
        return Reply(550, "RNFR command failed.");
    }
    rename_from_ = Resolve(argument);
    return Reply(350, "Ready for RNTO.");
}

bool FtpSession::RenameTo(const std::optional<VirtualPath>& rename_from,
                          const std::string& argument) {
    if (!logged_in_) {
        return Reply(530, "Please login with USER and PASS.");
    }
    if (!rename_from) {
        return Reply(503, "RNFR required first.");
    }
    const VirtualPath& from = *rename_from;
    const VirtualPath target = Resolve(argument);
    const auto from_local = LocalPath(from);
    const auto to_local = LocalPath(target);
    std::error_code error;
    if (argument.empty() || target.size() < 3 || !from_local || !to_local ||
        fs::is_directory(*to_local, error) ||
        std::rename(from_local->c_str(), to_local->c_str()) != 0) {
        return Reply(550, "Rename failed.");
    }
    context_.recorder.RenameReceivedFile(from.back(), target.back());
    context_.recorder.Log("ftp: renamed " + Display(from) + " to " + Display(target));
    return Reply(250, "Rename successful.");
}

bool FtpSession::Size(const std::string& argument) {
    const auto local = ExistingFile(argument);
    std::error_code error;
    const auto size = local ? fs::file_size(*local, error) : 0;
    if (!local || error) {
        return Reply(550, "Could not get file size.");
    }
    return Reply(213, std::to_string(size));
}

bool FtpSession::Delete(const std::string& argument) {
    const auto local = ExistingFile(argument);
    if (!local || std::remove(local->c_str()) != 0) {
        return Reply(550, "Delete operation failed.");
    }
    return Reply(250, "Delete operation successful.");
}

bool FtpSession::StallUntilClientLeaves(UniqueFd data) {
    context_.recorder.Log("ftp: stalling until the client leaves");
    std::string ignored;
    for (;;) {
        const ReadStatus status = ReadInto(control_.Get(), context_.stop, ignored, 4096);
        if (status != ReadStatus::Data) {
            break;
        }
    }
    data.Reset();
    return false;
}

}  // namespace tapir::boxsim
