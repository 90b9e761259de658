// Device's frame reports: one per finished frame with its status and record types, on both
// paths and wherever a serial stream is cut; the pointer and span overloads; names.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <kor/device.h>

#include "test_util.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameReport;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using namespace kor_test;

using Types = std::vector<MessageType>;

// A report copied out of the callback, with the channel the state held right after it.
struct Seen {
    FrameStatus status;
    Types messages;
    int channel;

    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    out << Kor::Protocol::Name(s.status) << " [";
    for (MessageType t : s.messages) out << ' ' << Kor::Protocol::Name(t);
    return out << " ] channel " << s.channel;
}

// Feeds `input` and returns what the callback saw; `returned` gets Update's result.
std::vector<Seen> Feed(Device& device, const Bytes& input, FrameStatus* returned = nullptr) {
    std::vector<Seen> seen;
    const FrameStatus status = device.Update(input, [&](const FrameReport& report) {
        seen.push_back({report.status, Types(report.messages.begin(), report.messages.end()),
                        device.GetCurrentState()->channelId});
    });
    if (returned != nullptr) *returned = status;
    return seen;
}

Bytes Datagram(const Bytes& records) {
    return Cat({kUdpHeader, records});
}

constexpr auto kNew = FrameStatus::NewTimecode;
constexpr auto kSame = FrameStatus::SameTimecode;
constexpr auto TC = MessageType::Timecode;
constexpr auto Lens = MessageType::BasicLens;
constexpr auto Channel = MessageType::ChannelId;
constexpr auto Subject = MessageType::SubjectId;

// Timecode 10:20:30:12 and focus 1500, zoom 35.00, iris 2.80, by hand: 00 03 10 20 30 12 and
// 01 07 00 05 DC 00 0D AC 01 18 sum to 0x30; checksum CF; the zeros stuffed as code bytes.
const Bytes kLensSerial = Hex("00 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF 00");
const Bytes kChannel7Serial = Hex("00 02 18 03 07 E0 00");  // 18 00 07, checksum E0

TEST(FrameReport, DatagramsGiveOneReportEachWithTheirRecordTypesOnlyWhenApplied) {
    const struct {
        const char* name;
        Bytes datagram;
        FrameStatus status;
        Types messages;
    } cases[] = {
        {"lens, channel 4, subject 77",
         Datagram(Hex("00 03 10 20 30 12 01 07 00 05 DC 00 0D AC 01 18 18 00 04 1B 01 00 4D")),
         kNew, {TC, Lens, Channel, Subject}},
        {"the same again", Datagram(Hex("00 03 10 20 30 12 18 00 04 18 00 05")), kSame,
         {TC, Channel, Channel}},
        {"a cut-short string", Datagram(Hex("18 00 02 0E 05 41 42")), kSame,
         {Channel, MessageType::ClipName}},
        {"10 bytes", Hex("00 FF 00 00 00 00 00 00 18 00"), FrameStatus::LengthError, {}},
        {"262 bytes", Datagram(Bytes(254, 0x41)), FrameStatus::LengthError, {}},
        {"header byte 7", Hex("00 FF 00 00 00 00 00 01 18 00 07"), FrameStatus::HeaderError, {}},
        {"type 28 after a record", Datagram(Hex("18 00 07 1C 00 07")),
         FrameStatus::BadMessageType, {}},
        {"length 255", Datagram(Hex("18 00 07 0E FF")), FrameStatus::PayloadTooLong, {}},
        {"66 payload bytes", Datagram(Cat({Hex("0E 41"), Bytes(66, 0x41)})),
         FrameStatus::PayloadTooLong, {}},
        {"reserved type 17", Datagram(Hex("18 00 07 11 00 00")), FrameStatus::MessageRejected,
         {}},
    };
    Device device;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameStatus returned{};
        const std::vector<Seen> seen = Feed(device, c.datagram, &returned);
        ASSERT_EQ(seen.size(), 1U);
        EXPECT_EQ(seen[0].status, c.status);
        EXPECT_EQ(seen[0].messages, c.messages);
        EXPECT_EQ(returned, c.status);
        const FrameReport last = device.GetLastFrame();
        EXPECT_EQ(last.status, c.status);
        EXPECT_EQ(Types(last.messages.begin(), last.messages.end()), c.messages);
        EXPECT_EQ(last.Applied(), !c.messages.empty());
    }
}

