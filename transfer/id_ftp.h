#pragma once
// The FTP client the download and upload flows drive: control connection with command and
// reply exchange, login, change of directory, name listing, retrieval and storage of files
// over active (PORT) data connections, and status reports of the control connection.
// Not thread-safe: every operation blocks the calling thread until done, but never without a
// time limit, and reports its progress through OnWork, which can cancel it.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
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

// Names of the temporary files that Get writes beside their final place start with this.
inline constexpr char kGetTempPrefix[] = ".tapir-get-";

// Removes the temporary files of Get calls that never finished (the program was ended during
// a download) from `dir`. Errors are ignored.
void RemoveInterruptedGets(const std::string& dir);

// The PORT command text for a local IPv4 address and port, e.g. "PORT 192,168,1,20,4,1".
[[nodiscard]] std::string PortCommand(const std::string& address, std::uint16_t port);

class TIdFTP {
  public:
    using StatusHandler = TcpConnection::StatusHandler;
    // Progress of the running operation: the remote file of Get/Put ("" otherwise) and the
    // bytes moved so far. Returning false cancels the operation.
    using WorkHandler =
        std::function<bool(const std::string& remote_name, std::uint64_t bytes_done)>;

    // A reply (all lines together) longer than this fails the operation.
    static constexpr std::size_t kMaxReplySize = TcpConnection::kDefaultMaxLineLength;
    // A name listing with more names or bytes than these fails with EIdListingTooLarge.
    static constexpr std::size_t kMaxListNames = 100000;
    static constexpr std::size_t kMaxListBytes = 16 * 1024 * 1024;

    TIdFTP();
    TIdFTP(const TIdFTP&) = delete;
    TIdFTP& operator=(const TIdFTP&) = delete;
    ~TIdFTP() = default;

    // Status of the control connection (resolving, connecting, connected, disconnecting,
    // not connected). Data connections report nothing.
    StatusHandler OnStatus;
    // Called on the calling thread at least every TcpConnection::kTickInterval while an
    // operation waits (connect, reply, data) and after every block moved. When it returns false
    // the operation closes its connections, leaves local files as they were (a partly received
    // file is removed) and throws EAbort "Operation aborted".
    WorkHandler OnWork;

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
    // Time limits in milliseconds: for connecting, and for any wait on a reply or on a data
    // connection (for it to open, or for a byte to move). A timeout closes the control
    // connection and throws EIdConnectTimeout, EIdReadTimeout, EIdWriteTimeout or
    // EIdAcceptTimeout.
    int ConnectTimeout() const { return connect_timeout_; }
    void SetConnectTimeout(int milliseconds);
    int ReplyTimeout() const { return reply_timeout_; }
    void SetReplyTimeout(int milliseconds);

    // Opens the control connection, reads the 220 greeting and, when `login` is true, sends
    // "user", "pass" (only after 331), "type", "syst". Any failure closes the connection before
    // the error is rethrown: EIdSocketError, EIdProtocolReplyError, EIdConnClosedGracefully,
    // EIdAlreadyConnected, EIdMaxLineLengthExceeded.
    void Connect(bool login = true);
    // "CWD dir"; allowed 250.
    void ChangeDir(const std::string& dir);
    // "nlst mask"; `dest` is replaced by the received names, split at CR LF, LF or CR. Throws
    // EIdListingTooLarge (and closes the connection) past kMaxListNames or kMaxListBytes.
    void ListNames(std::vector<std::string>& dest, const std::string& mask);
    // As ListNames, but a 450 or 550 reply to the NLST command itself (nothing matches) returns
    // false with `dest` empty; a refusal of any other step (PORT, ...) still throws.
    [[nodiscard]] bool ListNamesIfAny(std::vector<std::string>& dest, const std::string& mask);
    // "retr remote_name" into `local_path`. The bytes go to a temporary file beside it, which
    // replaces `local_path` only when the transfer completed; on failure the earlier file is
    // left as it was. Throws EFCreateError, EWriteError and the connection errors.
    void Get(const std::string& remote_name, const std::string& local_path);
    // "STOR remote_name" with the local file's bytes unchanged. Throws EFOpenError, EReadError and
    // the connection errors. A 426 closing reply (transfer cut off) throws
    // EIdProtocolReplyError 426 for Get and Put alike and closes the control connection; so
    // does any failure while the data moves.
    void Put(const std::string& local_path, const std::string& remote_name);
    // "RNFR from" (350) then "RNTO to" (250).
    void Rename(const std::string& from, const std::string& to);
    // "DELE name" (250).
    void Delete(const std::string& name);
    // "SIZE name": the size the server reports (213), or nothing when it gives none.
    [[nodiscard]] std::optional<std::uint64_t> Size(const std::string& name);
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
    // Returns false, having moved nothing, when `command` itself is answered with a code in
    // `absent`.
    bool DataTransfer(const std::string& command,
                      const std::function<void(TcpConnection&)>& transfer,
                      std::initializer_list<int> absent = {});
    bool List(std::vector<std::string>& dest, const std::string& mask,
              std::initializer_list<int> absent);
    // Runs `step`; a cancel or a timeout closes the control connection before it goes on.
    template <typename Step>
    decltype(auto) Guarded(Step&& step);
    // Reports progress; throws EAbort when OnWork asks to stop.
    void DoWork();
    void PrepareData(TcpConnection& data);

    std::string host_;
    std::uint16_t port_ = 21;
    std::string user_;
    std::string password_;
    TIdFTPTransferType transfer_type_ = ftASCII;
    int connect_timeout_ = TcpConnection::kDefaultConnectTimeout;
    int reply_timeout_ = TcpConnection::kDefaultReadTimeout;
    TcpConnection control_;
    FtpReply last_reply_;
    std::string work_name_;
    std::uint64_t work_bytes_ = 0;
};

}  // namespace tapir::transfer
