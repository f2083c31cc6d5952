#pragma once
// The FTP client the download and upload flows drive: control connection with command and
// reply exchange, login, change of directory, name listing, retrieval and storage of files
// over active (PORT) data connections, and status reports of the control connection.
// Not thread-safe: every operation blocks the calling thread until done.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/tcp_connection.h"

namespace tapir::transfer {

enum class TIdFTPTransferType : int { ftBinary = 0, ftASCII = 1 };
using enum TIdFTPTransferType;

// One reply of the server: its lines in order and the code of the last line (0 when that line
// does not start with three digits).
struct FtpReply {
    std::vector<std::string> lines;
    int code = 0;
};

// Reads one reply with `read_line` (which returns the next raw line of the control
// connection): blank lines skipped, lines trimmed, multi-line replies ("123-" ... "123 ").
// Throws EIdMaxLineLengthExceeded when the reply grows past `max_reply_size` bytes.
[[nodiscard]] FtpReply ReadFtpReply(const std::function<std::string()>& read_line,
                                    std::size_t max_reply_size);

// The PORT command text for a local IPv4 address and port, e.g. "PORT 192,168,1,20,4,1".
[[nodiscard]] std::string PortCommand(const std::string& address, std::uint16_t port);

class TIdFTP {
  public:
    using StatusHandler = TcpConnection::StatusHandler;

    // A reply (all lines together) longer than this fails the operation.
    static constexpr std::size_t kMaxReplySize = TcpConnection::kDefaultMaxLineLength;

    TIdFTP();
    TIdFTP(const TIdFTP&) = delete;
    TIdFTP& operator=(const TIdFTP&) = delete;
    ~TIdFTP() = default;

    // Status of the control connection (resolving, connecting, connected, disconnecting,
    // not connected). Data connections report nothing.
    StatusHandler OnStatus;

    const std::string& Host() const { return host_; }
    void SetHost(std::string host) { host_ = std::move(host); }
    std::uint16_t Port() const { return port_; }
    void SetPort(std::uint16_t port) { port_ = port; }
    const std::string& User() const { return user_; }
    void SetUser(std::string user) { user_ = std::move(user); }
    const std::string& Password() const { return password_; }
    void SetPassword(std::string password) { password_ = std::move(password); }
    TIdFTPTransferType TransferType() const { return transfer_type_; }
    void SetTransferType(TIdFTPTransferType type) { transfer_type_ = type; }
    // Always false: data connections are opened by the server to the client.
    bool Passive() const { return false; }

    // Opens the control connection, reads the 220 greeting and, when `login` is true, sends
    // "user", "pass" (only after 331), "type", "syst". Any failure closes the connection before
    // the error is rethrown: EIdSocketError, EIdProtocolReplyError, EIdConnClosedGracefully,
    // EIdAlreadyConnected, EIdMaxLineLengthExceeded.
    void Connect(bool login = true);
    // "CWD dir"; allowed 250.
    void ChangeDir(const std::string& dir);
    // "nlst mask"; `dest` is replaced by the received names, split at CR LF, LF or CR.
    void ListNames(std::vector<std::string>& dest, const std::string& mask);
    // "retr remote_name" into `local_path`. The bytes go to a temporary file beside it, which
    // replaces `local_path` only when the transfer completed; on failure the earlier file is
    // left as it was. Throws EFCreateError, EWriteError and the connection errors.
    void Get(const std::string& remote_name, const std::string& local_path);
    // "STOR remote_name" with the local file's bytes unchanged. Throws EFOpenError, EReadError and
    // the connection errors.
    void Put(const std::string& local_path, const std::string& remote_name);
    // Closes the control connection without QUIT; nothing when already closed.
    void Disconnect();
    [[nodiscard]] bool Connected() { return control_.Connected(); }

    // Sends `command` + CR LF and reads the reply; when `allowed` is not empty and the code is
    // not in it, throws EIdProtocolReplyError with the reply's last line.
    const FtpReply& SendCmd(std::string_view command, std::initializer_list<int> allowed);
    // The last reply read on the control connection.
    const FtpReply& LastReply() const { return last_reply_; }

  private:
    const FtpReply& GetResponse(std::initializer_list<int> allowed);
    // Runs one active-mode data transfer: PORT, `command`, accept, `transfer`, closing reply.
    void DataTransfer(const std::string& command,
                      const std::function<void(TcpConnection&)>& transfer);

    std::string host_;
    std::uint16_t port_ = 21;
    std::string user_;
    std::string password_;
    TIdFTPTransferType transfer_type_ = ftASCII;
    TcpConnection control_;
    FtpReply last_reply_;
};

}  // namespace tapir::transfer