TEST(FrameReport, TheLargestFrameReportsAllOfItsRecords) {
    // 84 ChannelId records of 3 bytes: 252 record bytes, as many records as a frame can
    // apply. Their sum is 84 * 0x19 = 0x834, so the serial checksum is ~0x34 = CB; each
    // record's zero length byte becomes a code byte of 3 (the last one counts 01 CB).
    Bytes records;
    Bytes stuffed{0x00, 0x02};
    for (int i = 0; i < 84; ++i) {
        records.insert(records.end(), {0x18, 0x00, 0x01});
        stuffed.insert(stuffed.end(), {0x18, 0x03, 0x01});
    }
    stuffed.insert(stuffed.end(), {0xCB, 0x00});
    for (const Bytes& frame : {Datagram(records), stuffed}) {
        Device device;
        const std::vector<Seen> seen = Feed(device, frame);
        ASSERT_EQ(seen.size(), 1U);
        EXPECT_EQ(seen[0].status, kSame);
        EXPECT_EQ(seen[0].messages, Types(84, Channel));
        EXPECT_EQ(device.GetLastFrame().messages.size(), 84U);
    }
}

// A stream that starts in the middle of something, then frames of every serial outcome
// with garbage, repeated delimiters and an overflow between them.
const Bytes kStream = Cat({
    Hex("41 42 18 43"),              // before the first delimiter: ignored
    kLensSerial,                     // NewTimecode
    Hex("00 00"),                    // empty frames between delimiters: nothing
    Hex("41 42 00"),                 // garbage: code 41 leaves no room for the checksum
    kChannel7Serial,                 // channel 7
    Hex("02 18 03 09 DF 00"),        // channel 9 with the checksum off by one
    Hex("02 18 04 09 DE 00"),        // a code byte that points past the checksum
    Hex("05 1C 01 01 00"),           // type 28
    Hex("03 03 FF 07 00"),           // length 255
    Hex("02 0D 03 06 EC 00"),        // ProjectFps 6
    Bytes(257, 0x41),                // the 257th byte overflows; the rest is dropped
    Hex("41 41 00"),
    Hex("02 18 03 09 DE 00"),        // channel 9
});

const std::vector<Seen> kStreamReports{
    {kNew, {TC, Lens}, 255},
    {FrameStatus::FramingError, {}, 255},
    {kSame, {Channel}, 7},
    {FrameStatus::ChecksumError, {}, 7},
    {FrameStatus::FramingError, {}, 7},
    {FrameStatus::BadMessageType, {}, 7},
    {FrameStatus::PayloadTooLong, {}, 7},
    {FrameStatus::MessageRejected, {}, 7},
    {FrameStatus::LengthError, {}, 7},
    {kSame, {Channel}, 9},
};

// Feeds the stream in the given pieces and checks that the reports, in order, are those of
// the whole stream, and that each call returns its last report.
void ExpectStreamReports(const std::vector<Bytes>& pieces) {
    Device device;
    std::vector<Seen> all;
    for (const Bytes& piece : pieces) {
        FrameStatus returned{};
        const std::vector<Seen> seen = Feed(device, piece, &returned);
        EXPECT_EQ(returned, seen.empty() ? FrameStatus::Incomplete : seen.back().status);
        EXPECT_EQ(device.GetLastFrame().status, returned);
        all.insert(all.end(), seen.begin(), seen.end());
    }
    EXPECT_EQ(all, kStreamReports);
}

std::vector<Bytes> Cut(const Bytes& bytes, std::vector<std::size_t> cuts) {
    std::vector<Bytes> pieces;
    std::size_t from = 0;
    cuts.push_back(bytes.size());
    for (std::size_t to : cuts) {
        pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                            bytes.begin() + static_cast<std::ptrdiff_t>(to));
        from = to;
    }
    return pieces;
}

