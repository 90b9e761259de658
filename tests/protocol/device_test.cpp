// Tests of Device: framing choice, serial and datagram paths, error precedence, state rules.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <kor/device.h>

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A string record (ClipName) with `n` payload bytes 'a', 'b', ...
Bytes ClipRecord(std::size_t n) {
    Bytes r{14, static_cast<std::uint8_t>(n - 1)};
    for (std::size_t i = 0; i < n; ++i) {
        r.push_back(static_cast<std::uint8_t>('a' + i % 26));
    }
    return r;
}

Bytes Datagram(const Bytes& records) {
    return Concat(Hex("00 FF 00 00 00 00 00 00"), records);
}

// Reference serial framing written independently of the library: records, complemented
// sum, stuffed (each zero becomes the distance to the next zero or the end), delimiters.
Bytes Serial(Bytes raw) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : raw) sum = static_cast<std::uint8_t>(sum + b);
    raw.push_back(static_cast<std::uint8_t>(~sum));
    Bytes out{0x00};
    std::size_t codeAt = out.size();
    out.push_back(1);
    for (std::uint8_t b : raw) {
        if (b == 0) {
            codeAt = out.size();
            out.push_back(1);
        } else {
            out.push_back(b);
            ++out[codeAt];
        }
    }
    out.push_back(0x00);
    return out;
}

const Bytes kChannel7 = Hex("00 02 18 03 07 E0 00");
const Bytes kChannel9 = Hex("00 02 18 03 09 DE 00");
const Bytes kEmpty = Hex("00 02 FF 00");
// Timecode 10:20:30:12, focus 1500, zoom 35.00, iris 2.80.
const Bytes kLensUdp =
    Hex("00 FF 00 00 00 00 00 00 00 03 10 20 30 12 01 07 00 05 DC 00 0D AC 01 18");
const Bytes kLensSerial = Hex("00 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF 00");

auto Snapshot(const TelemetryData& d) {
    return std::make_tuple(
        d.timecodeHours, d.timecodeMinutes, d.timecodeSeconds, d.timecodeFrames, d.recordFlag,
        d.focus, d.zoom, d.iris, d.focusValid, d.zoomValid, d.irisValid, d.ptpSeconds,
        d.ptpNanoseconds, d.productBrand, d.productName, d.productSerial, d.productInfoComplete,
        d.minFocalLength, d.maxFocalLength, d.minIris, d.maxIris, d.focalRangeFlags, d.positionX,
        d.positionY, d.positionZ, d.roll, d.pitch, d.yaw, d.tickCount, d.tickCountType,
        d.lensManufacturer, d.lensName, d.lensSerial, d.lensInfoComplete, d.projectFps, d.clipName,
        d.clipNameReceived, d.rawFocusEncoder, d.rawZoomEncoder, d.rawIrisEncoder,
        d.zeissZd.focusDistance, d.zeissZd.aperture, d.zeissZd.horizontalFieldOfView,
        d.zeissZd.entrancePupilPosition, d.zeissZd.shading, d.zeissZd.radialDistortion,
        d.radioControl.radioValue, d.radioControl.radioMode, d.channelId, d.sensorWidth,
        d.sensorHeight, d.clipWidth, d.clipHeight, d.sensorName, d.rawAxesEncoders, d.subjectId);
}

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

const std::vector<MessageType> kRichTypes{
    MessageType::Timecode,       MessageType::BasicLens,        MessageType::PtpTimestamp,
    MessageType::ProductBrand,   MessageType::ProductName,      MessageType::ProductSerial,
    MessageType::LensName,       MessageType::LensManufacturer, MessageType::ClipName,
    MessageType::PositionalData, MessageType::AxesData,         MessageType::TickCount,
    MessageType::ProjectFps,     MessageType::ChannelId,        MessageType::SubjectId};
// Together these exceed one frame, so the rest travels in a second one.
const std::vector<MessageType> kMoreTypes{MessageType::LensSerial,
                                          MessageType::ZeissZdData,
                                          MessageType::RadioControl,
                                          MessageType::SensorSize,
                                          MessageType::RawAxesEncoderWithMask,
                                          MessageType::ChannelId,
                                          MessageType::SubjectId};

struct Case {
    const char* name;
    Bytes input;
    FrameStatus expected;
};

