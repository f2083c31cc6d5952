#pragma once
// Checks a receiver address as the user typed it, before anything looks it up: a dotted IPv4
// address, an IPv6 address or a host name. Forms that a resolver would read as some other
// address (a bare number, fewer than four numbers, hexadecimal or octal numbers) are refused.
// Pure functions; thread-safe; nothing is resolved or contacted.

#include <cstdint>
#include <string>
#include <string_view>

namespace tapir::platform {

enum class HostAddressKind : uint8_t {
    Invalid,
    Ipv4,      // four decimal numbers 0..255 separated by points, no leading zeros
    Ipv6,      // as the C library's inet_pton reads it, optionally with a "%zone" suffix
    HostName,  // labels of letters, digits and hyphens; the last one is not a number
};

struct HostAddressCheck {
    HostAddressKind kind = HostAddressKind::Invalid;
    std::string problem;  // why the address is refused, one English sentence; empty if not
};

// Classifies `address` as it stands (no trimming: blanks make it invalid).
HostAddressCheck CheckHostAddress(std::string_view address);

}  // namespace tapir::platform
