// Tests of the JSON object written for each finished frame.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "json_frame.h"
#include "names.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using nlohmann::json;

// 2024-05-01 12:51:36.123456 UTC.
const std::chrono::system_clock::time_point kReceived{1'714'567'896'123'456us};

TEST(IsoUtc, WritesMicrosecondsInUtc) {
    EXPECT_EQ(KorMonitor::IsoUtc(kReceived), "2024-05-01T12:51:36.123456Z");
    EXPECT_EQ(KorMonitor::IsoUtc(kReceived + 999ns), "2024-05-01T12:51:36.123456Z");
    EXPECT_EQ(KorMonitor::IsoUtc(std::chrono::system_clock::time_point(-500ms)),
              "1969-12-31T23:59:59.500000Z");
}

TEST(FrameJson, ErrorFrameHoldsStatusAndTimeOnly) {
    TelemetryData state;
    state.channelId = 7;
    const std::vector<MessageType> types{MessageType::ChannelId};
    const json object = json::parse(KorMonitor::DumpLine(
        KorMonitor::FrameJson(FrameStatus::ChecksumError, kReceived, types, state)));
    EXPECT_EQ(object, json::parse(R"({"status": "ChecksumError",
                                      "receiveTime": "2024-05-01T12:51:36.123456Z",
                                      "receiveEpochSeconds": 1714567896.123456})"));
}

TEST(FrameJson, AppliedFrameHoldsTheFieldsItsRecordsCarried) {
    TelemetryData state;
    state.timecodeHours = 10;
    state.timecodeMinutes = 20;
    state.timecodeSeconds = 30;
    state.timecodeFrames = 12;
    state.focus = 1500;
    state.focusValid = true;
    state.zoom = 35.99F;
    state.iris = 2.8F;
    state.irisValid = true;
    state.zeissZd.aperture = 2.24F;
    state.clipName = "A001";  // present in the state, but not carried by this frame
    const std::vector<MessageType> types{MessageType::Timecode, MessageType::BasicLens,
                                         MessageType::ZeissZdData, MessageType::BasicLens};
    const std::string line = KorMonitor::DumpLine(
        KorMonitor::FrameJson(FrameStatus::NewTimecode, kReceived, types, state));
    EXPECT_EQ(line.find('\n'), std::string::npos);
    // Floats are written as the decimal the float stands for.
    EXPECT_NE(line.find(R"("zoom":35.99,)"), std::string::npos) << line;
    EXPECT_NE(line.find(R"("iris":2.8,)"), std::string::npos) << line;

    const json object = json::parse(line);
    EXPECT_EQ(object["status"], "NewTimecode");
    EXPECT_EQ(object["messages"],
              json::parse(R"(["Timecode", "BasicLens", "ZeissZdData", "BasicLens"])"));
    EXPECT_EQ(object["timecodeFrames"], 12);
    EXPECT_EQ(object["focus"], 1500);
    EXPECT_EQ(object["focusValid"], true);
    EXPECT_DOUBLE_EQ(object["zeissZd"]["aperture"].get<double>(), 2.24);
    EXPECT_EQ(object["zeissZd"]["shading"].size(), 6U);
    EXPECT_FALSE(object.contains("clipName"));
    // Each key once, although BasicLens came twice.
    EXPECT_EQ(object.size(), 3U + 1U + 5U + 6U + 1U);
}

TEST(FrameJson, EveryMessageTypeWithAClassContributesFields) {
    const TelemetryData state;
    for (std::size_t i = 0; i < KorMonitor::kMessageTypeCount; ++i) {
        const auto type = static_cast<MessageType>(i);
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        KorMonitor::AddMessageFields(object, type, state);
        const bool reserved = i >= 17 && i <= 22;
        EXPECT_EQ(object.empty(), reserved) << KorMonitor::MessageTypeName(type);
    }
}

TEST(FrameJson, BytesThatAreNotUtf8StillGiveAValidLine) {
    TelemetryData state;
    state.productName = std::string("Cam\xff\xfe\x01\"x", 8);
    const std::vector<MessageType> types{MessageType::ProductName};
    const std::string line = KorMonitor::DumpLine(
        KorMonitor::FrameJson(FrameStatus::SameTimecode, kReceived, types, state));
    const json object = json::parse(line);
    EXPECT_EQ(object["productName"], "Cam\xef\xbf\xbd\xef\xbf\xbd\x01\"x");
}

}  // namespace
