// Tests of the monitor's frame boundaries: record type lists, unstuffing and splitting.
#include <gtest/gtest.h>

#include <cstddef>
#include <span>
#include <vector>

#include "frames.h"
#include "test_bytes.h"

namespace {

using Kor::Protocol::MessageType;
using KorMonitor::SerialSplitter;
using MonitorTest::Bytes;
using MonitorTest::Hex;

// Timecode 10:20:30 frame 12 and BasicLens focus 1500, zoom 35, iris 2.8.
const Bytes kRecords = Hex("00 03 10 20 30 12  01 07 00 05 DC 00 0D AC 01 18");

TEST(RecordTypes, ListsEveryRecordInOrderWithinTheInput) {
    EXPECT_EQ(KorMonitor::ListRecordTypes(kRecords),
              (std::vector<MessageType>{MessageType::Timecode, MessageType::BasicLens}));
    const Bytes datagram = MonitorTest::Concat({Hex("00 FF 00 00 00 00 00 00"), kRecords});
    EXPECT_EQ(KorMonitor::DatagramRecordTypes(datagram),
              (std::vector<MessageType>{MessageType::Timecode, MessageType::BasicLens}));
    EXPECT_TRUE(KorMonitor::DatagramRecordTypes(Hex("00 FF 00 00 00 00 00 00")).empty());
    EXPECT_TRUE(KorMonitor::ListRecordTypes({}).empty());
    // A record cut short still counts; a lone type byte does not.
    EXPECT_EQ(KorMonitor::ListRecordTypes(Hex("0E 09 41 42")),
              (std::vector<MessageType>{MessageType::ClipName}));
    EXPECT_EQ(KorMonitor::ListRecordTypes(Hex("18 00 07 1B")),
              (std::vector<MessageType>{MessageType::ChannelId}));
    // A length byte of 255 announces more than is there. Cutting the input at every
    // length must never read past it (the sanitizer build checks the reads).
    const Bytes longRecord = Hex("0E FF 41 42 43 18 00 07");
    for (std::size_t size = 0; size <= longRecord.size(); ++size) {
        const std::vector<Bytes::value_type> cut(longRecord.begin(),
                                                 longRecord.begin() + static_cast<long>(size));
        EXPECT_LE(KorMonitor::ListRecordTypes(cut).size(), 1U) << "size " << size;
    }
}

TEST(Unstuffing, RecoversTheRecordsOfKnownFrames) {
    // ChannelId 255: records 18 00 FF, checksum E8.
    EXPECT_EQ(KorMonitor::UnstuffSerialRecords(Hex("02 18 03 FF E8")), Hex("18 00 FF"));
    // The Timecode and BasicLens frame; its first record byte is itself a zero.
    EXPECT_EQ(KorMonitor::UnstuffSerialRecords(
                  Hex("01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF")),
              kRecords);
    // The empty frame (checksum FF) and a frame whose checksum is zero (ends in code 01).
    EXPECT_TRUE(KorMonitor::UnstuffSerialRecords(Hex("02 FF")).empty());
    EXPECT_EQ(KorMonitor::UnstuffSerialRecords(Hex("02 18 02 E7 01")), Hex("18 00 E7"));
    EXPECT_TRUE(KorMonitor::UnstuffSerialRecords(Hex("05")).empty());
}

std::vector<Bytes> Split(SerialSplitter& splitter, const Bytes& chunk) {
    std::vector<Bytes> frames;
    splitter.Feed(chunk, [&](std::span<const std::uint8_t> frame) {
        frames.emplace_back(frame.begin(), frame.end());
    });
    return frames;
}

TEST(SerialSplitter, CutsAtDelimitersAcrossChunks) {
    SerialSplitter splitter;
    // Bytes before the first delimiter are not a frame.
    EXPECT_TRUE(Split(splitter, Hex("41 42 02")).empty());
    EXPECT_EQ(Split(splitter, Hex("00 02 18 03")), std::vector<Bytes>{});
    EXPECT_EQ(splitter.Pending(), 3U);
    EXPECT_EQ(Split(splitter, Hex("FF E8 00 00 00 02 FF 00 05")),
              (std::vector<Bytes>{Hex("02 18 03 FF E8"), Hex("02 FF")}));
    EXPECT_EQ(Split(splitter, Hex("06 00")), (std::vector<Bytes>{Hex("05 06")}));
}

TEST(SerialSplitter, BoundsAnOverlongFrame) {
    SerialSplitter splitter;
    Bytes stream{0x00};
    stream.insert(stream.end(), 1000, 0x41);
    stream.push_back(0x00);
    const Bytes good = Hex("02 18 03 FF E8");
    stream.insert(stream.end(), good.begin(), good.end());
    stream.push_back(0x00);

    const std::vector<Bytes> frames = Split(splitter, stream);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].size(), KorMonitor::kMaxStuffedFrame + 1);
    EXPECT_EQ(frames[1], good);
    // A frame of exactly the largest size passes whole.
    Bytes largest(KorMonitor::kMaxStuffedFrame, 0x41);
    largest.push_back(0x00);
    const std::vector<Bytes> one = Split(splitter, largest);
    ASSERT_EQ(one.size(), 1U);
    EXPECT_EQ(one[0].size(), KorMonitor::kMaxStuffedFrame);
}

}  // namespace
