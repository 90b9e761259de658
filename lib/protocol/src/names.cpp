// Names of message types and frame statuses, spelled as their enumerators.
#include <array>
#include <cstddef>
#include <string_view>

#include <kor/device.h>
#include <kor/telemetry.h>

namespace Kor::Protocol {
namespace {

constexpr std::string_view kUnknown = "Unknown";

constexpr std::array<std::string_view, kLastMessageType + 1> kMessageTypeNames{
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

constexpr std::array<std::string_view, 10> kFrameStatusNames{
    "NewTimecode",    "SameTimecode",   "Incomplete",      "ChecksumError", "FramingError",
    "PayloadTooLong", "BadMessageType", "MessageRejected", "LengthError",   "HeaderError",
};
static_assert(static_cast<std::size_t>(FrameStatus::HeaderError) + 1 == kFrameStatusNames.size());

}  // namespace

std::string_view Name(MessageType type) noexcept {
    const auto index = static_cast<std::size_t>(type);
    return index < kMessageTypeNames.size() ? kMessageTypeNames[index] : kUnknown;
}

std::string_view Name(FrameStatus status) noexcept {
    // FrameStatus is int-based: a value cast from a negative number is out of range too.
    const auto value = static_cast<int>(status);
    return value >= 0 && static_cast<std::size_t>(value) < kFrameStatusNames.size()
               ? kFrameStatusNames[static_cast<std::size_t>(value)]
               : kUnknown;
}

}  // namespace Kor::Protocol
