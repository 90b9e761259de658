// Device across calls: rejected frames, serial streams split and overflowing, datagrams
// interrupting a serial frame, the timecode comparison and shared decoder state. Each frame's
// status and decoded fields are in the vectors (tests/vectors), round trips in property_test.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <kor/device.h>

#include "test_util.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TransmissionType;
using namespace kor_test;

Bytes Datagram(const Bytes& records) {
    return Cat({kUdpHeader, records});
}

const Bytes kChannel7 = Hex("00 02 18 03 07 E0 00");
const Bytes kChannel9 = Hex("00 02 18 03 09 DE 00");
// Timecode 10:20:30:12, focus 1500, zoom 35.00, iris 2.80 (and in the datagram channel 4,
// subject 77).
const Bytes kLensUdp =
    Datagram(Hex("00 03 10 20 30 12 01 07 00 05 DC 00 0D AC 01 18 18 00 04 1B 01 00 4D"));
const Bytes kLensSerial = Hex("00 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF 00");

// One rejection of each kind per path, fed to a fresh device whose state has channel 3 and
// subject 9: the state must stay as it was, not even reset to the absent channel and subject
// (which the vectors, decoding into a default state, cannot tell apart). Several frames are
// rejected only after earlier records, or the earlier steps of the same record, were decoded.
TEST(Device, RejectedFramesLeaveTheStateUntouched) {
    const struct {
        const char* name;
        Bytes input;
        FrameStatus expected;
    } cases[] = {
        {"serial checksum off by one", Hex("00 02 18 03 07 E1 00"), FrameStatus::ChecksumError},
        {"serial group past the end", Hex("00 02 18 04 07 E0 00"), FrameStatus::FramingError},
        {"serial type 28", Hex("00 05 1C 01 01 00"), FrameStatus::BadMessageType},
        {"serial length 255", Hex("00 03 03 FF 07 00"), FrameStatus::PayloadTooLong},
        {"serial ProjectFps 6", Hex("00 02 0D 03 06 EC 00"), FrameStatus::MessageRejected},
        {"serial overflow", Cat({Hex("00"), Bytes(300, 0x41)}), FrameStatus::LengthError},
        {"header byte 5", Hex("00 FF 00 00 00 80 00 00 18 00 07"), FrameStatus::HeaderError},
        {"type 28 after a record", Datagram(Hex("18 00 07 1C 00 07")), FrameStatus::BadMessageType},
        {"length 255 at the end", Datagram(Hex("18 00 07 0E FF")), FrameStatus::PayloadTooLong},
        {"ProjectFps 6 after a record", Datagram(Hex("18 00 07 0D 00 06")),
         FrameStatus::MessageRejected},
        // ZeissZdData writes its focus distance, aperture and field of view before it finds
        // the marker bits of payload byte 8 missing.
        {"ZeissZdData byte 8",
         Datagram(Hex("10 21 44 63 51 56 EE 86 49 7B 21 64 03 E8 03 E8 03 E8 "
                      "03 6B 03 E8 00 00 00 00 00 96 FF 6A 75 30 FF FF 00 00")),
         FrameStatus::MessageRejected},
    };
    TD initial;
    initial.channelId = 3;
    initial.subjectId = 9;
    for (const auto& c : cases) {
        Device device(initial);
        EXPECT_EQ(device.Update(c.input), c.expected) << c.name;
        EXPECT_TRUE(SameState(*device.GetCurrentState(), initial)) << c.name;
    }
}

TEST(Device, SerialOverflowRecoveryAndTheLaterOutcomeWins) {
    // 256 bytes are collected across calls; the 257th overflows and the rest up to 00 is
    // dropped.
    Device device;
    EXPECT_EQ(device.Update(Cat({Hex("00"), Bytes(256, 0x41)})), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("41")), FrameStatus::LengthError);
    EXPECT_EQ(device.Update(Hex("02 18 03 07 E0 00")), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("02 18 03 09 DE 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);

    // Within one call the later of overflow, failed and completed frame decides the result.
    EXPECT_EQ(device.Update(Cat({Bytes(300, 0x41), kChannel7})), FrameStatus::SameTimecode);
    EXPECT_EQ(device.Update(Cat({kChannel9, Bytes(300, 0x41)})), FrameStatus::LengthError);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);
    EXPECT_EQ(device.Update(Cat({Hex("00 02 18 03 07 E1 00"), kChannel7})),
              FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 7);
}

