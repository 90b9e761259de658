// The emulator's default 24 Hz frame, shared by the encoder and decoder benchmarks.
#pragma once

#include <vector>

#include <kor/telemetry.h>

namespace kor_bench {

// The message types of the default 24 Hz frame, in the order they are sent.
inline std::vector<Kor::Protocol::MessageType> DefaultFrameTypes() {
    using Kor::Protocol::MessageType;
    return {MessageType::ProjectFps,   MessageType::BasicLens,     MessageType::RawLensEncoderWithMask,
            MessageType::LensProperties, MessageType::PositionalData, MessageType::AxesData,
            MessageType::ZeissZdData,  MessageType::SubjectId,     MessageType::ChannelId,
            MessageType::Timecode,     MessageType::PtpTimestamp,  MessageType::TickCount};
}

// A state with every field of those types set to a plausible, non-default value.
inline Kor::Protocol::TelemetryData DefaultFrameState() {
    Kor::Protocol::TelemetryData d;
    d.projectFps = 2;
    d.focus = 1500;
    d.zoom = 35.0F;
    d.iris = 2.8F;
    d.rawFocusEncoderValid = d.rawZoomEncoderValid = d.rawIrisEncoderValid = true;
    d.rawFocusEncoder = 12000;
    d.rawZoomEncoder = 30000;
    d.rawIrisEncoder = 5000;
    d.minFocalLength = 24.0F;
    d.maxFocalLength = 70.0F;
    d.minIris = 2.8F;
    d.maxIris = 22.0F;
    d.positionX = 1234.5F;
    d.positionY = -250.25F;
    d.positionZ = 1800.0F;
    d.roll = 1.5F;
    d.pitch = -12.25F;
    d.yaw = 90.0F;
    d.zeissZd.focusDistance = 150;
    d.zeissZd.aperture = 2.8F;
    d.zeissZd.horizontalFieldOfView = 54.4F;
    d.zeissZd.entrancePupilPosition = -42;
    d.zeissZd.shading = {0, 10, 20, 30, 40, 50};
    d.zeissZd.radialDistortion = {0, 0.5F, -0.25F, 1.0F, -1.5F, 2.0F};
    d.subjectId = 3;
    d.channelId = 1;
    d.timecodeHours = 13;
    d.timecodeMinutes = 45;
    d.timecodeSeconds = 7;
    d.timecodeFrames = 23;
    d.ptpSeconds = 1'765'000'000;
    d.ptpNanoseconds = 999'000'000;
    d.tickCount = 123'456'789;
    d.tickCountType = 1;
    return d;
}

}  // namespace kor_bench
