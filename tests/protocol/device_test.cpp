// Tests of Device: framing choice, serial and datagram paths, error precedence, state rules.
// Encode and decode of every message type through Device are in the vectors (tests/vectors),
// round trips of random states in property_test.cpp.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <kor/device.h>

#include "test_util.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_test::Bytes;
using kor_test::Cat;
using kor_test::Hex;

Bytes Datagram(const Bytes& records) {
    return Cat({kor_test::kUdpHeader, records});
}

const Bytes kChannel7 = Hex("00 02 18 03 07 E0 00");
const Bytes kChannel9 = Hex("00 02 18 03 09 DE 00");
const Bytes kEmpty = Hex("00 02 FF 00");  // a serial frame without records
// Timecode 10:20:30:12, focus 1500, zoom 35.00, iris 2.80.
const Bytes kLensUdp =
    Hex("00 FF 00 00 00 00 00 00 00 03 10 20 30 12 01 07 00 05 DC 00 0D AC 01 18");
const Bytes kLensSerial = Hex("00 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF 00");

TelemetryData RichState() {
    TelemetryData d;
    d.timecodeHours = 13;
    d.timecodeMinutes = 45;
    d.timecodeSeconds = 7;
    d.timecodeFrames = 23;
    d.recordFlag = true;
    d.focus = 1500;
    d.zoom = 35.0F;
    d.iris = 2.8F;
    d.ptpSeconds = 1'765'000'000;
    d.ptpNanoseconds = 999'000'000;
    d.productBrand = "Brand";
    d.productName = "Model";
    d.productSerial = "SN-1";
    d.lensManufacturer = "Optics";
    d.lensName = "Prime 50";
    d.lensSerial = std::string(65, 'x');
    d.clipName = "A001C003";
    d.positionX = 1234.5F;
    d.positionY = -250.25F;
    d.roll = 1.5F;
    d.pitch = -12.25F;
    d.tickCount = 123'456'789;
    d.tickCountType = 1;
    d.projectFps = 2;
    d.zeissZd.focusDistance = 150;
    d.zeissZd.horizontalFieldOfView = 54.4F;
    d.zeissZd.entrancePupilPosition = -42;
    d.radioControl.radioMode = 0;
    d.radioControl.radioValue = 0x123456;
    d.channelId = 4;
    d.sensorWidth = 36.0F;
    d.clipWidth = 4096;
    d.sensorName = "Full frame";
    d.rawAxesEncoders = {1, 2, 3};
    d.subjectId = 77;
    return d;
}

struct Case {
    const char* name;
    Bytes input;
    FrameStatus expected;
};

// Feeds each input to a fresh device whose state has channel 3 and subject 9, and checks the
// status and that the state is unchanged (not even reset to the absent channel and subject,
// which the vectors, decoding into a default state, cannot tell apart). The statuses
// themselves are in vectors/malformed.json; these are one rejection of each kind per path.
void ExpectUnchanged(const std::vector<Case>& cases) {
    TelemetryData initial;
    initial.channelId = 3;
    initial.subjectId = 9;
    for (const Case& c : cases) {
        Device device(initial);
        EXPECT_EQ(device.Update(c.input), c.expected) << c.name;
        EXPECT_TRUE(kor_test::SameState(*device.GetCurrentState(), initial)) << c.name;
    }
}

// Only a first three bytes of 00 FF 00 select the datagram path.
TEST(DeviceSerial, RejectedFramesLeaveTheStateUntouched) {
    ExpectUnchanged(
        {{"00 FF is serial", Hex("00 FF"), FrameStatus::Incomplete},
         {"00 FF 01 is serial", Hex("00 FF 01 00"), FrameStatus::FramingError},
         {"01 FF 00 is serial", Hex("01 FF 00 00 00 00 00 00 18 00 07"), FrameStatus::FramingError},
         {"checksum off by one", Hex("00 02 18 03 07 E1 00"), FrameStatus::ChecksumError},
         {"group runs past the end", Hex("00 02 18 04 07 E0 00"), FrameStatus::FramingError},
         {"type 28 beats stuffing", Hex("00 05 1C 01 01 00"), FrameStatus::BadMessageType},
         {"length 255 beats stuffing", Hex("00 03 03 FF 07 00"), FrameStatus::PayloadTooLong},
         {"ProjectFps 6", Hex("00 02 0D 03 06 EC 00"), FrameStatus::MessageRejected}});
}

