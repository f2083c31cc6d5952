#include "platform/host_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <initializer_list>
#include <string>

namespace tapir::platform {
namespace {

using enum HostAddressKind;

// Labels of the given lengths joined by points.
std::string Labels(std::initializer_list<size_t> lengths) {
    std::string name;
    for (const size_t length : lengths) {
        name += (name.empty() ? "" : ".") + std::string(length, 'a');
    }
    return name;
}

TEST(HostAddress, Table) {
    struct Case {
        std::string address;
        HostAddressKind kind;
    };
    const Case cases[] = {
        // Dotted IPv4: four decimal numbers 0..255.
        {"192.168.1.10", Ipv4},
        {"10.0.0.1", Ipv4},
        {"1.1.1.1", Ipv4},
        {"0.0.0.0", Ipv4},
        {"255.255.255.255", Ipv4},
        {"256.1.1.1", Invalid},
        {"1.1.1.1000", Invalid},
        {"1.2.3", Invalid},
        {"1.2.3.4.5", Invalid},
        {"1.2.3.4.", Invalid},
        {".1.2.3", Invalid},
        {"1..2.3", Invalid},
        {".........", Invalid},
        {"010.0.0.1", Invalid},
        // IPv6.
        {"::1", Ipv6},
        {"fe80::1", Ipv6},
        {"2001:db8::8a2e:370:7334", Ipv6},
        {"::ffff:192.168.1.10", Ipv6},
        {"fe80::1%eth0", Ipv6},
        {"fe80::1%", Invalid},
        {"fe80::1%eth 0", Invalid},
        {"1:2:3:4:5:6:7:8:9", Invalid},
        {"2001:db8::g", Invalid},
        {"192.168.1.10:21", Invalid},
        {"[::1]", Invalid},
        // Host names.
        {"dreambox", HostName},
        {"box.local", HostName},
        {"my-box.example.org.", HostName},
        {"localhost", HostName},
        {"1box.example", HostName},
        {"box.1e100", HostName},
        {std::string(63, 'a') + ".example", HostName},
        {std::string(64, 'a') + ".example", Invalid},
        {Labels({63, 63, 63, 61}), HostName},  // 253 characters
        {Labels({63, 63, 63, 62}), Invalid},
        {"-box.local", Invalid},
        {"box-.local", Invalid},
        {"box..local", Invalid},
        {"box_1.local", Invalid},
        {"box local", Invalid},
        {" box", Invalid},
        {"b\xc3\xb6x.local", Invalid},
        {"", Invalid},
        {"box.0x1f", Invalid},
        {"0xbad", Invalid},
        {"box.123", Invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        const HostAddressCheck check = CheckHostAddress(c.address);
        EXPECT_EQ(check.kind, c.kind);
        EXPECT_EQ(check.problem.empty(), c.kind != Invalid) << check.problem;
    }
}

// What makes these forms dangerous: the C library's own address reader takes each of them
// as some other IPv4 address, so a resolver would connect there without asking.
TEST(HostAddress, RefusesWhatAResolverReadsAsAnotherAddress) {
    struct Case {
        const char* address;
        const char* read_as;
    };
    for (const Case& c : {Case{"999999999", "59.154.201.255"}, Case{"10.1", "10.0.0.1"},
                          Case{"127.1", "127.0.0.1"}, Case{"0x7f.1", "127.0.0.1"},
                          Case{"0177.0.0.1", "127.0.0.1"}, Case{"0x7f000001", "127.0.0.1"},
                          Case{"192.168.1", "192.168.0.1"}, Case{"010.0.0.1", "8.0.0.1"}}) {
        SCOPED_TRACE(c.address);
        in_addr read{};
        ASSERT_NE(::inet_aton(c.address, &read), 0);
        char text[INET_ADDRSTRLEN] = {};
        ASSERT_NE(::inet_ntop(AF_INET, &read, text, sizeof text), nullptr);
        EXPECT_EQ(std::string(text), c.read_as);
        const HostAddressCheck check = CheckHostAddress(c.address);
        EXPECT_EQ(check.kind, Invalid);
        EXPECT_FALSE(check.problem.empty());
    }
}

TEST(HostAddress, ProblemsSayWhatIsWrong) {
    EXPECT_NE(CheckHostAddress("999999999").problem.find("bare number"), std::string::npos);
    EXPECT_NE(CheckHostAddress("10.1").problem.find("four numbers"), std::string::npos);
    EXPECT_NE(CheckHostAddress("0177.0.0.1").problem.find("0177"), std::string::npos);
    EXPECT_NE(CheckHostAddress("300.1.1.1").problem.find("0 to 255"), std::string::npos);
    EXPECT_NE(CheckHostAddress("box.0x1").problem.find("ends in a number"), std::string::npos);
    EXPECT_NE(CheckHostAddress("::g").problem.find("IPv6"), std::string::npos);
}

}  // namespace
}  // namespace tapir::platform
