// The platform layer: calendar fields of UTC instants, socket error codes and their texts,
// IPv4 text and look-ups, stop requests, on whichever system the tests were built for
// (Linux, or Windows under Wine).
#ifdef _WIN32
#include <winsock2.h>
#else
#include <cerrno>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

#include "console_stop.h"
#include "ipv4.h"
#include "local_time.h"
#include "sockets.h"
#include "source.h"
#include "udp.h"

namespace {

#ifdef _WIN32
constexpr int kAddressInUse = WSAEADDRINUSE;
#else
constexpr int kAddressInUse = EADDRINUSE;
#endif

TEST(PlatformCalendar, FieldsOfUtcInstants) {
    struct Case {
        std::int64_t seconds;
        int year, month, day, hour, minute, second, weekday, yearDay;
    };
    const Case cases[] = {
        {0, 1970, 1, 1, 0, 0, 0, 4, 0},
        {-1, 1969, 12, 31, 23, 59, 59, 3, 364},
        {951'782'400, 2000, 2, 29, 0, 0, 0, 2, 59},              // a leap day
        {1'774'746'000, 2026, 3, 29, 1, 0, 0, 0, 87},            // Europe's 2026 switch
        {253'402'300'799, 9999, 12, 31, 23, 59, 59, 5, 364},     // the view's last second
    };
    for (const Case& c : cases) {
        std::tm fields{};
        ASSERT_TRUE(Kor::Platform::UtcCalendar(c.seconds, fields)) << c.seconds;
        EXPECT_EQ(fields.tm_year + 1900, c.year) << c.seconds;
        EXPECT_EQ(fields.tm_mon + 1, c.month) << c.seconds;
        EXPECT_EQ(fields.tm_mday, c.day) << c.seconds;
        EXPECT_EQ(fields.tm_hour, c.hour) << c.seconds;
        EXPECT_EQ(fields.tm_min, c.minute) << c.seconds;
        EXPECT_EQ(fields.tm_sec, c.second) << c.seconds;
        EXPECT_EQ(fields.tm_wday, c.weekday) << c.seconds;
        EXPECT_EQ(fields.tm_yday, c.yearDay) << c.seconds;
    }
}

// A socket error keeps its system code, reads as text a person can act on, and compares
// equal to the portable condition.
TEST(PlatformSockets, ErrorCodesKeepTheirCodeTextAndCondition) {
    const std::error_code code(kAddressInUse, Kor::Platform::SocketErrorCategory());
    EXPECT_EQ(code.value(), kAddressInUse);
    EXPECT_EQ(code, std::errc::address_in_use);
    const std::string text = Kor::Platform::SocketErrorText(kAddressInUse);
    EXPECT_NE(text.find("in use"), std::string::npos) << text;
    const std::system_error error(code, "Binding port failed.");
    EXPECT_NE(std::string(error.what()).find("Binding port failed."), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("in use"), std::string::npos) << error.what();
}

// The socket layer can be started, stopped and started again (Windows counts its users).
TEST(PlatformSockets, SessionsNest) {
    const Kor::Platform::SocketSession outer;
    { const Kor::Platform::SocketSession inner; }
    EXPECT_NO_THROW({ const Kor::Platform::SocketSession again; });
}

// 224.0.0.0/4 by its edges; anything that is not dotted-decimal IPv4 is no group.
TEST(PlatformIpv4, MulticastRangeAndLookups) {
    using Kor::Platform::IsMulticastIpv4;
    EXPECT_TRUE(IsMulticastIpv4("224.0.0.0"));
    EXPECT_TRUE(IsMulticastIpv4("239.255.255.255"));
    EXPECT_FALSE(IsMulticastIpv4("223.255.255.255"));
    EXPECT_FALSE(IsMulticastIpv4("240.0.0.0"));
    EXPECT_FALSE(IsMulticastIpv4("224.0.0"));
    EXPECT_FALSE(IsMulticastIpv4("localhost"));
    EXPECT_FALSE(IsMulticastIpv4(""));

    using Kor::Platform::ResolveIpv4;
    EXPECT_EQ(ResolveIpv4("239.1.2.3"), "239.1.2.3");
    EXPECT_EQ(ResolveIpv4("localhost"), "127.0.0.1");
    EXPECT_EQ(ResolveIpv4(""), std::nullopt);
}

#ifndef _WIN32
// The first of SIGTERM and SIGINT is the request; a wait returns it at once, and the process
// goes on after both.
TEST(PlatformStop, TheFirstSignalIsTheRequest) {
    EXPECT_EQ(Kor::Platform::WaitForConsoleStop(std::chrono::milliseconds(0)), 0);
    Kor::Platform::InstallConsoleStopHandler();
    EXPECT_EQ(Kor::Platform::ConsoleStopRequest(), 0);
    std::raise(SIGTERM);
    std::raise(SIGINT);
    EXPECT_EQ(Kor::Platform::ConsoleStopRequest(), SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Kor::Platform::WaitForConsoleStop(std::chrono::hours(1)), SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1));
    Kor::Platform::ConsoleStopHandled();
}
#endif

// Sources are told apart by sender and subject, and written as a person reads an address.
TEST(PlatformSourceKey, SendersAndSubjectsApart) {
    using Kor::Platform::SourceKey;
    const SourceKey camera{0x7F000001, 40001, 1};
    EXPECT_EQ(camera.Sender(), "127.0.0.1:40001");
    EXPECT_EQ((SourceKey{0xC0A8010A, 65535, 0}).Sender(), "192.168.1.10:65535");
    EXPECT_EQ(SourceKey{}.Sender(), "serial");
    EXPECT_LT(camera, (SourceKey{0x7F000001, 40001, 2}));
    EXPECT_LT(camera, (SourceKey{0x7F000001, 40002, 0}));
    EXPECT_NE(camera, (SourceKey{0x7F000002, 40001, 1}));
    // Subjects take all 16 bits; a key made without one has none.
    EXPECT_NE((SourceKey{0x7F000001, 40001, 0x0101}), (SourceKey{0x7F000001, 40001, 0x0001}));
    EXPECT_EQ(SourceKey{}.subject, SourceKey::kNoSubject);
    EXPECT_EQ(SourceKey::kNoSubject, 0xFFFF);
}

// One socket sends on loopback, a source bound to a port the system chose receives: the
// datagram whole, where it came from and went to, and a stamp near the time of sending.
TEST(PlatformUdp, ALoopbackDatagramArrivesWithItsOrigin) {
    std::unique_ptr<Kor::Platform::Source> source;
    const Kor::Checked opened = Kor::Platform::OpenUdpSource("127.0.0.1", 0, source);
    ASSERT_TRUE(opened) << opened.Message();
    ASSERT_TRUE(source);
    ASSERT_TRUE(source->Datagrams());
    const std::string described = source->Describe();
    ASSERT_EQ(described.rfind("UDP 127.0.0.1:", 0), 0U) << described;
    const auto port = static_cast<std::uint16_t>(std::stoi(described.substr(14)));
    ASSERT_NE(port, 0);

    Kor::Platform::UdpSocket sender;
    ASSERT_EQ(sender.Bind("127.0.0.1", 0), 0);
    const std::vector<std::uint8_t> bytes(1500, 0xA5);
    const auto before = std::chrono::system_clock::now();
    ASSERT_TRUE(sender.SendTo("127.0.0.1", port, bytes.data(), bytes.size()));
    std::vector<std::uint8_t> received;
    ASSERT_EQ(source->Read(received, std::chrono::milliseconds(5000)),
              Kor::Platform::ReadResult::Data);
    EXPECT_EQ(received, bytes);
    const auto origin = source->LastOrigin();
    ASSERT_TRUE(origin);
    EXPECT_EQ(origin->sourceAddress, 0x7F000001U);
    EXPECT_EQ(origin->sourcePort, sender.LocalPort());
    EXPECT_EQ(origin->destinationAddress, 0x7F000001U);
    EXPECT_EQ(origin->destinationPort, port);
    const auto sent = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          before.time_since_epoch()).count();
    EXPECT_GE(origin->wallNs, sent - 1'000'000'000);
    EXPECT_LE(origin->wallNs, sent + 60'000'000'000);

    // Nothing more: the wait ends in time. A port in use is refused, not shared.
    EXPECT_EQ(source->Read(received, std::chrono::milliseconds(10)),
              Kor::Platform::ReadResult::Timeout);
    std::unique_ptr<Kor::Platform::Source> second;
    const Kor::Checked refused = Kor::Platform::OpenUdpSource("127.0.0.1", port, second);
    EXPECT_FALSE(refused);
    EXPECT_FALSE(second);
    EXPECT_NE(
        refused.Message().find("cannot bind UDP port " + std::to_string(port) + " on 127.0.0.1: "),
        std::string::npos)
        << refused.Message();
    Kor::Platform::UdpSocket other;
    EXPECT_NE(other.Bind("not an address", 0), 0);
}

}  // namespace
