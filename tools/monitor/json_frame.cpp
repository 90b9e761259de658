// One finished frame as a JSON object.
#include "json_frame.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "local_time.h"

namespace KorMonitor {

using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using nlohmann::ordered_json;

namespace {

// The float's shortest round-trip decimal, read back as a double, so that the JSON text
// shows the value as the float holds it (35.99 rather than 35.9900016784668).
double Shortest(float value) {
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    double result = value;
    std::from_chars(std::begin(text), written.ptr, result);
    return result;
}

template <std::size_t N>
ordered_json FloatArray(const std::array<float, N>& values) {
    ordered_json array = ordered_json::array();
    for (const float value : values) {
        array.push_back(Shortest(value));
    }
    return array;
}

}  // namespace

void AddMessageFields(ordered_json& object, MessageType type, const TelemetryData& s) {
    switch (type) {
        case MessageType::Timecode:
            object["timecodeHours"] = s.timecodeHours;
            object["timecodeMinutes"] = s.timecodeMinutes;
            object["timecodeSeconds"] = s.timecodeSeconds;
            object["timecodeFrames"] = s.timecodeFrames;
            object["recordFlag"] = s.recordFlag;
            break;
        case MessageType::BasicLens:
            object["focus"] = s.focus;
            object["zoom"] = Shortest(s.zoom);
            object["iris"] = Shortest(s.iris);
            object["focusValid"] = s.focusValid;
            object["zoomValid"] = s.zoomValid;
            object["irisValid"] = s.irisValid;
            break;
        case MessageType::PtpTimestamp:
            object["ptpSeconds"] = s.ptpSeconds;
            object["ptpNanoseconds"] = s.ptpNanoseconds;
            break;
        case MessageType::ProductBrand:
            object["productBrand"] = s.productBrand;
            object["productInfoComplete"] = s.productInfoComplete;
            break;
        case MessageType::ProductName:
            object["productName"] = s.productName;
            object["productInfoComplete"] = s.productInfoComplete;
            break;
        case MessageType::ProductSerial:
            object["productSerial"] = s.productSerial;
            object["productInfoComplete"] = s.productInfoComplete;
            break;
        case MessageType::LensProperties:
            object["minFocalLength"] = Shortest(s.minFocalLength);
            object["maxFocalLength"] = Shortest(s.maxFocalLength);
            object["minIris"] = Shortest(s.minIris);
            object["maxIris"] = Shortest(s.maxIris);
            object["lensPropertiesExtra"] = s.lensPropertiesExtra;
            object["minFocalLengthValid"] = s.minFocalLengthValid;
            object["maxFocalLengthValid"] = s.maxFocalLengthValid;
            object["minIrisValid"] = s.minIrisValid;
            object["maxIrisValid"] = s.maxIrisValid;
            object["lensPropertiesExtraValid"] = s.lensPropertiesExtraValid;
            object["focalRangeFlags"] = s.focalRangeFlags;
            break;
        case MessageType::PositionalData:
            object["positionX"] = Shortest(s.positionX);
            object["positionY"] = Shortest(s.positionY);
            object["positionZ"] = Shortest(s.positionZ);
            object["positionXValid"] = s.positionXValid;
            object["positionYValid"] = s.positionYValid;
            object["positionZValid"] = s.positionZValid;
            break;
        case MessageType::AxesData:
            object["roll"] = Shortest(s.roll);
            object["pitch"] = Shortest(s.pitch);
            object["yaw"] = Shortest(s.yaw);
            object["rollValid"] = s.rollValid;
            object["pitchValid"] = s.pitchValid;
            object["yawValid"] = s.yawValid;
            break;
        case MessageType::TickCount:
            object["tickCount"] = s.tickCount;
            object["tickCountType"] = s.tickCountType;
            break;
        case MessageType::LensManufacturer:
            object["lensManufacturer"] = s.lensManufacturer;
            object["lensInfoComplete"] = s.lensInfoComplete;
            break;
        case MessageType::LensName:
            object["lensName"] = s.lensName;
            object["lensInfoComplete"] = s.lensInfoComplete;
            break;
        case MessageType::LensSerial:
            object["lensSerial"] = s.lensSerial;
            object["lensInfoComplete"] = s.lensInfoComplete;
            break;
        case MessageType::ProjectFps: object["projectFps"] = s.projectFps; break;
        case MessageType::ClipName:
            object["clipName"] = s.clipName;
            object["clipNameReceived"] = s.clipNameReceived;
            break;
        case MessageType::RawLensEncoderWithMask:
            object["rawFocusEncoder"] = s.rawFocusEncoder;
            object["rawZoomEncoder"] = s.rawZoomEncoder;
            object["rawIrisEncoder"] = s.rawIrisEncoder;
            object["rawFocusEncoderValid"] = s.rawFocusEncoderValid;
            object["rawZoomEncoderValid"] = s.rawZoomEncoderValid;
            object["rawIrisEncoderValid"] = s.rawIrisEncoderValid;
            break;
        case MessageType::ZeissZdData:
            object["zeissZd"] = {
                {"focusDistance", s.zeissZd.focusDistance},
                {"aperture", Shortest(s.zeissZd.aperture)},
                {"horizontalFieldOfView", Shortest(s.zeissZd.horizontalFieldOfView)},
                {"entrancePupilPosition", s.zeissZd.entrancePupilPosition},
                {"shading", FloatArray(s.zeissZd.shading)},
                {"radialDistortion", FloatArray(s.zeissZd.radialDistortion)},
            };
            break;
        case MessageType::RadioControl:
            object["radioControl"] = {
                {"radioValue", s.radioControl.radioValue},
                {"radioParamA", s.radioControl.radioParamA},
                {"radioParamB", s.radioControl.radioParamB},
                {"radioMode", s.radioControl.radioMode},
                {"radioParamC", s.radioControl.radioParamC},
            };
            break;
        case MessageType::ChannelId: object["channelId"] = s.channelId; break;
        case MessageType::SensorSize:
            object["sensorWidth"] = Shortest(s.sensorWidth);
            object["sensorHeight"] = Shortest(s.sensorHeight);
            object["clipWidth"] = s.clipWidth;
            object["clipHeight"] = s.clipHeight;
            object["sensorName"] = s.sensorName;
            break;
        case MessageType::RawAxesEncoderWithMask:
            object["rawAxesEncoders"] = s.rawAxesEncoders;
            break;
        case MessageType::SubjectId: object["subjectId"] = s.subjectId; break;
        default:
            // Reserved types carry nothing (and never appear in an applied frame).
            break;
    }
}

ordered_json FrameJson(Kor::Protocol::FrameStatus status,
                       std::chrono::system_clock::time_point received, const Origin& origin,
                       std::span<const MessageType> types, const TelemetryData& state) {
    ordered_json object;
    object["status"] = Kor::Protocol::Name(status);
    object["receiveTime"] = IsoUtc(received);
    const auto micros = std::chrono::floor<std::chrono::microseconds>(received.time_since_epoch());
    object["receiveEpochSeconds"] = static_cast<double>(micros.count()) / 1e6;
    object["sender"] = origin.sender;
    object["source"] = origin.source;
    if (!Kor::Protocol::FrameReport{status, {}}.Applied()) {
        return object;
    }
    ordered_json names = ordered_json::array();
    for (const MessageType type : types) {
        names.push_back(Kor::Protocol::Name(type));
    }
    object["messages"] = std::move(names);
    for (const MessageType type : types) {
        AddMessageFields(object, type, state);
    }
    return object;
}

std::string DumpLine(const ordered_json& object) {
    return object.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    const auto since = std::chrono::floor<std::chrono::microseconds>(time.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto micros = (since - seconds).count();
    std::tm utc{};
    Kor::Platform::UtcCalendar(seconds.count(), utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(micros));
    return text;
}

}  // namespace KorMonitor