TEST(DeviceSerial, EmptyFrameResetsChannelAndSubjectOnly) {
    TelemetryData initial = RichState();
    Device device(initial);
    EXPECT_EQ(device.Update(kEmpty), FrameStatus::SameTimecode);
    initial.channelId = 255;
    initial.subjectId = 0xFFFF;
    EXPECT_TRUE(kor_test::SameState(*device.GetCurrentState(), initial));
}

TEST(DeviceSerial, OverflowRecoveryAndTheLaterOutcomeWins) {
    // 256 bytes are collected across calls; the 257th overflows and the rest up to 00 is
    // dropped.
    Device device;
    EXPECT_EQ(device.Update(Cat({Hex("00"), Bytes(256, 0x41)})), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("41")), FrameStatus::LengthError);
    EXPECT_EQ(device.Update(Hex("02 18 03 07 E0 00")), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("02 18 03 09 DE 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);

    // Within one call the later of overflow, failed and completed frame decides the result.
    Device other;
    EXPECT_EQ(other.Update(Cat({Hex("00"), Bytes(300, 0x41)})), FrameStatus::LengthError);
    EXPECT_EQ(other.Update(Cat({Bytes(300, 0x41), kChannel7})), FrameStatus::SameTimecode);
    EXPECT_EQ(other.Update(Cat({kChannel9, Bytes(300, 0x41)})), FrameStatus::LengthError);
    EXPECT_EQ(other.GetCurrentState()->channelId, 9);
    EXPECT_EQ(other.Update(Cat({Hex("00 02 18 03 07 E1 00"), kChannel7})),
              FrameStatus::SameTimecode);
    EXPECT_EQ(other.GetCurrentState()->channelId, 7);
}

TEST(DeviceSerial, FrameSplitAtEveryPosition) {
    const Bytes stream = Cat({kLensSerial, Hex("02 18 03 09 DE 00")});
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        Device device;
        const auto at = stream.begin() + static_cast<std::ptrdiff_t>(split);
        const FrameStatus first = device.Update(Bytes(stream.begin(), at));
        const FrameStatus second = device.Update(Bytes(at, stream.end()));
        const FrameStatus expectedFirst = split < kLensSerial.size() ? FrameStatus::Incomplete
                                          : split < stream.size()    ? FrameStatus::NewTimecode
                                                                     : FrameStatus::SameTimecode;
        EXPECT_EQ(first, expectedFirst) << "split " << split;
        EXPECT_EQ(second,
                  split < stream.size() ? FrameStatus::SameTimecode : FrameStatus::Incomplete)
            << "split " << split;
        EXPECT_EQ(device.GetCurrentState()->focus, 1500U) << "split " << split;
        EXPECT_EQ(device.GetCurrentState()->channelId, 9) << "split " << split;
    }
}

TEST(DeviceDatagram, RejectedFramesLeaveTheStateUntouched) {
    const Bytes ch7 = Hex("18 00 07");
    const Bytes fps6 = Hex("0D 00 06");
    ExpectUnchanged(
        {{"byte 5", Hex("00 FF 00 00 00 80 00 00 18 00 07"), FrameStatus::HeaderError},
         {"type 28 after a valid record", Datagram(Hex("18 00 07 1C 00 07")),
          FrameStatus::BadMessageType},
         {"parser beats Decode", Datagram(Cat({fps6, Hex("1C")})), FrameStatus::BadMessageType},
         {"length byte 255 at the end", Datagram(Hex("18 00 07 0E FF")),
          FrameStatus::PayloadTooLong},
         {"ProjectFps 6", Datagram(Cat({ch7, fps6})), FrameStatus::MessageRejected}});
}

