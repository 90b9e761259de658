// The C interface of KorLib: converts between the C structs and the C++ types, checks every
// pointer and turns every exception into a status.
#include <kor/kor_c.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <kor/device.h>
#include <kor/lens.h>
#include <kor/telemetry.h>
#include <kor/version.h>

using Kor::Protocol::Device;
using Kor::Protocol::FrameReport;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;

struct kor_device {
    Device device;
};

namespace {

// The C enumerations carry the values of the C++ ones.
static_assert(KOR_FRAME_NEW_TIMECODE == static_cast<int>(FrameStatus::NewTimecode));
static_assert(KOR_FRAME_SAME_TIMECODE == static_cast<int>(FrameStatus::SameTimecode));
static_assert(KOR_FRAME_INCOMPLETE == static_cast<int>(FrameStatus::Incomplete));
static_assert(KOR_FRAME_CHECKSUM_ERROR == static_cast<int>(FrameStatus::ChecksumError));
static_assert(KOR_FRAME_FRAMING_ERROR == static_cast<int>(FrameStatus::FramingError));
static_assert(KOR_FRAME_PAYLOAD_TOO_LONG == static_cast<int>(FrameStatus::PayloadTooLong));
static_assert(KOR_FRAME_BAD_MESSAGE_TYPE == static_cast<int>(FrameStatus::BadMessageType));
static_assert(KOR_FRAME_MESSAGE_REJECTED == static_cast<int>(FrameStatus::MessageRejected));
static_assert(KOR_FRAME_LENGTH_ERROR == static_cast<int>(FrameStatus::LengthError));
static_assert(KOR_FRAME_HEADER_ERROR == static_cast<int>(FrameStatus::HeaderError));
static_assert(KOR_TRANSMISSION_UDP == static_cast<int>(TransmissionType::UDP));
static_assert(KOR_TRANSMISSION_SERIAL == static_cast<int>(TransmissionType::Serial));
static_assert(KOR_MESSAGE_ZEISS_ZD_DATA == static_cast<int>(MessageType::ZeissZdData));
static_assert(KOR_MESSAGE_RADIO_CONTROL == static_cast<int>(MessageType::RadioControl));
static_assert(KOR_MESSAGE_SUBJECT_ID == static_cast<int>(MessageType::SubjectId));
static_assert(KOR_MESSAGE_SUBJECT_ID == Kor::Protocol::kLastMessageType);
static_assert(std::is_same_v<std::underlying_type_t<MessageType>, std::uint16_t>);
static_assert(KOR_MAX_FRAME_MESSAGES >= 84, "an applied frame holds up to 84 records");

// The fields of TelemetryData that kor_telemetry mirrors, by kind. Flags are bytes in C.
// clang-format off
#define KOR_C_FLAGS(X)                                                                       \
    X(focusValid) X(zoomValid) X(irisValid) X(minFocalLengthValid) X(maxFocalLengthValid)    \
    X(minIrisValid) X(maxIrisValid) X(lensPropertiesExtraValid) X(positionXValid)            \
    X(positionYValid) X(positionZValid) X(rollValid) X(pitchValid) X(yawValid)               \
    X(rawFocusEncoderValid) X(rawZoomEncoderValid) X(rawIrisEncoderValid)                    \
    X(productInfoComplete) X(lensInfoComplete) X(clipNameReceived) X(recordFlag)
#define KOR_C_VALUES(X)                                                                      \
    X(timecodeHours) X(timecodeMinutes) X(timecodeSeconds) X(timecodeFrames) X(focus)        \
    X(zoom) X(iris) X(ptpSeconds) X(ptpNanoseconds) X(focalRangeFlags) X(minFocalLength)    \
    X(maxFocalLength) X(minIris) X(maxIris) X(lensPropertiesExtra) X(positionX)              \
    X(positionY) X(positionZ) X(roll) X(pitch) X(yaw) X(tickCount) X(tickCountType)          \
    X(projectFps) X(rawFocusEncoder) X(rawZoomEncoder) X(rawIrisEncoder) X(channelId)        \
    X(sensorWidth) X(sensorHeight) X(clipWidth) X(clipHeight) X(subjectId)                   \
    X(zeissZd.focusDistance) X(zeissZd.aperture) X(zeissZd.horizontalFieldOfView)            \
    X(zeissZd.entrancePupilPosition) X(radioControl.radioValue)                              \
    X(radioControl.radioParamA) X(radioControl.radioParamB) X(radioControl.radioMode)        \
    X(radioControl.radioParamC)
#define KOR_C_STRINGS(X)                                                                     \
    X(productBrand) X(productName) X(productSerial) X(lensManufacturer) X(lensName)          \
    X(lensSerial) X(clipName) X(sensorName)
// clang-format on

// A mirrored value has the C++ field's type exactly.
#define KOR_C_SAME_TYPE(field)                                                    \
    static_assert(std::is_same_v<decltype(std::declval<kor_telemetry&>().field),  \
                                 decltype(std::declval<TelemetryData&>().field)>, \
                  #field);
KOR_C_VALUES(KOR_C_SAME_TYPE)
#undef KOR_C_SAME_TYPE
static_assert(sizeof(kor_zeiss_zd_values::shading) ==
              sizeof(TelemetryData::ZeissZdValues::shading));
static_assert(sizeof(kor_zeiss_zd_values::radialDistortion) ==
              sizeof(TelemetryData::ZeissZdValues::radialDistortion));
static_assert(sizeof(kor_telemetry::rawAxesEncoders) == sizeof(TelemetryData::rawAxesEncoders));

bool StringsFit(const kor_telemetry& c) {
    bool fit = true;
#define KOR_C_FITS(field) fit = fit && c.field.length <= KOR_STRING_CAPACITY;
    KOR_C_STRINGS(KOR_C_FITS)
#undef KOR_C_FITS
    return fit;
}

// The caller has checked StringsFit. May throw std::bad_alloc (the strings).
void FromC(const kor_telemetry& c, TelemetryData& d) {
#define KOR_C_FLAG_IN(field) d.field = c.field != 0;
#define KOR_C_VALUE_IN(field) d.field = c.field;
#define KOR_C_STRING_IN(field) \
    d.field.assign(reinterpret_cast<const char*>(c.field.bytes), c.field.length);
    KOR_C_FLAGS(KOR_C_FLAG_IN)
    KOR_C_VALUES(KOR_C_VALUE_IN)
    KOR_C_STRINGS(KOR_C_STRING_IN)
#undef KOR_C_FLAG_IN
#undef KOR_C_VALUE_IN
#undef KOR_C_STRING_IN
    std::copy(std::begin(c.zeissZd.shading), std::end(c.zeissZd.shading),
              d.zeissZd.shading.begin());
    std::copy(std::begin(c.zeissZd.radialDistortion), std::end(c.zeissZd.radialDistortion),
              d.zeissZd.radialDistortion.begin());
    std::copy(std::begin(c.rawAxesEncoders), std::end(c.rawAxesEncoders),
              d.rawAxesEncoders.begin());
}

void ToC(const TelemetryData& d, kor_telemetry& c) {
    std::memset(&c, 0, sizeof c);  // the padding members too
#define KOR_C_FLAG_OUT(field) c.field = d.field ? 1 : 0;
#define KOR_C_VALUE_OUT(field) c.field = d.field;
    // A decoded string never exceeds 65 bytes; a longer one given to the C++ interface is
    // cut, as the encoder would cut it.
#define KOR_C_STRING_OUT(field)                                                                \
    c.field.length =                                                                           \
        static_cast<std::uint8_t>(std::min<std::size_t>(d.field.size(), KOR_STRING_CAPACITY)); \
    std::memcpy(c.field.bytes, d.field.data(), c.field.length);
    KOR_C_FLAGS(KOR_C_FLAG_OUT)
    KOR_C_VALUES(KOR_C_VALUE_OUT)
    KOR_C_STRINGS(KOR_C_STRING_OUT)
#undef KOR_C_FLAG_OUT
#undef KOR_C_VALUE_OUT
#undef KOR_C_STRING_OUT
    std::copy(d.zeissZd.shading.begin(), d.zeissZd.shading.end(), c.zeissZd.shading);
    std::copy(d.zeissZd.radialDistortion.begin(), d.zeissZd.radialDistortion.end(),
              c.zeissZd.radialDistortion);
    std::copy(d.rawAxesEncoders.begin(), d.rawAxesEncoders.end(), c.rawAxesEncoders);
}

// The checks kor_encode and kor_device_encode_state share, before anything is allocated.
int CheckEncodeArguments(int transmissionType, const std::uint16_t* messageTypes,
                         std::size_t messageTypeCount, const std::uint8_t* buffer,
                         std::size_t bufferSize, const std::size_t* frameSize) {
    if (frameSize == nullptr || (messageTypes == nullptr && messageTypeCount != 0) ||
        (buffer == nullptr && bufferSize != 0)) {
        return KOR_ERROR_NULL_POINTER;
    }
    if (transmissionType < 0 || transmissionType > 255) {
        return KOR_ERROR_INVALID_ARGUMENT;
    }
    return KOR_OK;
}

std::vector<MessageType> TypeList(const std::uint16_t* messageTypes, std::size_t count) {
    std::vector<MessageType> types(count);
    for (std::size_t i = 0; i < count; ++i) {
        types[i] = static_cast<MessageType>(messageTypes[i]);
    }
    return types;
}

// Copies an encoded frame out, or reports the size it needs.
int Deliver(const std::vector<std::uint8_t>& frame, std::uint8_t* buffer, std::size_t bufferSize,
            std::size_t* frameSize) {
    *frameSize = frame.size();
    if (frame.size() > bufferSize) {
        return KOR_ERROR_BUFFER_TOO_SMALL;
    }
    if (!frame.empty()) {
        std::memcpy(buffer, frame.data(), frame.size());
    }
    return KOR_OK;
}

#define KOR_C_TEXT2(x) #x
#define KOR_C_TEXT(x) KOR_C_TEXT2(x)
constexpr const char* kVersionText = KOR_C_TEXT(KORLIB_VERSION_MAJOR) "." KOR_C_TEXT(
    KORLIB_VERSION_MINOR) "." KOR_C_TEXT(KORLIB_VERSION_PATCH);

void ToC(const FrameReport& report, kor_frame_report& c) {
    std::memset(&c, 0, sizeof c);
    c.status = static_cast<std::int32_t>(report.status);
    const std::size_t count = std::min<std::size_t>(report.messages.size(), KOR_MAX_FRAME_MESSAGES);
    c.messageCount = static_cast<std::uint16_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        c.messages[i] = static_cast<std::uint16_t>(report.messages[i]);
    }
}

Kor::ImageHeightCharacteristics FromC(const kor_image_height_characteristics& c) {
    return {c.value_0, c.value_5, c.value_10, c.value_15, c.value_18, c.value_21_4};
}

}  // namespace

