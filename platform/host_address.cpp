#include "platform/host_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <vector>

namespace tapir::platform {

namespace {

constexpr size_t kMaxHostNameLength = 253;
constexpr size_t kMaxLabelLength = 63;
constexpr size_t kMaxZoneLength = 15;  // an interface name

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

HostAddressCheck Refused(std::string problem) {
    return HostAddressCheck{HostAddressKind::Invalid, std::move(problem)};
}

// Digits and points only: must be exactly a dotted IPv4 address. Resolvers also read one
// to three numbers ("10.1" is 10.0.0.1, "999999999" is 59.154.201.255) and numbers with a
// leading zero as octal ("0177.0.0.1" is 127.0.0.1), so those are refused.
HostAddressCheck CheckNumeric(std::string_view address) {
    const std::vector<std::string_view> parts = Split(address, '.');
    if (parts.size() == 1) {
        return Refused(
            "A bare number is read as some other address; type four numbers 0 to 255 "
            "separated by points, an IPv6 address or a host name.");
    }
    if (parts.size() != 4) {
        return Refused("An IPv4 address needs exactly four numbers separated by points.");
    }
    for (const std::string_view part : parts) {
        if (part.empty()) {
            return Refused("An IPv4 address needs a number between every two points.");
        }
        if (part.size() > 1 && part.front() == '0') {
            return Refused("A number with a leading zero is read as octal; write " +
                           std::string(part) + " without the leading zero.");
        }
        if (part.size() > 3 || std::stoi(std::string(part)) > 255) {
            return Refused("Each number of an IPv4 address must be 0 to 255.");
        }
    }
    return HostAddressCheck{HostAddressKind::Ipv4, {}};
}

HostAddressCheck CheckIpv6(std::string_view address) {
    std::string_view numeric = address;
    const size_t percent = address.find('%');
    if (percent != std::string_view::npos) {
        const std::string_view zone = address.substr(percent + 1);
        const bool zone_ok =
            !zone.empty() && zone.size() <= kMaxZoneLength &&
            std::all_of(zone.begin(), zone.end(), [](char c) {
                return IsLetter(c) || IsDigit(c) || c == '_' || c == '-' || c == '.';
            });
        if (!zone_ok) {
            return Refused("The zone after '%' of an IPv6 address must be an interface name.");
        }
        numeric = address.substr(0, percent);
    }
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, std::string(numeric).c_str(), &parsed) != 1) {
        return Refused("This is not a valid IPv6 address.");
    }
    return HostAddressCheck{HostAddressKind::Ipv6, {}};
}

// A label a resolver could take as part of a numeric address: decimal, or hexadecimal
// with "0x".
bool LooksNumeric(std::string_view label) {
    if (std::all_of(label.begin(), label.end(), IsDigit)) {
        return true;
    }
    return label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X') &&
           std::all_of(label.begin() + 2, label.end(), IsHexDigit);
}

HostAddressCheck CheckHostName(std::string_view address) {
    std::string_view name = address;
    if (name.size() > 1 && name.back() == '.') {
        name.remove_suffix(1);  // a fully qualified name may end in a point
    }
    if (name.size() > kMaxHostNameLength) {
        return Refused("A host name can have at most 253 characters.");
    }
    const std::vector<std::string_view> labels = Split(name, '.');
    for (const std::string_view label : labels) {
        if (label.empty() || label.size() > kMaxLabelLength) {
            return Refused(
                "Each part of a host name between points must have 1 to 63 "
                "characters.");
        }
        const bool characters_ok = std::all_of(label.begin(), label.end(), [](char c) {
            return IsLetter(c) || IsDigit(c) || c == '-';
        });
        if (!characters_ok) {
            return Refused("A host name may contain only letters, digits, hyphens and points.");
        }
        if (label.front() == '-' || label.back() == '-') {
            return Refused("A part of a host name cannot begin or end with a hyphen.");
        }
    }
    if (LooksNumeric(labels.back())) {
        return Refused(
            "A name that ends in a number is read as some other address; type "
            "four numbers 0 to 255 separated by points or a host name.");
    }
    return HostAddressCheck{HostAddressKind::HostName, {}};
}

}  // namespace

HostAddressCheck CheckHostAddress(std::string_view address) {
    if (address.empty()) {
        return Refused("No address was given.");
    }
    if (address.find(':') != std::string_view::npos) {
        return CheckIpv6(address);
    }
    if (std::all_of(address.begin(), address.end(),
                    [](char c) { return IsDigit(c) || c == '.'; })) {
        return CheckNumeric(address);
    }
    return CheckHostName(address);
}

}  // namespace tapir::platform
