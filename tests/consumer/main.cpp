// Uses the installed KorLib through its umbrella header only; exits non-zero on a fault.
#include <kor/kor.h>

#include <cstdio>
#include <string>
#include <vector>

int main() {
    const Kor::Version version = Kor::GetDllVersion();
    if (version.major != KORLIB_VERSION_MAJOR || version.minor != KORLIB_VERSION_MINOR) {
        std::printf("library version %u.%u does not match the headers\n",
                    unsigned{version.major}, unsigned{version.minor});
        return 1;
    }

    Kor::Protocol::TelemetryData data;
    data.channelId = 7;
    const std::vector<std::uint8_t> frame =
        data.Encode(Kor::Protocol::TransmissionType::UDP, {Kor::Protocol::MessageType::ChannelId});
    const std::vector<std::uint8_t> expected{0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                             0x00, 0x00, 0x18, 0x00, 0x07};
    if (frame != expected) {
        std::printf("unexpected frame of %zu bytes\n", frame.size());
        return 1;
    }
    // The frame reports and names, from the headers as a C++17 program sees them.
    Kor::Protocol::Device device;
    std::string seen;
    const Kor::Protocol::FrameStatus status =
        device.Update(frame.data(), frame.size(), [&](const Kor::Protocol::FrameReport& report) {
            seen += std::string(Kor::Protocol::Name(report.status));
            for (Kor::Protocol::MessageType type : report.messages) {
                seen += ' ' + std::string(Kor::Protocol::Name(type));
            }
        });
    if (status != Kor::Protocol::FrameStatus::SameTimecode || seen != "SameTimecode ChannelId") {
        std::printf("unexpected report \"%s\"\n", seen.c_str());
        return 1;
    }
    std::printf("KorLib %u.%u.%u encodes and decodes\n", unsigned{version.major}, unsigned{version.minor},
                unsigned{version.patch});
    return 0;
}