TEST(DeviceDatagram, DiscardsAPartialSerialFrameAndIsNeverReadAsOne) {
    Device device;
    EXPECT_EQ(device.Update(Hex("00 02 18")), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("00 FF 00 00 00 00 00 00 18 00 05")), FrameStatus::SameTimecode);
    // The rest of the interrupted frame is no longer a valid frame.
    EXPECT_EQ(device.Update(Hex("03 07 E0 00")), FrameStatus::ChecksumError);
    // This datagram's contents happen to form a valid stuffed frame (ChannelId 7 twice).
    EXPECT_EQ(device.Update(Hex("00 FF 00 02 18 03 07 18 03 07 C1")), FrameStatus::HeaderError);
    EXPECT_EQ(device.Update(Hex("00")), FrameStatus::Incomplete);
    EXPECT_EQ(device.GetCurrentState()->channelId, 5);
}

TEST(DeviceTimecode, OnlyTheFourTimecodeFieldsCount) {
    Device device;
    EXPECT_EQ(device.Update(kLensUdp), FrameStatus::NewTimecode);
    EXPECT_EQ(device.Update(kLensUdp), FrameStatus::SameTimecode);
    EXPECT_EQ(device.Update(Datagram(Hex("00 03 10 20 30 92"))), FrameStatus::SameTimecode);
    EXPECT_TRUE(device.GetCurrentState()->recordFlag);
    EXPECT_EQ(device.Update(Datagram(Hex("18 00 07"))), FrameStatus::SameTimecode);
    for (const char* changed : {"11 20 30 12", "10 21 30 12", "10 20 31 12", "10 20 30 13"}) {
        Device d(*device.GetCurrentState());
        const Bytes frame = Datagram(Cat({Hex("00 03"), Hex(changed)}));
        EXPECT_EQ(d.Update(frame), FrameStatus::NewTimecode) << changed;
        EXPECT_EQ(d.Update(frame), FrameStatus::SameTimecode) << changed;
    }
}

TEST(DeviceSharing, CopiesShareOneStateBothWays) {
    Device a;
    Device b(a);
    EXPECT_EQ(a.GetCurrentState(), b.GetCurrentState());
    a.Update(kChannel7);
    EXPECT_EQ(b.GetCurrentState()->channelId, 7);
    b.Update(kChannel9);
    EXPECT_EQ(a.GetCurrentState()->channelId, 9);
    // The partly collected frame is shared too.
    EXPECT_EQ(a.Update(Hex("00 02 18")), FrameStatus::Incomplete);
    EXPECT_EQ(b.Update(Hex("03 07 E0 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(a.GetCurrentState()->channelId, 7);

    Device c;
    c = a;
    c.Update(kChannel9);
    EXPECT_EQ(a.GetCurrentState()->channelId, 9);
    EXPECT_EQ(a.EncodeState(TransmissionType::UDP, {MessageType::ChannelId}),
              Datagram(Hex("18 00 09")));
}

TEST(DeviceSharing, MoveLeavesTheSourceEmpty) {
    Device a;
    a.Update(kChannel7);
    const TelemetryData* state = a.GetCurrentState();
    Device b(std::move(a));
    // NOLINTBEGIN(bugprone-use-after-move,clang-analyzer-cplusplus.Move): checked on purpose
    EXPECT_EQ(a.GetCurrentState(), nullptr);
    EXPECT_EQ(a.Update(kChannel9), FrameStatus::Incomplete);
    EXPECT_TRUE(a.EncodeState(TransmissionType::UDP, {MessageType::ChannelId}).empty());
    EXPECT_EQ(b.GetCurrentState(), state);
    EXPECT_EQ(b.Update(kChannel9), FrameStatus::SameTimecode);
    EXPECT_EQ(state->channelId, 9);

    Device c;
    c = std::move(b);
    EXPECT_EQ(b.GetCurrentState(), nullptr);
    // NOLINTEND(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
    EXPECT_EQ(c.GetCurrentState(), state);
    a = c;  // a moved-from device works again once assigned
    EXPECT_EQ(a.Update(kChannel7), FrameStatus::SameTimecode);
    EXPECT_EQ(c.GetCurrentState()->channelId, 7);
}

}  // namespace