TEST(Device, SerialStreamSplitAtEveryPosition) {
    const Bytes stream = Cat({kLensSerial, Hex("02 18 03 09 DE 00")});
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE(testing::Message() << "split " << split);
        Device device;
        const auto at = stream.begin() + static_cast<std::ptrdiff_t>(split);
        const FrameStatus first = device.Update(Bytes(stream.begin(), at));
        const FrameStatus second = device.Update(Bytes(at, stream.end()));
        EXPECT_EQ(first, split < kLensSerial.size() ? FrameStatus::Incomplete
                         : split < stream.size()    ? FrameStatus::NewTimecode
                                                    : FrameStatus::SameTimecode);
        EXPECT_EQ(second,
                  split < stream.size() ? FrameStatus::SameTimecode : FrameStatus::Incomplete);
        EXPECT_EQ(device.GetCurrentState()->focus, 1500U);
        EXPECT_EQ(device.GetCurrentState()->channelId, 9);
    }
}

TEST(Device, DatagramDiscardsAPartialSerialFrameAndIsNeverReadAsOne) {
    Device device;
    EXPECT_EQ(device.Update(Hex("00 02 18")), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Datagram(Hex("18 00 05"))), FrameStatus::SameTimecode);
    // The rest of the interrupted frame is no longer a valid frame.
    EXPECT_EQ(device.Update(Hex("03 07 E0 00")), FrameStatus::ChecksumError);
    // This datagram's contents happen to form a valid stuffed frame (ChannelId 7 twice).
    EXPECT_EQ(device.Update(Hex("00 FF 00 02 18 03 07 18 03 07 C1")), FrameStatus::HeaderError);
    EXPECT_EQ(device.Update(Hex("00")), FrameStatus::Incomplete);
    EXPECT_EQ(device.GetCurrentState()->channelId, 5);
}

TEST(Device, OnlyTheFourTimecodeFieldsCount) {
    Device device;
    EXPECT_EQ(device.Update(kLensUdp), FrameStatus::NewTimecode);
    EXPECT_EQ(device.Update(kLensUdp), FrameStatus::SameTimecode);
    // A frame without records keeps everything but channel and subject, which describe only
    // the frame that carried them.
    TD expected = *device.GetCurrentState();
    EXPECT_EQ(device.Update(Hex("00 02 FF 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(expected.channelId, 4);
    EXPECT_EQ(expected.subjectId, 77U);
    expected.channelId = 255;
    expected.subjectId = 0xFFFF;
    EXPECT_TRUE(SameState(*device.GetCurrentState(), expected));
    // The record flag (bit 7 of the frames byte) is not part of the timecode.
    EXPECT_EQ(device.Update(Datagram(Hex("00 03 10 20 30 92"))), FrameStatus::SameTimecode);
    EXPECT_TRUE(device.GetCurrentState()->recordFlag);
    for (const char* changed : {"11 20 30 12", "10 21 30 12", "10 20 31 12", "10 20 30 13"}) {
        Device d(*device.GetCurrentState());
        const Bytes frame = Datagram(Cat({Hex("00 03"), Hex(changed)}));
        EXPECT_EQ(d.Update(frame), FrameStatus::NewTimecode) << changed;
        EXPECT_EQ(d.Update(frame), FrameStatus::SameTimecode) << changed;
    }
}

TEST(Device, CopiesShareOneStateAndMovedFromDevicesHoldNone) {
    Device a;
    Device b(a);
    a.Update(kChannel7);
    EXPECT_EQ(b.GetCurrentState()->channelId, 7);
    // The partly collected frame is shared too.
    EXPECT_EQ(b.Update(Hex("00 02 18")), FrameStatus::Incomplete);
    EXPECT_EQ(a.Update(Hex("03 09 DE 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(b.GetCurrentState()->channelId, 9);

    const auto* state = a.GetCurrentState();
    Device c(std::move(a));
    // NOLINTBEGIN(bugprone-use-after-move,clang-analyzer-cplusplus.Move): checked on purpose
    EXPECT_EQ(a.GetCurrentState(), nullptr);
    EXPECT_EQ(a.Update(kChannel7), FrameStatus::Incomplete);
    EXPECT_TRUE(a.EncodeState(TransmissionType::UDP, {MessageType::ChannelId}).empty());
    Device d;
    d = std::move(c);
    EXPECT_EQ(c.GetCurrentState(), nullptr);
    // NOLINTEND(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
    EXPECT_EQ(d.GetCurrentState(), state);
    a = d;  // a moved-from device works again once assigned
    EXPECT_EQ(a.Update(kChannel7), FrameStatus::SameTimecode);
    EXPECT_EQ(b.GetCurrentState()->channelId, 7);
}

}  // namespace
