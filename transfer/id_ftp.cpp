#include "transfer/id_ftp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

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
        std::string pattern = dir + "/.tapir-get-XXXXXX";
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
}

const FtpReply& TIdFTP::GetResponse(std::initializer_list<int> allowed) {
    last_reply_ = ReadFtpReply([this] { return control_.ReadLn(); }, kMaxReplySize);
    if (allowed.size() != 0 &&
        std::find(allowed.begin(), allowed.end(), last_reply_.code) == allowed.end()) {
        throw EIdProtocolReplyError(last_reply_.code, last_reply_.lines.back());
    }
    return last_reply_;
}

const FtpReply& TIdFTP::SendCmd(std::string_view command, std::initializer_list<int> allowed) {
    std::string line(command);
    line += "\r\n";
    control_.Write(line);
    return GetResponse(allowed);
}

void TIdFTP::Connect(bool login) {
    control_.SetHost(host_);
    control_.SetPort(port_);
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

void TIdFTP::DataTransfer(const std::string& command,
                          const std::function<void(TcpConnection&)>& transfer) {
    {
        TcpConnection data;
        data.Listen(control_.LocalAddress());
        SendCmd(PortCommand(data.LocalAddress(), data.LocalPort()), {200});
        SendCmd(command, {125, 150});
        if (!data.Accept(&control_)) {
            // The server answered on the control connection instead of connecting.
            GetResponse({});
            throw EIdProtocolReplyError(last_reply_.code, last_reply_.lines.back());
        }
        transfer(data);
    }
    if (GetResponse({225, 226, 250, 426}).code == 426) {
        GetResponse({226});
    }
}

void TIdFTP::ListNames(std::vector<std::string>& dest, const std::string& mask) {
    std::string received;
    DataTransfer(std::string(TrimControl("nlst " + mask)),
                 [&received](TcpConnection& data) { data.ReadUntilClose(received); });
    dest = SplitLines(received);
}

void TIdFTP::Get(const std::string& remote_name, const std::string& local_path) {
    TempFile file(local_path);
    DataTransfer("retr " + remote_name, [&file](TcpConnection& data) {
        data.ReadUntilClose([&file](std::string_view chunk) { file.Write(chunk); });
    });
    file.Commit();
}

void TIdFTP::Put(const std::string& local_path, const std::string& remote_name) {
    InputFile file(local_path);
    DataTransfer("STOR " + remote_name, [&file](TcpConnection& data) {
        std::string buffer(TcpConnection::kReceiveSize, '\0');
        while (true) {
            const std::string_view block = file.Read(buffer.data(), buffer.size());
            if (block.empty()) {
                break;
            }
            data.Write(block);
        }
        data.Shutdown();
    });
}

void TIdFTP::Disconnect() { control_.Disconnect(); }

}  // namespace tapir::transfer
