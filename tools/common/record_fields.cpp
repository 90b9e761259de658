// The telemetry record's fields by name, in the order of the record types that carry them.
#include "record_fields.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>

namespace Kor::Tools {

using MT = Protocol::MessageType;
using TD = TelemetryData;
using nlohmann::ordered_json;

double ShortestDouble(float value) {
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    double result = value;
    std::from_chars(std::begin(text), written.ptr, result);
    return result;
}

namespace {

template <std::size_t N>
ordered_json FloatArray(const std::array<float, N>& values) {
    ordered_json array = ordered_json::array();
    for (const float value : values) {
        array.push_back(ShortestDouble(value));
    }
    return array;
}

ordered_json ZeissZd(const TD& s) {
    return {
        {"focusDistance", s.zeissZd.focusDistance},
        {"aperture", ShortestDouble(s.zeissZd.aperture)},
        {"horizontalFieldOfView", ShortestDouble(s.zeissZd.horizontalFieldOfView)},
        {"entrancePupilPosition", s.zeissZd.entrancePupilPosition},
        {"shading", FloatArray(s.zeissZd.shading)},
        {"radialDistortion", FloatArray(s.zeissZd.radialDistortion)},
    };
}

ordered_json RadioControl(const TD& s) {
    return {
        {"radioValue", s.radioControl.radioValue},   {"radioParamA", s.radioControl.radioParamA},
        {"radioParamB", s.radioControl.radioParamB}, {"radioMode", s.radioControl.radioMode},
        {"radioParamC", s.radioControl.radioParamC},
    };
}

ordered_json RawAxesEncoders(const TD& s) {
    return s.rawAxesEncoders;
}

// Grouped by record type in catalogue order (FieldsOf relies on it).
const RecordField kFields[] = {
    {"timecodeHours", MT::Timecode, &TD::timecodeHours},
    {"timecodeMinutes", MT::Timecode, &TD::timecodeMinutes},
    {"timecodeSeconds", MT::Timecode, &TD::timecodeSeconds},
    {"timecodeFrames", MT::Timecode, &TD::timecodeFrames},
    {"recordFlag", MT::Timecode, &TD::recordFlag},
    {"focus", MT::BasicLens, &TD::focus},
    {"zoom", MT::BasicLens, &TD::zoom},
    {"iris", MT::BasicLens, &TD::iris},
    {"focusValid", MT::BasicLens, &TD::focusValid},
    {"zoomValid", MT::BasicLens, &TD::zoomValid},
    {"irisValid", MT::BasicLens, &TD::irisValid},
    {"ptpSeconds", MT::PtpTimestamp, &TD::ptpSeconds},
    {"ptpNanoseconds", MT::PtpTimestamp, &TD::ptpNanoseconds},
    {"productBrand", MT::ProductBrand, &TD::productBrand},
    {"productInfoComplete", MT::ProductBrand, &TD::productInfoComplete},
    {"productName", MT::ProductName, &TD::productName},
    {"productInfoComplete", MT::ProductName, &TD::productInfoComplete},
    {"productSerial", MT::ProductSerial, &TD::productSerial},
    {"productInfoComplete", MT::ProductSerial, &TD::productInfoComplete},
    {"minFocalLength", MT::LensProperties, &TD::minFocalLength},
    {"maxFocalLength", MT::LensProperties, &TD::maxFocalLength},
    {"minIris", MT::LensProperties, &TD::minIris},
    {"maxIris", MT::LensProperties, &TD::maxIris},
    {"lensPropertiesExtra", MT::LensProperties, &TD::lensPropertiesExtra},
    {"minFocalLengthValid", MT::LensProperties, &TD::minFocalLengthValid},
    {"maxFocalLengthValid", MT::LensProperties, &TD::maxFocalLengthValid},
    {"minIrisValid", MT::LensProperties, &TD::minIrisValid},
    {"maxIrisValid", MT::LensProperties, &TD::maxIrisValid},
    {"lensPropertiesExtraValid", MT::LensProperties, &TD::lensPropertiesExtraValid},
    {"focalRangeFlags", MT::LensProperties, &TD::focalRangeFlags},
    {"positionX", MT::PositionalData, &TD::positionX},
    {"positionY", MT::PositionalData, &TD::positionY},
    {"positionZ", MT::PositionalData, &TD::positionZ},
    {"positionXValid", MT::PositionalData, &TD::positionXValid},
    {"positionYValid", MT::PositionalData, &TD::positionYValid},
    {"positionZValid", MT::PositionalData, &TD::positionZValid},
    {"roll", MT::AxesData, &TD::roll},
    {"pitch", MT::AxesData, &TD::pitch},
    {"yaw", MT::AxesData, &TD::yaw},
    {"rollValid", MT::AxesData, &TD::rollValid},
    {"pitchValid", MT::AxesData, &TD::pitchValid},
    {"yawValid", MT::AxesData, &TD::yawValid},
    {"tickCount", MT::TickCount, &TD::tickCount},
    {"tickCountType", MT::TickCount, &TD::tickCountType},
    {"lensManufacturer", MT::LensManufacturer, &TD::lensManufacturer},
    {"lensInfoComplete", MT::LensManufacturer, &TD::lensInfoComplete},
    {"lensName", MT::LensName, &TD::lensName},
    {"lensInfoComplete", MT::LensName, &TD::lensInfoComplete},
    {"lensSerial", MT::LensSerial, &TD::lensSerial},
    {"lensInfoComplete", MT::LensSerial, &TD::lensInfoComplete},
    {"projectFps", MT::ProjectFps, &TD::projectFps},
    {"clipName", MT::ClipName, &TD::clipName},
    {"clipNameReceived", MT::ClipName, &TD::clipNameReceived},
    {"rawFocusEncoder", MT::RawLensEncoderWithMask, &TD::rawFocusEncoder},
    {"rawZoomEncoder", MT::RawLensEncoderWithMask, &TD::rawZoomEncoder},
    {"rawIrisEncoder", MT::RawLensEncoderWithMask, &TD::rawIrisEncoder},
    {"rawFocusEncoderValid", MT::RawLensEncoderWithMask, &TD::rawFocusEncoderValid},
    {"rawZoomEncoderValid", MT::RawLensEncoderWithMask, &TD::rawZoomEncoderValid},
    {"rawIrisEncoderValid", MT::RawLensEncoderWithMask, &TD::rawIrisEncoderValid},
    {"zeissZd", MT::ZeissZdData, &ZeissZd},
    {"radioControl", MT::RadioControl, &RadioControl},
    {"channelId", MT::ChannelId, &TD::channelId},
    {"sensorWidth", MT::SensorSize, &TD::sensorWidth},
    {"sensorHeight", MT::SensorSize, &TD::sensorHeight},
    {"clipWidth", MT::SensorSize, &TD::clipWidth},
    {"clipHeight", MT::SensorSize, &TD::clipHeight},
    {"sensorName", MT::SensorSize, &TD::sensorName},
    {"rawAxesEncoders", MT::RawAxesEncoderWithMask, &RawAxesEncoders},
    {"subjectId", MT::SubjectId, &TD::subjectId},
};

}  // namespace

std::span<const RecordField> RecordFields() {
    return kFields;
}

std::span<const RecordField> FieldsOf(Protocol::MessageType type) {
    // The table is grouped by type, so each type's fields are one run of it.
    const auto first = std::find_if(std::begin(kFields), std::end(kFields),
                                    [type](const RecordField& f) { return f.type == type; });
    const auto last = std::find_if(first, std::end(kFields),
                                   [type](const RecordField& f) { return f.type != type; });
    return {first, last};
}

const RecordField* FindRecordField(std::string_view name) {
    const auto found = std::find_if(std::begin(kFields), std::end(kFields),
                                    [name](const RecordField& f) { return f.name == name; });
    return found == std::end(kFields) ? nullptr : &*found;
}

ordered_json FieldJson(const RecordField& field, const TelemetryData& state) {
    return std::visit(
        [&state](auto member) -> ordered_json {
            using Member = decltype(member);
            if constexpr (std::is_same_v<Member, ordered_json (*)(const TD&)>) {
                return member(state);
            } else if constexpr (std::is_same_v<Member, float TD::*>) {
                return ShortestDouble(state.*member);
            } else {
                return state.*member;
            }
        },
        field.member);
}

}  // namespace Kor::Tools