TEST(FrameReport, SerialStreamReportsEveryFrameWhereverItIsCut) {
    {
        SCOPED_TRACE("whole");
        ExpectStreamReports({kStream});
    }
    for (std::size_t split = 0; split <= kStream.size(); ++split) {
        SCOPED_TRACE(testing::Message() << "split at " << split);
        ExpectStreamReports(Cut(kStream, {split}));
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < kStream.size(); ++i) everyByte.push_back(i);
    SCOPED_TRACE("byte by byte");
    ExpectStreamReports(Cut(kStream, everyByte));
}

TEST(FrameReport, TwoFramesCutAnywhereInThreePieces) {
    const Bytes stream = Cat({kLensSerial, Hex("02 18 03 09 DE 00")});
    const std::vector<Seen> expected{{kNew, {TC, Lens}, 255}, {kSame, {Channel}, 9}};
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        for (std::size_t b = a; b <= stream.size(); ++b) {
            Device device;
            std::vector<Seen> all;
            for (const Bytes& piece : Cut(stream, {a, b})) {
                const std::vector<Seen> seen = Feed(device, piece);
                all.insert(all.end(), seen.begin(), seen.end());
            }
            EXPECT_EQ(all, expected) << "cut at " << a << " and " << b;
        }
    }
}

TEST(FrameReport, LastFrameIsThatOfTheLatestCall) {
    Device device;
    EXPECT_EQ(device.GetLastFrame().status, FrameStatus::Incomplete);
    EXPECT_TRUE(device.GetLastFrame().messages.empty());
    EXPECT_EQ(device.Update(kLensSerial), kNew);
    Types last(device.GetLastFrame().messages.begin(), device.GetLastFrame().messages.end());
    EXPECT_EQ(last, (Types{TC, Lens}));
    // A call that finishes nothing leaves nothing to report.
    EXPECT_EQ(device.Update(Hex("02 18")), FrameStatus::Incomplete);
    EXPECT_EQ(device.GetLastFrame().status, FrameStatus::Incomplete);
    EXPECT_TRUE(device.GetLastFrame().messages.empty());
    // An applied frame followed by a refused one in the same call: the refused one is last.
    EXPECT_EQ(device.Update(Hex("03 07 E0 00 02 00")), FrameStatus::ChecksumError);
    EXPECT_EQ(device.GetLastFrame().status, FrameStatus::ChecksumError);
    EXPECT_TRUE(device.GetLastFrame().messages.empty());
    EXPECT_EQ(device.GetCurrentState()->channelId, 7);

    // Copies share it; a moved-from device has none.
    Device copy(device);
    EXPECT_EQ(copy.Update(kChannel7Serial), kSame);
    EXPECT_EQ(device.GetLastFrame().messages.size(), 1U);
    Device moved(std::move(device));
    // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move): on purpose
    EXPECT_EQ(device.GetLastFrame().status, FrameStatus::Incomplete);
    int calls = 0;
    EXPECT_EQ(device.Update(kChannel7Serial, [&](const FrameReport&) { ++calls; }),
              FrameStatus::Incomplete);
    EXPECT_EQ(calls, 0);
}

TEST(FrameReport, PointerAndSpanInputReadOnlyTheirBytes) {
    // The datagram (channel 7) sits between bytes that must not be read: had the two after
    // it been read, they would form a record without payload, which is rejected.
    const std::array<std::uint8_t, 15> buffer{0x41, 0x41, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x18, 0x00, 0x07, 0x18, 0x00};
    const std::span<const std::uint8_t> datagram(buffer.data() + 2, 11);
    Device device;
    EXPECT_EQ(device.Update(datagram), kSame);
    EXPECT_EQ(device.GetCurrentState()->channelId, 7);
    EXPECT_EQ(device.Update(buffer.data() + 2, 10), FrameStatus::LengthError);

    // A serial stream through pointer and size, with a report per frame.
    const Bytes stream = Cat({kChannel7Serial, Hex("02 18 03 09 DE 00")});
    std::vector<int> channels;
    EXPECT_EQ(device.Update(stream.data(), stream.size(),
                            [&](const FrameReport&) {
                                channels.push_back(device.GetCurrentState()->channelId);
                            }),
              kSame);
    EXPECT_EQ(channels, (std::vector<int>{7, 9}));

    // No bytes: nothing happens, whether the pointer is null or not.
    EXPECT_EQ(device.Update(nullptr, 0), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(nullptr, 5), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(std::span<const std::uint8_t>()), FrameStatus::Incomplete);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);
}

