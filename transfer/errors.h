#pragma once
// Error kinds raised by the box transfer layer: TCP transport, FTP client, telnet client.
// Each class fixes its kind name and builds its message text in its constructor.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/exception.h"

namespace tapir::transfer {

// A failing socket operation. Code() is the Windows sockets error number.
class EIdSocketError : public tapir::Exception {
  public:
    explicit EIdSocketError(int error_number);
    // A failed name lookup: "Host not found: NAME" (11001), or for the other resolver
    // failures a text that says what went wrong with NAME.
    [[nodiscard]] static EIdSocketError ResolveFailed(int error_number, const std::string& host);

  private:
    EIdSocketError(int error_number, std::string message);
};

// A duration in milliseconds as the messages show it: "30 s", "1.5 s".
[[nodiscard]] std::string TimeoutText(int milliseconds);

// The peer did not accept the connection within the connect time limit.
class EIdConnectTimeout : public tapir::Exception {
  public:
    EIdConnectTimeout(const std::string& address, std::uint16_t port, int milliseconds)
        : Exception("EIdConnectTimeout", "Connection timed out: no answer from " + address +
                                             " port " + std::to_string(port) + " within " +
                                             TimeoutText(milliseconds) + ".") {}
};

// Nothing arrived on an open connection for the reply time limit.
class EIdReadTimeout : public tapir::Exception {
  public:
    EIdReadTimeout(const std::string& address, int milliseconds)
        : Exception("EIdReadTimeout", "Read timed out: " + address + " sent nothing for " +
                                          TimeoutText(milliseconds) + ".") {}
};

// The peer took no data for the reply time limit while we were sending.
class EIdWriteTimeout : public tapir::Exception {
  public:
    EIdWriteTimeout(const std::string& address, int milliseconds)
        : Exception("EIdWriteTimeout", "Write timed out: " + address + " took no data for " +
                                           TimeoutText(milliseconds) + ".") {}
};

// The server did not open the data connection within the reply time limit.
class EIdAcceptTimeout : public tapir::Exception {
  public:
    explicit EIdAcceptTimeout(int milliseconds)
        : Exception("EIdAcceptTimeout",
                    "Data connection timed out: the server did not connect "
                    "within " +
                        TimeoutText(milliseconds) + ".") {}
};

// The user cancelled the operation.
class EAbort : public tapir::Exception {
  public:
    EAbort() : Exception("EAbort", "Operation aborted") {}
};

// A name listing longer than the client is willing to hold.
class EIdListingTooLarge : public tapir::Exception {
  public:
    EIdListingTooLarge(const std::string& mask, std::size_t max_names, std::size_t max_bytes)
        : Exception("EIdListingTooLarge", "The listing of " + mask + " is too large: more than " +
                                              std::to_string(max_names) + " names or " +
                                              std::to_string(max_bytes / (1024 * 1024)) + " MiB.") {
    }
};

// An upload that did not arrive whole: cut off (426), a size that differs, or a copy read back
// that differs from the local file. The message names the remote file and what went wrong.
class EUploadFailed : public tapir::Exception {
  public:
    EUploadFailed(const std::string& remote_name, const std::string& reason)
        : Exception("EUploadFailed", "Upload of " + remote_name + " failed: " + reason) {}
};

class EIdConnClosedGracefully : public tapir::Exception {
  public:
    EIdConnClosedGracefully()
        : Exception("EIdConnClosedGracefully", "Connection Closed Gracefully.") {}
};

class EIdAlreadyConnected : public tapir::Exception {
  public:
    EIdAlreadyConnected() : Exception("EIdAlreadyConnected", "Already connected.") {}
};

// A line on a control connection that grows past the line limit without a line end.
class EIdMaxLineLengthExceeded : public tapir::Exception {
  public:
    explicit EIdMaxLineLengthExceeded(std::size_t limit)
        : Exception("EIdMaxLineLengthExceeded", "Max line length exceeded: no line end within " +
                                                    std::to_string(limit) + " bytes.") {}
};

// A reply whose code is not allowed for the command; the message is the reply's last line.
class EIdProtocolReplyError : public tapir::Exception {
  public:
    EIdProtocolReplyError(int code, std::string last_line)
        : Exception("EIdProtocolReplyError", std::move(last_line), code) {}
};

class EFCreateError : public tapir::Exception {
  public:
    explicit EFCreateError(const std::string& path)
        : Exception("EFCreateError", "Cannot create file " + path) {}
};

class EFOpenError : public tapir::Exception {
  public:
    explicit EFOpenError(const std::string& path)
        : Exception("EFOpenError", "Cannot open file " + path) {}
};

// Writing a received file to disk failed (disk full, I/O error).
class EWriteError : public tapir::Exception {
  public:
    explicit EWriteError(const std::string& path)
        : Exception("EWriteError", "Cannot write file " + path) {}
};

// Reading a local file to be sent failed.
class EReadError : public tapir::Exception {
  public:
    explicit EReadError(const std::string& path)
        : Exception("EReadError", "Cannot read file " + path) {}
};

class EIdTelnetClientConnectError : public tapir::Exception {
  public:
    EIdTelnetClientConnectError()
        : Exception("EIdTelnetClientConnectError", "server not responding") {}
};

class EIdTelnetServerOnDataAvailableIsNil : public tapir::Exception {
  public:
    EIdTelnetServerOnDataAvailableIsNil()
        : Exception("EIdTelnetServerOnDataAvailableIsNil", "OnDataAvailable event is nil.") {}
};

}  // namespace tapir::transfer
