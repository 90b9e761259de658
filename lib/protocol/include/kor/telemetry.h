// The Kor message catalogue, transmission types and the telemetry record with its encoder.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <kor/export.h>

namespace Kor::Protocol {

// Message type numbers. On the wire a type is one byte; in memory it is 16 bits wide so
// that a list of types has 2-byte elements. 17 to 22 are reserved: known by name, but
// they have neither an encoder nor a message class.
enum class MessageType : std::uint16_t {
    Timecode = 0,
    BasicLens = 1,
    PtpTimestamp = 2,
    ProductBrand = 3,
    ProductName = 4,
    ProductSerial = 5,
    LensProperties = 6,
    PositionalData = 7,
    AxesData = 8,
    TickCount = 9,
    LensManufacturer = 10,
    LensName = 11,
    LensSerial = 12,
    ProjectFps = 13,
    ClipName = 14,
    RawLensEncoderWithMask = 15,
    ZeissZdData = 16,
    IdList = 17,
    FileEnd = 18,
    FileTransferName = 19,
    FileTransferInformation = 20,
    FileTransferData = 21,
    FileTransferMd5 = 22,
    RadioControl = 23,
    ChannelId = 24,
    SensorSize = 25,
    RawAxesEncoderWithMask = 26,
    SubjectId = 27,
};

// The highest type number that exists; receivers treat a larger type byte as an error.
inline constexpr std::uint8_t kLastMessageType = 27;

// The enumerator's name, e.g. "BasicLens" (reserved types too, "IdList"); "Unknown" for a
// value above 27. The text is static.
KOR_API std::string_view Name(MessageType type) noexcept;

// Framing applied by TelemetryData::Encode. Any other value means "the records alone".
enum class TransmissionType : std::uint8_t {
    UDP = 0,     // 8-byte header 00 FF 00 00 00 00 00 00, then the records
    Serial = 1,  // records + complemented 8-bit sum, byte-stuffed, between 0x00 delimiters
};

// One complete camera-and-lens state: what the encoder reads and the decoder fills.
// Strings are byte strings that travel unchanged, with no terminator.
struct TelemetryData {
    // Lens data block carried by ZeissZdData, copied as one unit.
    struct ZeissZdValues {
        std::uint32_t focusDistance = 0;  // lens data's own unit, 24 bits travel
        float aperture = 14.0F;           // stop number
        float horizontalFieldOfView = 0;
        std::int16_t entrancePupilPosition = 0;
        std::array<float, 6> shading{};           // element 0 is never sent
        std::array<float, 6> radialDistortion{};  // element 0 is never sent
    };

    // Block carried by RadioControl, copied as one unit. The library only transports it.
    struct RadioControlValues {
        std::uint32_t radioValue = 0;  // 24 bits travel
        std::uint8_t radioParamA = 0;
        std::uint8_t radioParamB = 0;  // travels as value - 5
        std::uint8_t radioMode = 4;    // 4 selects the short form (no mode, no param C)
        std::uint8_t radioParamC = 0;
    };

    bool focusValid = false;
    bool zoomValid = false;
    bool irisValid = false;
    bool minFocalLengthValid = false;
    bool maxFocalLengthValid = false;
    bool minIrisValid = false;
    bool maxIrisValid = false;
    bool lensPropertiesExtraValid = false;
    bool positionXValid = false;
    bool positionYValid = false;
    bool positionZValid = false;
    bool rollValid = false;
    bool pitchValid = false;
    bool yawValid = false;
    bool rawFocusEncoderValid = false;  // mask bit 0 of RawLensEncoderWithMask
    bool rawZoomEncoderValid = false;   // mask bit 1
    bool rawIrisEncoderValid = false;   // mask bit 2
    bool productInfoComplete = false;   // brand, name and serial all non-empty
    bool lensInfoComplete = false;      // manufacturer, name and serial all non-empty
    bool clipNameReceived = false;
    bool recordFlag = false;  // the camera is recording; bit 7 of the Timecode frames byte

    std::uint8_t timecodeHours = 0;
    std::uint8_t timecodeMinutes = 0;
    std::uint8_t timecodeSeconds = 0;
    std::uint8_t timecodeFrames = 0;

    std::uint32_t focus = 0;  // focus distance, mm
    float zoom = 0;           // focal length, mm
    float iris = 0;           // T-stop

    std::uint64_t ptpSeconds = 0;  // 48 bits travel
    std::uint32_t ptpNanoseconds = 0;

    std::string productBrand;
    std::string productName;
    std::string productSerial;

    std::uint8_t focalRangeFlags = 0;  // set by the decoder: 2 * (min != 0) + (max != 0)
    float minFocalLength = 0;          // mm
    float maxFocalLength = 0;          // mm
    float minIris = 0;                 // T-stop
    float maxIris = 0;                 // T-stop
    std::uint8_t lensPropertiesExtra = 0;  // 0 = absent

    float positionX = 0;  // mm
    float positionY = 0;
    float positionZ = 0;
    float roll = 0;  // degrees
    float pitch = 0;
    float yaw = 0;

    std::uint64_t tickCount = 0;
    std::uint8_t tickCountType = 0;  // 0 seconds, 1 milliseconds, 2 microseconds

    std::string lensManufacturer;
    std::string lensName;
    std::string lensSerial;

    std::uint8_t projectFps = 0;  // 0 none, 1 23.976, 2 24, 3 25, 4 29.97, 5 30
    std::string clipName;

    std::uint16_t rawFocusEncoder = 0;
    std::uint16_t rawZoomEncoder = 0;
    std::uint16_t rawIrisEncoder = 0;

    ZeissZdValues zeissZd;
    RadioControlValues radioControl;

    std::uint8_t channelId = 255;  // 255 = none

    float sensorWidth = 0;  // mm
    float sensorHeight = 0;
    std::uint16_t clipWidth = 0;  // pixels
    std::uint16_t clipHeight = 0;
    std::string sensorName;

    std::array<std::uint32_t, 3> rawAxesEncoders{};  // 24 bits travel; element i = mask bit i
    std::uint32_t subjectId = 0xFFFF;                 // 16 bits travel; 0xFFFF = none

    // Encodes this state as one frame holding one record per listed type, in list order
    // (a type listed twice is sent twice; types without an encoder are skipped).
    //
    // A frame that holds at least one record is always one that Device::Update accepts
    // (a UDP frame without records is the bare 8-byte header, which it does not):
    //  - strings longer than 65 bytes are cut to 65 (the SensorSize name to 56), and a
    //    string record whose string is empty is left out;
    //  - a ProjectFps record with a value above 5 is left out;
    //  - a record that would take the frame past its limit (253 bytes of records for UDP,
    //    253 bytes of records plus the checksum for Serial) is left out, and the records
    //    after it are still tried in order.
    // Any other transmission type gives the records alone, with no size limit.
    // Float fields are converted to integers by truncation toward zero; NaN gives 0 and
    // values beyond the intermediate integer saturate (see the payload notes in the docs).
    //
    //   Kor::Protocol::TelemetryData data;
    //   data.channelId = 7;
    //   auto frame = data.Encode(TransmissionType::UDP, {MessageType::ChannelId});
    //   // frame: 00 FF 00 00 00 00 00 00 18 00 07
    KOR_API std::vector<std::uint8_t> Encode(TransmissionType transmissionType,
                                             std::vector<MessageType> messageTypes) const;
};

}  // namespace Kor::Protocol
