#include "transfer/id_ftp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "transfer/errors.h"

namespace tapir::transfer {

namespace {

std::string_view TrimControl(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) {
        text.remove_prefix(1);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameCodePrefix(std::string_view line, std::string_view first_line) {
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) !=
            std::tolower(static_cast<unsigned char>(first_line[i]))) {
            return false;
        }
    }
    return line[3] == ' ';
}

int ReplyCode(std::string_view line) {
    if (line.size() < 3) {
        return 0;
    }
    int code = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return 0;
        }
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        lines.emplace_back(text.substr(start, end - start));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() &&
            text[end + 1] == '\n') {
            ++end;
        }
        start = end + 1;
    }
    return lines;
}

// A file created with a unique name beside its final place; removed unless committed.
class TempFile {
  public:
    explicit TempFile(const std::string& final_path) : final_path_(final_path) {
        const std::size_t slash = final_path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : final_path.substr(0, slash);
        std::string pattern = dir + "/" + kGetTempPrefix + "XXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) {
            throw EFCreateError(final_path);
        }
        path_ = pattern;
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!committed_) {
            ::unlink(path_.c_str());
        }
    }

    void Write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                throw EWriteError(final_path_);
            }
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    // Closes the file and moves it over the final path.
    void Commit() {
        ::fchmod(fd_, 0644);
        const int rc = ::close(fd_);
        fd_ = -1;
        if (rc != 0) {
            throw EWriteError(final_path_);
        }
        if (::rename(path_.c_str(), final_path_.c_str()) != 0) {
            throw EFCreateError(final_path_);
        }
        committed_ = true;
    }

  private:
    std::string final_path_;
    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

class InputFile {
  public:
    explicit InputFile(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            throw EFOpenError(path);
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { ::close(fd_); }

    // Returns the next block; empty at the end of the file.
    std::string_view Read(char* buffer, std::size_t size) {
        while (true) {
            const ssize_t count = ::read(fd_, buffer, size);
            if (count >= 0) {
                return {buffer, static_cast<std::size_t>(count)};
            }
            if (errno != EINTR) {
                throw EReadError(path_);
            }
        }
    }

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

FtpReply ReadFtpReply(const std::function<std::string()>& read_line, std::size_t max_reply_size) {
    FtpReply reply;
    std::size_t reply_size = 0;
    auto next_line = [&]() {
        while (true) {
            const std::string raw = read_line();
            reply_size += raw.size();
            if (reply_size > max_reply_size) {
                throw EIdMaxLineLengthExceeded(max_reply_size);
            }
            const std::string_view trimmed = TrimControl(raw);
            if (!trimmed.empty()) {
                return std::string(trimmed);
            }
        }
    };
    reply.lines.push_back(next_line());
    const std::string first = reply.lines.front();
    if (first.size() > 3 && first[3] == '-') {
        while (true) {
            std::string line = next_line();
            const bool last = line.size() < 4 || SameCodePrefix(line, first);
            reply.lines.push_back(std::move(line));
            if (last) {
                break;
            }
        }
    }
    reply.code = ReplyCode(reply.lines.back());
    return reply;
}

void RemoveInterruptedGets(const std::string& dir) {
    std::error_code error;
    std::filesystem::directory_iterator entries(dir, error);
    if (error) {
        return;
    }
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kGetTempPrefix, 0) == 0 && entry.is_regular_file(error)) {
            std::filesystem::remove(entry.path(), error);
        }
    }
}