extern "C" {

int kor_get_version(kor_version* version) {
    if (version == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    const Kor::Version v = Kor::GetDllVersion();
    *version = kor_version{};
    version->major = v.major;
    version->minor = v.minor;
    version->patch = v.patch;
    version->build = v.build;
    return KOR_OK;
}

const char* kor_version_string(void) {
    return kVersionText;
}

size_t kor_telemetry_size(void) {
    return sizeof(kor_telemetry);
}

const char* kor_status_name(int status) {
    if (status >= KOR_FRAME_NEW_TIMECODE && status <= KOR_FRAME_HEADER_ERROR) {
        // The names are static and zero-terminated.
        return Kor::Protocol::Name(static_cast<FrameStatus>(status)).data();
    }
    switch (status) {
        case KOR_ERROR_NULL_POINTER: return "KOR_ERROR_NULL_POINTER";
        case KOR_ERROR_BUFFER_TOO_SMALL: return "KOR_ERROR_BUFFER_TOO_SMALL";
        case KOR_ERROR_OUT_OF_MEMORY: return "KOR_ERROR_OUT_OF_MEMORY";
        case KOR_ERROR_INVALID_ARGUMENT: return "KOR_ERROR_INVALID_ARGUMENT";
        default: return "unknown";
    }
}

const char* kor_message_type_name(int message_type) {
    if (message_type < 0 || message_type > Kor::Protocol::kLastMessageType) {
        return "Unknown";
    }
    // The names are static and zero-terminated.
    return Kor::Protocol::Name(static_cast<MessageType>(message_type)).data();
}

int kor_telemetry_init(kor_telemetry* data) {
    if (data == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    // The defaults of the C++ record, copied without allocating (its strings are empty).
    ToC(TelemetryData{}, *data);
    return KOR_OK;
}

int kor_encode(const kor_telemetry* data, int transmission_type, const uint16_t* message_types,
               size_t message_type_count, uint8_t* buffer, size_t buffer_size, size_t* frame_size) {
    if (data == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    const int checked = CheckEncodeArguments(transmission_type, message_types, message_type_count,
                                             buffer, buffer_size, frame_size);
    if (checked != KOR_OK) {
        return checked;
    }
    if (!StringsFit(*data)) {
        return KOR_ERROR_INVALID_ARGUMENT;
    }
    try {
        TelemetryData record;
        FromC(*data, record);
        const std::vector<std::uint8_t> frame =
            record.Encode(static_cast<TransmissionType>(transmission_type),
                          TypeList(message_types, message_type_count));
        return Deliver(frame, buffer, buffer_size, frame_size);
    } catch (...) {
        // Only allocations can fail here (a list too long to copy included).
        return KOR_ERROR_OUT_OF_MEMORY;
    }
}

int kor_device_create(kor_device** device) {
    if (device == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    *device = nullptr;
    try {
        *device = new kor_device{};
        return KOR_OK;
    } catch (...) {
        return KOR_ERROR_OUT_OF_MEMORY;
    }
}

int kor_device_create_with_state(const kor_telemetry* initial_state, kor_device** device) {
    if (initial_state == nullptr || device == nullptr) {
        if (device != nullptr) {
            *device = nullptr;
        }
        return KOR_ERROR_NULL_POINTER;
    }
    *device = nullptr;
    if (!StringsFit(*initial_state)) {
        return KOR_ERROR_INVALID_ARGUMENT;
    }
    try {
        TelemetryData state;
        FromC(*initial_state, state);
        *device = new kor_device{Device(state)};
        return KOR_OK;
    } catch (...) {
        return KOR_ERROR_OUT_OF_MEMORY;
    }
}

void kor_device_destroy(kor_device* device) {
    delete device;
}

int kor_device_update(kor_device* device, const uint8_t* data, size_t size) {
    if (device == nullptr || (data == nullptr && size != 0)) {
        return KOR_ERROR_NULL_POINTER;
    }
    try {
        return static_cast<int>(device->device.Update(data, size));
    } catch (...) {
        return KOR_ERROR_OUT_OF_MEMORY;
    }
}

int kor_device_update_report(kor_device* device, const uint8_t* data, size_t size,
                             kor_frame_callback on_frame, void* context) {
    if (device == nullptr || on_frame == nullptr || (data == nullptr && size != 0)) {
        return KOR_ERROR_NULL_POINTER;
    }
    try {
        kor_frame_report report;
        return static_cast<int>(device->device.Update(data, size, [&](const FrameReport& frame) {
            ToC(frame, report);
            on_frame(&report, context);
        }));
    } catch (...) {
        return KOR_ERROR_OUT_OF_MEMORY;
    }
}

int kor_device_last_frame(const kor_device* device, kor_frame_report* report) {
    if (device == nullptr || report == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    ToC(device->device.GetLastFrame(), *report);
    return KOR_OK;
}

int kor_device_get_state(const kor_device* device, kor_telemetry* state) {
    if (device == nullptr || state == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    ToC(*device->device.GetCurrentState(), *state);
    return KOR_OK;
}

int kor_device_encode_state(const kor_device* device, int transmission_type,
                            const uint16_t* message_types, size_t message_type_count,
                            uint8_t* buffer, size_t buffer_size, size_t* frame_size) {
    if (device == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    const int checked = CheckEncodeArguments(transmission_type, message_types, message_type_count,
                                             buffer, buffer_size, frame_size);
    if (checked != KOR_OK) {
        return checked;
    }
    try {
        const std::vector<std::uint8_t> frame =
            device->device.EncodeState(static_cast<TransmissionType>(transmission_type),
                                       TypeList(message_types, message_type_count));
        return Deliver(frame, buffer, buffer_size, frame_size);
    } catch (...) {
        return KOR_ERROR_OUT_OF_MEMORY;
    }
}

int kor_image_height_aberration_third_order_approx(
    const kor_image_height_characteristics* characteristics, double normalisation_radius,
    kor_third_order_radial_params* params) {
    if (characteristics == nullptr || params == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    Kor::ThirdOrderRadialParams out{};
    Kor::image_height_aberration_third_order_approx(FromC(*characteristics), normalisation_radius,
                                                    out);
    *params = {out.k1, out.k2, out.k3};
    return KOR_OK;
}

int kor_lens_image_height_coeffs(const kor_image_height_characteristics* characteristics,
                                 double normalisation_radius, double extra_sample_height,
                                 kor_third_order_radial_params* params) {
    if (characteristics == nullptr || params == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    Kor::ThirdOrderRadialParams out{};
    Kor::lens_image_height_coeffs(FromC(*characteristics), normalisation_radius,
                                  extra_sample_height, out);
    *params = {out.k1, out.k2, out.k3};
    return KOR_OK;
}

int kor_undistort_point(double distorted_radius, const kor_third_order_radial_params* params,
                        double* undistorted_radius) {
    if (params == nullptr || undistorted_radius == nullptr) {
        return KOR_ERROR_NULL_POINTER;
    }
    Kor::ThirdOrderRadialParams p{params->k1, params->k2, params->k3};
    *undistorted_radius = Kor::undistort_point(distorted_radius, p);
    return KOR_OK;
}

}  // extern "C"
