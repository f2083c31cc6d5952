#pragma once
// Error kinds raised by the box transfer layer: TCP transport, FTP client, telnet client.
// Each class fixes its kind name and builds its message text in its constructor.

#include <string>

#include "platform/exception.h"

namespace tapir::transfer {

// A failing socket operation. Code() is the Windows sockets error number.
class EIdSocketError : public tapir::Exception {
  public:
    explicit EIdSocketError(int error_number);
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