std::string PortCommand(const std::string& address, std::uint16_t port) {
    std::string text = "PORT " + address;
    std::replace(text.begin(), text.end(), '.', ',');
    return text + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

TIdFTP::TIdFTP() {
    control_.OnStatus = [this](ConnectionStatus kind, const std::string& text) {
        if (OnStatus) {
            OnStatus(kind, text);
        }
    };
    control_.OnTick = [this] { DoWork(); };
}

void TIdFTP::SetConnectTimeout(int milliseconds) {
    control_.SetConnectTimeout(milliseconds);
    connect_timeout_ = control_.ConnectTimeout();
}

void TIdFTP::SetReplyTimeout(int milliseconds) {
    control_.SetReadTimeout(milliseconds);
    reply_timeout_ = control_.ReadTimeout();
}

void TIdFTP::DoWork() {
    if (OnWork && !OnWork(work_name_, work_bytes_)) {
        throw EAbort();
    }
}

void TIdFTP::PrepareData(TcpConnection& data) {
    data.SetReadTimeout(reply_timeout_);
    data.OnTick = [this] { DoWork(); };
}

template <typename Step>
decltype(auto) TIdFTP::Guarded(Step&& step) {
    // After a cancel or a timeout the server may still be sending the rest of a reply or of a
    // transfer; the control connection can no longer be trusted to stay in step.
    try {
        return step();
    } catch (const EAbort&) {
        control_.Disconnect();
        throw;
    } catch (const EIdReadTimeout&) {
        control_.Disconnect();
        throw;
    } catch (const EIdWriteTimeout&) {
        control_.Disconnect();
        throw;
    } catch (const EIdAcceptTimeout&) {
        control_.Disconnect();
        throw;
    } catch (const EIdListingTooLarge&) {
        control_.Disconnect();
        throw;
    }
}

const FtpReply& TIdFTP::GetResponse(std::initializer_list<int> allowed) {
    Guarded([this] {
        last_reply_ = ReadFtpReply([this] { return control_.ReadLn(); }, kMaxReplySize);
    });
    if (allowed.size() != 0 &&
        std::find(allowed.begin(), allowed.end(), last_reply_.code) == allowed.end()) {
        throw EIdProtocolReplyError(last_reply_.code, last_reply_.lines.back());
    }
    return last_reply_;
}

const FtpReply& TIdFTP::SendCmd(std::string_view command, std::initializer_list<int> allowed) {
    std::string line(command);
    line += "\r\n";
    Guarded([&] { control_.Write(line); });
    return GetResponse(allowed);
}

void TIdFTP::Connect(bool login) {
    control_.SetHost(host_);
    control_.SetPort(port_);
    work_name_.clear();
    work_bytes_ = 0;
    control_.Connect();
    try {
        GetResponse({220});
        if (login) {
            if (SendCmd("user " + user_, {230, 331}).code == 331) {
                SendCmd("pass " + password_, {230});
            }
            SendCmd(transfer_type_ == ftASCII ? "type A" : "type I", {200});
            SendCmd("syst", {200, 215, 500});
        }
    } catch (...) {
        control_.Disconnect();
        throw;
    }
}

void TIdFTP::ChangeDir(const std::string& dir) { SendCmd("CWD " + dir, {250}); }

bool TIdFTP::DataTransfer(const std::string& command,
                          const std::function<void(TcpConnection&)>& transfer,
                          std::initializer_list<int> absent) {
    {
        TcpConnection data;
        PrepareData(data);
        data.Listen(control_.LocalAddress());
        SendCmd(PortCommand(data.LocalAddress(), data.LocalPort()), {200});
        const int code = SendCmd(command, {}).code;
        if (std::find(absent.begin(), absent.end(), code) != absent.end()) {
            return false;
        }
        if (code != 125 && code != 150) {
            throw EIdProtocolReplyError(code, last_reply_.lines.back());
        }
        const bool accepted = Guarded([&] { return data.Accept(&control_); });
        if (!accepted) {
            // The server answered on the control connection instead of connecting.
            GetResponse({});
            throw EIdProtocolReplyError(last_reply_.code, last_reply_.lines.back());
        }
        try {
            Guarded([&] { transfer(data); });
        } catch (...) {
            // The closing reply of a broken transfer would answer our next command.
            control_.Disconnect();
            throw;
        }
    }
    if (GetResponse({225, 226, 250, 426}).code == 426) {
        // The server cut the transfer off: what moved is not the whole file. Whatever it says
        // next is of no use, so the control connection is closed rather than read on.
        const FtpReply cut = last_reply_;
        control_.Disconnect();
        throw EIdProtocolReplyError(cut.code, cut.lines.back());
    }
    return true;
}

bool TIdFTP::List(std::vector<std::string>& dest, const std::string& mask,
                  std::initializer_list<int> absent) {
    std::string received;
    std::size_t line_ends = 0;
    // Both limits are checked as the bytes arrive, so that an endless listing never takes more
    // memory than the limits allow. Line ends are counted loosely (CR LF counts twice) to stop
    // early; the exact count of names is checked once the listing is split.
    const bool listed = DataTransfer(
        std::string(TrimControl("nlst " + mask)),
        [&](TcpConnection& data) {
            data.ReadUntilClose([&](std::string_view chunk) {
                line_ends += static_cast<std::size_t>(std::count_if(
                    chunk.begin(), chunk.end(), [](char c) { return c == '\n' || c == '\r'; }));
                if (received.size() + chunk.size() > kMaxListBytes ||
                    line_ends > 2 * kMaxListNames + 1) {
                    throw EIdListingTooLarge(mask, kMaxListNames, kMaxListBytes);
                }
                received.append(chunk);
                work_bytes_ = received.size();
                DoWork();
            });
        },
        absent);
    if (!listed) {
        dest.clear();
        return false;
    }
    std::vector<std::string> names = SplitLines(received);
    if (names.size() > kMaxListNames) {
        control_.Disconnect();
        throw EIdListingTooLarge(mask, kMaxListNames, kMaxListBytes);
    }
    dest = std::move(names);
    return true;
}

bool TIdFTP::ListNamesIfAny(std::vector<std::string>& dest, const std::string& mask) {
    return List(dest, mask, {450, 550});
}

void TIdFTP::ListNames(std::vector<std::string>& dest, const std::string& mask) {
    (void)List(dest, mask, {});
}

namespace {

// Names the file of a Get or Put for the progress reports while it lasts.
class WorkScope {
  public:
    WorkScope(std::string& name, std::uint64_t& bytes, const std::string& remote_name)
        : name_(name), bytes_(bytes) {
        name_ = remote_name;
        bytes_ = 0;
    }
    WorkScope(const WorkScope&) = delete;
    WorkScope& operator=(const WorkScope&) = delete;
    ~WorkScope() { name_.clear(); }

  private:
    std::string& name_;
    std::uint64_t& bytes_;
};

}  // namespace

void TIdFTP::Get(const std::string& remote_name, const std::string& local_path) {
    TempFile file(local_path);
    WorkScope scope(work_name_, work_bytes_, remote_name);
    DataTransfer("retr " + remote_name, [&](TcpConnection& data) {
        data.ReadUntilClose([&](std::string_view chunk) {
            file.Write(chunk);
            work_bytes_ += chunk.size();
            DoWork();
        });
    });
    file.Commit();
}

void TIdFTP::Put(const std::string& local_path, const std::string& remote_name) {
    InputFile file(local_path);
    WorkScope scope(work_name_, work_bytes_, remote_name);
    DataTransfer("STOR " + remote_name, [&](TcpConnection& data) {
        std::string buffer(TcpConnection::kReceiveSize, '\0');
        while (true) {
            const std::string_view block = file.Read(buffer.data(), buffer.size());
            if (block.empty()) {
                break;
            }
            data.Write(block);
            work_bytes_ += block.size();
            DoWork();
        }
        data.Shutdown();
    });
}

void TIdFTP::Rename(const std::string& from, const std::string& to) {
    SendCmd("RNFR " + from, {350});
    SendCmd("RNTO " + to, {250});
}

void TIdFTP::Delete(const std::string& name) { SendCmd("DELE " + name, {250}); }

std::optional<std::uint64_t> TIdFTP::Size(const std::string& name) {
    const FtpReply& reply = SendCmd("SIZE " + name, {});
    if (reply.code != 213) {
        return std::nullopt;
    }
    const std::string_view line = reply.lines.back();
    std::uint64_t size = 0;
    std::size_t pos = 4;
    if (line.size() <= pos) {
        return std::nullopt;
    }
    for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos) {
        size = size * 10 + static_cast<std::uint64_t>(line[pos] - '0');
    }
    if (pos == 4) {
        return std::nullopt;
    }
    return size;
}

void TIdFTP::Disconnect() { control_.Disconnect(); }

}  // namespace tapir::transfer
