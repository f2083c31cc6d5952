#pragma once
// The one place where the platform's socket error codes become the error numbers and short
// texts the program shows (the Windows sockets numbering, e.g. 10061 "Connection refused.").

#include <string_view>

namespace tapir::transfer {

inline constexpr int kWsaSocketShutDown = 10058;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;

// Returns the Windows sockets number for an errno value; an errno without a counterpart is
// returned unchanged (its text is then empty).
[[nodiscard]] int SocketErrorFromErrno(int errno_value);

// Returns the Windows sockets number for a getaddrinfo() result code (EAI_*).
[[nodiscard]] int SocketErrorFromResolver(int eai_code);

// Returns the short text for a Windows sockets error number; empty for numbers without one.
[[nodiscard]] std::string_view SocketErrorText(int error_number);

}  // namespace tapir::transfer
