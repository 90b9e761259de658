// The message catalogue, CreateMessage, TelemetryData defaults, AppendByte, version.
#include <cstdint>
#include <type_traits>
#include <typeindex>
#include <typeinfo>

#include <gtest/gtest.h>

#include <kor/telemetry.h>
#include <kor/version.h>

#include "message.h"
#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using kor_test::Hex;

static_assert(sizeof(MessageType) == 2 &&
              std::is_same_v<std::underlying_type_t<MessageType>, std::uint16_t>);
static_assert(sizeof(TransmissionType) == 1);
static_assert(static_cast<int>(TransmissionType::UDP) == 0 &&
              static_cast<int>(TransmissionType::Serial) == 1);
static_assert(kLastMessageType == 27);

struct FactoryCase {
    unsigned type;
    std::type_index expected;
};

// clang-format off
const FactoryCase kFactoryCases[] = {
    {0, typeid(TimecodeMessage)}, {1, typeid(BasicLensMessage)}, {2, typeid(PtpTimestampMessage)},
    {3, typeid(ProductBrandMessage)}, {4, typeid(ProductNameMessage)},
    {5, typeid(ProductSerialMessage)}, {6, typeid(LensPropertiesMessage)},
    {7, typeid(PositionalDataMessage)}, {8, typeid(AxesDataMessage)}, {9, typeid(TickCountMessage)},
    {10, typeid(LensManufacturerMessage)}, {11, typeid(LensNameMessage)},
    {12, typeid(LensSerialMessage)}, {13, typeid(ProjectFpsMessage)}, {14, typeid(ClipNameMessage)},
    {15, typeid(RawLensEncoderWithMaskMessage)}, {16, typeid(ZeissZdDataMessage)},
    {17, typeid(Message)}, {18, typeid(Message)}, {19, typeid(Message)}, {20, typeid(Message)},
    {21, typeid(Message)}, {22, typeid(Message)}, {23, typeid(RadioControlMessage)},
    {24, typeid(ChannelIdMessage)}, {25, typeid(SensorSizeMessage)},
    {26, typeid(RawAxesEncoderWithMaskMessage)}, {27, typeid(SubjectIdMessage)},
    {28, typeid(Message)}, {200, typeid(Message)}, {0xFFFF, typeid(Message)},
};
// clang-format on