TEST(FrameReport, ACallbackThatThrowsLeavesTheRestOfTheInputUnread) {
    Device device;
    const Bytes chunk = Cat({kChannel7Serial, Hex("02 18 03 09 DE 00 02 18")});
    EXPECT_THROW(device.Update(chunk, [](const FrameReport&) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_EQ(device.GetCurrentState()->channelId, 7);
    EXPECT_EQ(device.GetLastFrame().status, kSame);
    // The stream goes on right after the reported frame's delimiter.
    EXPECT_EQ(device.Update(Hex("02 18 03 09 DE 00")), kSame);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);
}

TEST(FrameReport, ACallbackMayReplaceOrUpdateItsDevice) {
    Device device;
    const Bytes chunk = Cat({kChannel7Serial, Hex("02 18 03 09 DE 00")});
    int calls = 0;
    // The decoder the call runs in stays alive when the callback drops the last handle.
    EXPECT_EQ(device.Update(chunk,
                            [&](const FrameReport&) {
                                ++calls;
                                device = Device();
                            }),
              kSame);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(device.GetCurrentState()->channelId, 255);

    // A nested Update is decoded as usual.
    std::vector<int> channels;
    EXPECT_EQ(device.Update(chunk,
                            [&](const FrameReport& report) {
                                channels.push_back(device.GetCurrentState()->channelId);
                                if (channels.size() == 1) {
                                    EXPECT_EQ(device.Update(Hex("02 18 03 05 E2 00")), kSame);
                                    EXPECT_EQ(report.messages.size(), 1U);
                                }
                            }),
              kSame);
    EXPECT_EQ(channels, (std::vector<int>{7, 9}));
}

TEST(Names, SpelledAsTheEnumerators) {
    EXPECT_EQ(Kor::Protocol::Name(MessageType::Timecode), "Timecode");
    EXPECT_EQ(Kor::Protocol::Name(MessageType::BasicLens), "BasicLens");
    EXPECT_EQ(Kor::Protocol::Name(MessageType::FileTransferMd5), "FileTransferMd5");
    EXPECT_EQ(Kor::Protocol::Name(MessageType::SubjectId), "SubjectId");
    EXPECT_EQ(Kor::Protocol::Name(static_cast<MessageType>(28)), "Unknown");
    EXPECT_EQ(Kor::Protocol::Name(static_cast<MessageType>(0xFFFF)), "Unknown");
    EXPECT_EQ(Kor::Protocol::Name(FrameStatus::NewTimecode), "NewTimecode");
    EXPECT_EQ(Kor::Protocol::Name(FrameStatus::MessageRejected), "MessageRejected");
    EXPECT_EQ(Kor::Protocol::Name(FrameStatus::HeaderError), "HeaderError");
    EXPECT_EQ(Kor::Protocol::Name(static_cast<FrameStatus>(10)), "Unknown");
    EXPECT_EQ(Kor::Protocol::Name(static_cast<FrameStatus>(-1)), "Unknown");
    // Every value has its own name, which is an identifier (and so ends at a zero byte
    // for the C interface, which hands out its data()).
    std::set<std::string_view> names;
    for (unsigned t = 0; t <= Kor::Protocol::kLastMessageType; ++t) {
        const std::string_view name = Kor::Protocol::Name(static_cast<MessageType>(t));
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789"),
                  std::string_view::npos);
        EXPECT_EQ(name.data()[name.size()], '\0');
    }
    for (int s = 0; s <= 9; ++s) {
        const std::string_view name = Kor::Protocol::Name(static_cast<FrameStatus>(s));
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(name.data()[name.size()], '\0');
    }
}

}  // namespace
