// kor-bridge's command line: parsed and checked before anything is opened.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <kor/telemetry.h>

#include "command_line.h"
#include "destination.h"
#include "freed_convert.h"
#include "otrk.h"

namespace Kor::Bridge {

using Tools::Endpoint;

// What the bridge receives.
enum class BridgeInput {
    Kor,        // Kor frames on --port, to OpenTrackIO and FreeD
    Freed,      // FreeD packets on --from-freed, to Kor
    OpenTrack,  // OpenTrackIO packets on --from-opentrackio, to Kor
};

// How long each output holds its datagrams back, in milliseconds (0: not at all).
struct OutputDelays {
    double openTrack = 0;
    double freed = 0;
    double kor = 0;
};

// The most --delay-ms takes: ten seconds of video is far more than any pipeline buffers.
inline constexpr double kMaxDelayMs = 10000;

// The settings of a run, every host resolved.
struct BridgeOptions {
    BridgeInput input = BridgeInput::Kor;
    std::uint16_t port = 33322;
    std::string bind = "0.0.0.0";
    std::optional<std::string> join;       // multicast group to receive from
    std::optional<std::string> interface;  // for the group and for multicast output
    std::optional<int> ttl;                // hops of multicast output
    // Kor in: the outputs, each source its own OpenTrackIO source and FreeD camera.
    std::optional<Endpoint> openTrack;  // the first source's (all sources' when given)
    bool openTrackPerSource = false;    // the default: source number N to 239.135.1.N:55555
    OtrkEncoding encoding = OtrkEncoding::Json;
    std::uint32_t sourceNumber = 1;  // OpenTrackIO out: its number; in: the only one taken
    bool sourceNumberGiven = false;
    std::map<std::uint32_t, std::uint32_t> sourceMap;  // subject -> pinned source number
    std::string label;        // static.camera.label; empty: the product name and serial
    double serialWait = 1.1;  // seconds the first samples wait for the camera serial
    std::optional<Endpoint> freed;
    std::uint8_t cameraId = 1;                         // the first source's
    std::map<std::uint32_t, std::uint32_t> cameraMap;  // subject -> pinned camera ID
    FreedLens freedLens = FreedLens::Physical;
    // FreeD or OpenTrackIO in: the Kor output.
    std::optional<Endpoint> to;
    Protocol::TransmissionType framing = Protocol::TransmissionType::UDP;
    std::uint8_t projectFps = 0;  // FreeD in; 0: no ProjectFps record
    OutputDelays delay;
    // Ending.
    std::uint64_t count = 0;  // received datagrams; 0: no limit
    double duration = 0;      // seconds; 0: no limit
    bool verbose = false;     // the engine socket's own lines too
};

// Parses and checks argv: help, or any bad option, value or combination as one line with
// status 2. Host names are resolved here, so that a bad destination is refused before any
// socket is opened.
Tools::Parsed<BridgeOptions> ParseCommandLine(int argc, const char* const* argv);

}  // namespace Kor::Bridge