TEST(Catalogue, CreateMessageMapsEveryTypeToItsClass) {
    for (const FactoryCase& c : kFactoryCases) {
        SCOPED_TRACE(c.type);
        const auto m = CreateMessage(static_cast<MessageType>(c.type));
        ASSERT_NE(m, nullptr);
        const Message& object = *m;
        EXPECT_EQ(std::type_index(typeid(object)), c.expected);
        EXPECT_TRUE(m->payload.empty());
    }
    EXPECT_NE(dynamic_cast<RawAxesEncoderWithMaskMessage*>(
                  CreateMessage(MessageType::RawAxesEncoderWithMask).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<SubjectIdMessage*>(CreateMessage(MessageType::SubjectId).get()),
              nullptr);
    EXPECT_EQ(
        dynamic_cast<SubjectIdMessage*>(CreateMessage(MessageType::RawAxesEncoderWithMask).get()),
        nullptr);
}

TEST(Catalogue, PlainMessageRejectsEveryPayloadAndWritesNothing) {
    for (unsigned type : {17U, 18U, 19U, 20U, 21U, 22U, 28U, 200U}) {
        SCOPED_TRACE(type);
        for (const auto& payload :
             {Hex(""), Hex("00"), Hex("18 00 07"), kor_test::Repeat(0x41, 65)}) {
            TelemetryData state;
            state.channelId = 9;
            const auto m = kor_test::MakeMessage(static_cast<std::uint8_t>(type), payload);
            EXPECT_FALSE(m->Decode(state));
            EXPECT_EQ(state.channelId, 9);
        }
    }
}

// clang-format off
TEST(Catalogue, DefaultTelemetryData) {
    const TelemetryData d;
    for (bool flag : {d.focusValid, d.zoomValid, d.irisValid, d.minFocalLengthValid,
                      d.maxFocalLengthValid, d.minIrisValid, d.maxIrisValid,
                      d.lensPropertiesExtraValid, d.positionXValid, d.positionYValid,
                      d.positionZValid, d.rollValid, d.pitchValid, d.yawValid,
                      d.rawFocusEncoderValid, d.rawZoomEncoderValid, d.rawIrisEncoderValid,
                      d.productInfoComplete, d.lensInfoComplete, d.clipNameReceived,
                      d.recordFlag}) {
        EXPECT_FALSE(flag);
    }
    using U = std::uint64_t;
    for (U v : {U{d.timecodeHours}, U{d.timecodeMinutes}, U{d.timecodeSeconds},
                U{d.timecodeFrames}, U{d.focus}, d.ptpSeconds, U{d.ptpNanoseconds},
                U{d.focalRangeFlags}, U{d.lensPropertiesExtra}, d.tickCount, U{d.tickCountType},
                U{d.projectFps}, U{d.rawFocusEncoder}, U{d.rawZoomEncoder}, U{d.rawIrisEncoder},
                U{d.clipWidth}, U{d.clipHeight}, U{d.rawAxesEncoders[0]}, U{d.rawAxesEncoders[1]},
                U{d.rawAxesEncoders[2]}, U{d.zeissZd.focusDistance},
                U(d.zeissZd.entrancePupilPosition), U{d.radioControl.radioValue},
                U{d.radioControl.radioParamA}, U{d.radioControl.radioParamB},
                U{d.radioControl.radioParamC}}) {
        EXPECT_EQ(v, 0U);
    }
    for (float v : {d.zoom, d.iris, d.minFocalLength, d.maxFocalLength, d.minIris, d.maxIris,
                    d.positionX, d.positionY, d.positionZ, d.roll, d.pitch, d.yaw,
                    d.sensorWidth, d.sensorHeight, d.zeissZd.horizontalFieldOfView}) {
        EXPECT_EQ(v, 0.0F);
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(d.zeissZd.shading[i], 0.0F);
        EXPECT_EQ(d.zeissZd.radialDistortion[i], 0.0F);
    }
    for (const std::string* s : {&d.productBrand, &d.productName, &d.productSerial,
                                 &d.lensManufacturer, &d.lensName, &d.lensSerial, &d.clipName,
                                 &d.sensorName}) {
        EXPECT_TRUE(s->empty());
    }
    EXPECT_EQ(d.channelId, 255);
    EXPECT_EQ(d.subjectId, 0xFFFFU);
    EXPECT_EQ(d.zeissZd.aperture, 14.0F);
    EXPECT_EQ(d.radioControl.radioMode, 4);
}
// clang-format on

TEST(Catalogue, AppendByteTakesAtMost65Bytes) {
    for (unsigned type : {0U, 3U, 17U, 25U}) {
        const auto m = CreateMessage(static_cast<MessageType>(type));
        for (int i = 0; i < 65; ++i) {
            EXPECT_TRUE(m->AppendByte(static_cast<std::uint8_t>(i))) << i;
        }
        EXPECT_FALSE(m->AppendByte(0xAA));
        EXPECT_FALSE(m->AppendByte(0xBB));
        ASSERT_EQ(m->payload.size(), 65U);
        EXPECT_EQ(m->payload[0], 0);
        EXPECT_EQ(m->payload[64], 64);
    }
    EXPECT_EQ(kMaxPayload, 65U);
}

TEST(Catalogue, CopyingTelemetryDataCopiesStringsAndNestedBlocks) {
    TelemetryData a;
    a.productBrand = "brand";
    a.lensName = std::string("le\0ns", 5);
    a.sensorName = std::string(56, 'S');
    a.zeissZd.focusDistance = 1234;
    a.zeissZd.shading[3] = 7.5F;
    a.zeissZd.radialDistortion[5] = -2.0F;
    a.radioControl.radioMode = 9;
    a.radioControl.radioParamC = 3;
    a.rawAxesEncoders = {1, 2, 3};

    TelemetryData b = a;
    TelemetryData c;
    c = a;
    a.productBrand = "changed";
    a.lensName.clear();
    a.zeissZd = {};
    a.radioControl = {};
    a.rawAxesEncoders = {};
    for (const TelemetryData* copy : {&b, &c}) {
        EXPECT_EQ(copy->productBrand, "brand");
        EXPECT_EQ(copy->lensName, std::string("le\0ns", 5));
        EXPECT_EQ(copy->sensorName, std::string(56, 'S'));
        EXPECT_EQ(copy->zeissZd.focusDistance, 1234U);
        EXPECT_EQ(copy->zeissZd.shading[3], 7.5F);
        EXPECT_EQ(copy->zeissZd.radialDistortion[5], -2.0F);
        EXPECT_EQ(copy->radioControl.radioMode, 9);
        EXPECT_EQ(copy->radioControl.radioParamC, 3);
        EXPECT_EQ(copy->rawAxesEncoders[2], 3U);
    }
}

TEST(Catalogue, GetDllVersionIs160Build0) {
    const Kor::Version v = Kor::GetDllVersion();
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 6);
    EXPECT_EQ(v.patch, 0);
    EXPECT_EQ(v.build, 0U);
}

}  // namespace