// Feeds each input to a fresh device whose state has channel 3 and subject 9, and checks the
// status and that the state is unchanged (not even reset to the absent channel and subject).
void ExpectUnchanged(const std::vector<Case>& cases) {
    TelemetryData initial;
    initial.channelId = 3;
    initial.subjectId = 9;
    for (const Case& c : cases) {
        Device device(initial);
        EXPECT_EQ(device.Update(c.input), c.expected) << c.name;
        EXPECT_EQ(Snapshot(*device.GetCurrentState()), Snapshot(initial)) << c.name;
    }
}

TEST(DeviceFraming, PathIsChosenByTheFirstThreeBytes) {
    ExpectUnchanged(
        {{"empty input", {}, FrameStatus::Incomplete},
         {"00 FF 00 alone is a short datagram", Hex("00 FF 00"), FrameStatus::LengthError},
         {"00 FF is serial", Hex("00 FF"), FrameStatus::Incomplete},
         {"00 FF 01 is serial", Hex("00 FF 01 00"), FrameStatus::FramingError},
         {"01 FF 00 is serial", Hex("01 FF 00 00 00 00 00 00 18 00 07"),
          FrameStatus::FramingError}});
}

TEST(DeviceSerial, SingleFrameStatuses) {
    ExpectUnchanged(
        {{"not preceded by a delimiter", Hex("02 FF 00"), FrameStatus::Incomplete},
         {"one byte, bad stuffing", Hex("00 05 00"), FrameStatus::FramingError},
         {"one byte, bad checksum", Hex("00 02 00"), FrameStatus::ChecksumError},
         {"checksum off by one", Hex("00 02 18 03 07 E1 00"), FrameStatus::ChecksumError},
         {"group runs past the end", Hex("00 02 18 04 07 E0 00"), FrameStatus::FramingError},
         {"group ends early", Hex("00 02 18 02 07 E0 00"), FrameStatus::FramingError},
         {"type 28 beats stuffing", Hex("00 05 1C 01 01 00"), FrameStatus::BadMessageType},
         {"lone type 28", Hex("00 03 1C E3 00"), FrameStatus::BadMessageType},
         {"length 255 beats stuffing", Hex("00 03 03 FF 07 00"), FrameStatus::PayloadTooLong},
         {"checksum beats Decode", Hex("00 02 0D 03 06 ED 00"), FrameStatus::ChecksumError},
         {"ProjectFps 6", Hex("00 02 0D 03 06 EC 00"), FrameStatus::MessageRejected}});
}

