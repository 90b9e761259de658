// Display names of message types and frame statuses.
#include "names.h"

#include <array>

namespace KorMonitor {

namespace {

constexpr std::array<std::string_view, kMessageTypeCount> kMessageTypeNames{
    "Timecode",
    "BasicLens",
    "PtpTimestamp",
    "ProductBrand",
    "ProductName",
    "ProductSerial",
    "LensProperties",
    "PositionalData",
    "AxesData",
    "TickCount",
    "LensManufacturer",
    "LensName",
    "LensSerial",
    "ProjectFps",
    "ClipName",
    "RawLensEncoderWithMask",
    "ZeissZdData",
    "IdList",
    "FileEnd",
    "FileTransferName",
    "FileTransferInformation",
    "FileTransferData",
    "FileTransferMd5",
    "RadioControl",
    "ChannelId",
    "SensorSize",
    "RawAxesEncoderWithMask",
    "SubjectId",
};

constexpr std::array<std::string_view, kFrameStatusCount> kFrameStatusNames{
    "NewTimecode",    "SameTimecode",   "Incomplete",      "ChecksumError", "FramingError",
    "PayloadTooLong", "BadMessageType", "MessageRejected", "LengthError",   "HeaderError",
};

}  // namespace

std::string_view MessageTypeName(Kor::Protocol::MessageType type) {
    const auto index = static_cast<std::size_t>(type);
    return index < kMessageTypeNames.size() ? kMessageTypeNames[index] : "Unknown";
}

std::string_view FrameStatusName(Kor::Protocol::FrameStatus status) {
    const auto index = static_cast<std::size_t>(status);
    return index < kFrameStatusNames.size() ? kFrameStatusNames[index] : "Unknown";
}

}  // namespace KorMonitor