TEST(DeviceSerial, DecodesFramesIntoTheState) {
    Device device;
    EXPECT_EQ(device.Update(Hex("02 FF 00")), FrameStatus::Incomplete);  // opens collection
    EXPECT_EQ(device.Update(Hex("02 18 02 E7 01 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 0xE7);
    EXPECT_EQ(device.Update(kLensSerial), FrameStatus::NewTimecode);
    const TelemetryData& s = *device.GetCurrentState();
    EXPECT_EQ(std::make_tuple(s.timecodeHours, s.timecodeMinutes, s.timecodeSeconds,
                              s.timecodeFrames, s.focus, s.zoom, s.iris),
              std::make_tuple(10, 20, 30, 12, 1500U, 35.0F, 2.8F));
    EXPECT_EQ(s.channelId, 255);  // absent from that frame
}

TEST(DeviceSerial, EmptyFrameResetsChannelAndSubjectOnly) {
    TelemetryData initial = RichState();
    Device device(initial);
    EXPECT_EQ(device.Update(kEmpty), FrameStatus::SameTimecode);
    initial.channelId = 255;
    initial.subjectId = 0xFFFF;
    EXPECT_EQ(Snapshot(*device.GetCurrentState()), Snapshot(initial));
}

TEST(DeviceSerial, LongestFrameAndOverflowRecovery) {
    // 254 record bytes (a Timecode record supplies the one zero) stuff to 256 bytes.
    const Bytes records = Concat(Concat(Hex("00 03 01 02 03 04"), ClipRecord(65)),
                                 Concat(Concat(ClipRecord(65), ClipRecord(65)), ClipRecord(45)));
    const Bytes longest = Serial(records);
    ASSERT_EQ(longest.size(), 258U);
    Device device;
    EXPECT_EQ(device.Update(longest), FrameStatus::NewTimecode);
    const Bytes last = ClipRecord(45);
    EXPECT_EQ(device.GetCurrentState()->clipName, std::string(last.begin() + 2, last.end()));

    // 256 bytes are collected; the 257th overflows and the rest up to 00 is dropped.
    EXPECT_EQ(device.Update(Concat(Hex("00"), Bytes(256, 0x41))), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("41")), FrameStatus::LengthError);
    EXPECT_EQ(device.Update(Hex("02 18 03 07 E0 00")), FrameStatus::Incomplete);
    EXPECT_EQ(device.Update(Hex("02 18 03 09 DE 00")), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);

    // Within one call the later of overflow and completed frame decides the result.
    Device other;
    EXPECT_EQ(other.Update(Concat(Hex("00"), Bytes(300, 0x41))), FrameStatus::LengthError);
    EXPECT_EQ(other.Update(Concat(Bytes(300, 0x41), kChannel7)), FrameStatus::SameTimecode);
    EXPECT_EQ(other.Update(Concat(kChannel9, Bytes(300, 0x41))), FrameStatus::LengthError);
    EXPECT_EQ(other.GetCurrentState()->channelId, 9);
}

TEST(DeviceSerial, SeveralFramesInOneCallReportTheLast) {
    Device device;
    EXPECT_EQ(device.Update(Concat(kChannel7, Hex("02 18 03 09 DF 00"))),
              FrameStatus::ChecksumError);
    EXPECT_EQ(device.GetCurrentState()->channelId, 7);  // the first frame was applied
    EXPECT_EQ(device.Update(Concat(Hex("00 02 18 03 07 E1 00"), kChannel9)),
              FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 9);
}

TEST(DeviceSerial, FrameSplitAtEveryPosition) {
    const Bytes stream = Concat(kLensSerial, Hex("02 18 03 09 DE 00"));
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

TEST(DeviceSerial, OneBytePerCall) {
    Device device;
    for (std::size_t i = 0; i + 1 < kLensSerial.size(); ++i) {
        EXPECT_EQ(device.Update({kLensSerial[i]}), FrameStatus::Incomplete) << "byte " << i;
    }
    EXPECT_EQ(device.Update({0x00}), FrameStatus::NewTimecode);
    EXPECT_EQ(device.GetCurrentState()->timecodeSeconds, 30);
}

TEST(DeviceDatagram, RejectedFramesLeaveTheStateUntouched) {
    const Bytes ch7 = Hex("18 00 07");
    const Bytes fps6 = Hex("0D 00 06");
    ExpectUnchanged(
        {{"10 bytes", Hex("00 FF 00 00 00 00 00 00 18 00"), FrameStatus::LengthError},
         {"262 bytes",
          Datagram(Concat(Concat(ClipRecord(65), ClipRecord(65)),
                          Concat(ClipRecord(65), ClipRecord(51)))),
          FrameStatus::LengthError},
         {"byte 3", Hex("00 FF 00 01 00 00 00 00 18 00 07"), FrameStatus::HeaderError},
         {"byte 4", Hex("00 FF 00 00 01 00 00 00 18 00 07"), FrameStatus::HeaderError},
         {"byte 5", Hex("00 FF 00 00 00 80 00 00 18 00 07"), FrameStatus::HeaderError},
         {"byte 6", Hex("00 FF 00 00 00 00 01 00 18 00 07"), FrameStatus::HeaderError},
         {"byte 7", Hex("00 FF 00 00 00 00 00 FF 18 00 07"), FrameStatus::HeaderError},
         {"length beats header", Hex("00 FF 00 01 00 00 00 00 18 00"), FrameStatus::LengthError},
         {"header beats type", Hex("00 FF 00 00 00 00 00 01 1C 00 07"), FrameStatus::HeaderError},
         {"type 28 after a valid record", Datagram(Hex("18 00 07 1C 00 07")),
          FrameStatus::BadMessageType},
         {"type 255", Datagram(Hex("FF 00 07")), FrameStatus::BadMessageType},
         {"parser beats Decode", Datagram(Concat(fps6, Hex("1C"))), FrameStatus::BadMessageType},
         {"payload of 66", Datagram(Concat(ch7, ClipRecord(66))), FrameStatus::PayloadTooLong},
         {"length byte 255", Datagram(Concat(ch7, Concat(Hex("0E FF"), Bytes(20, 0x61)))),
          FrameStatus::PayloadTooLong},
         {"length byte 255 at the end", Datagram(Hex("18 00 07 0E FF")),
          FrameStatus::PayloadTooLong},
         {"ProjectFps 6", Datagram(Concat(ch7, fps6)), FrameStatus::MessageRejected},
         {"payload cut after the length byte", Datagram(Hex("18 00 07 18 00")),
          FrameStatus::MessageRejected},
         {"fixed payload cut short", Datagram(Hex("18 00 07 00 03 10 20")),
          FrameStatus::MessageRejected}});
    std::vector<Case> reserved;
    for (std::uint8_t type = 17; type <= 22; ++type) {
        reserved.push_back({"reserved type", Datagram(Concat(ch7, {type, 0x00, 0x01})),
                            FrameStatus::MessageRejected});
    }
    ExpectUnchanged(reserved);
}

TEST(DeviceDatagram, AcceptedFrames) {
    Device device;
    EXPECT_EQ(device.Update(Hex("00 FF 00 00 00 00 00 00 18 00 07")), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 7);

    const Bytes largest = Datagram(
        Concat(Concat(ClipRecord(65), ClipRecord(65)), Concat(ClipRecord(65), ClipRecord(50))));
    ASSERT_EQ(largest.size(), 261U);
    EXPECT_EQ(device.Update(largest), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->clipName.size(), 50U);
    EXPECT_EQ(device.GetCurrentState()->channelId, 255);

    EXPECT_EQ(device.Update(Datagram(ClipRecord(65))), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->clipName.size(), 65U);

    // A string cut short keeps the bytes it got; a trailing type byte creates nothing.
    EXPECT_EQ(device.Update(Datagram(Hex("0E 50 61 62 63"))), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->clipName, "abc");
    EXPECT_EQ(device.Update(Datagram(Hex("18 00 05 18"))), FrameStatus::SameTimecode);
    EXPECT_EQ(device.GetCurrentState()->channelId, 5);

    EXPECT_EQ(device.Update(kLensUdp), FrameStatus::NewTimecode);
    EXPECT_EQ(device.GetCurrentState()->iris, 2.8F);
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
        EXPECT_EQ(d.Update(Datagram(Concat(Hex("00 03"), Hex(changed)))), FrameStatus::NewTimecode)
            << changed;
        EXPECT_EQ(d.Update(Datagram(Concat(Hex("00 03"), Hex(changed)))), FrameStatus::SameTimecode)
            << changed;
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

TEST(DeviceEncodeState, RoundTripsThroughBothFramings) {
    for (TransmissionType type : {TransmissionType::UDP, TransmissionType::Serial}) {
        const TelemetryData source = RichState();
        Device device;
        EXPECT_EQ(device.Update(source.Encode(type, kRichTypes)), FrameStatus::NewTimecode);
        EXPECT_EQ(device.Update(source.Encode(type, kMoreTypes)), FrameStatus::SameTimecode);
        const TelemetryData& decoded = *device.GetCurrentState();
        EXPECT_EQ(decoded.productBrand, source.productBrand);
        EXPECT_EQ(decoded.lensSerial, source.lensSerial);
        EXPECT_EQ(decoded.positionX, source.positionX);
        EXPECT_EQ(decoded.pitch, source.pitch);
        EXPECT_EQ(decoded.zeissZd.entrancePupilPosition, source.zeissZd.entrancePupilPosition);
        EXPECT_EQ(decoded.radioControl.radioValue, source.radioControl.radioValue);
        EXPECT_EQ(decoded.sensorName, source.sensorName);
        EXPECT_EQ(decoded.subjectId, source.subjectId);
        EXPECT_TRUE(decoded.productInfoComplete && decoded.lensInfoComplete);

        // Re-encoding the decoded state gives a frame that decodes to the same state.
        Device again;
        EXPECT_EQ(again.Update(device.EncodeState(type, kRichTypes)), FrameStatus::NewTimecode);
        EXPECT_EQ(again.Update(device.EncodeState(type, kMoreTypes)), FrameStatus::SameTimecode);
        EXPECT_EQ(Snapshot(*again.GetCurrentState()), Snapshot(decoded));
    }
}

}  // namespace
