// kor-send's options: parsed and checked once into resolved settings, then given to an
// EmulatorModel as its sender settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "checked.h"
#include "command_line.h"
#include "emulator_model.h"
#include "faults.h"
#include "state_fields.h"

namespace Kor::Send {

// The most cameras one kor-send stands in for.
inline constexpr int kMostCameras = 32;

// The longest product serial the record carries (the encoder cuts a longer one).
inline constexpr std::size_t kLongestSerial = 65;

// How far each camera's value simulation runs ahead of the one before (steps of 10 ms).
inline constexpr int kSimulationPhaseSteps = 100;

struct Options {
    std::string host = "127.0.0.1";  // the (first) destination, resolved to a dotted IPv4 address
    std::uint16_t port = 33322;
    // The destinations of further --to options: every frame goes to each.
    std::vector<Engine::Destination> furtherDestinations;
    int cameras = 1;  // emulated cameras, each with its own engine and source port
    // --state's fields, then each --set, in order.
    std::vector<FieldSetting> fields;
    bool serial = false;
    std::int32_t delayMs = 0;
    std::optional<std::uint8_t> projectFps;     // code 1 to 5
    std::optional<std::uint8_t> tickCountType;  // 0 seconds, 1 milliseconds, 2 microseconds
    // The message types: --only (all others off), then --enable, then --disable, then the
    // rate choices of --rate, in order.
    std::vector<Protocol::MessageType> only;
    std::vector<Protocol::MessageType> enabled;
    std::vector<Protocol::MessageType> disabled;
    std::vector<std::pair<Protocol::MessageType, std::int32_t>> rates;
    bool recordFlag = false;
    bool simulate = false;
    std::optional<double> durationSeconds;
    std::optional<std::string> lensFile;    // play this lens correction file
    std::optional<std::string> replayFile;  // send the UDP datagrams of this pcap capture
    double speed = 1;                       // replay speed factor
    bool loop = false;                      // replay the capture over and over
    FaultSettings faults;                   // --jitter, --loss, ... and --seed
    std::optional<int> ttl;                 // multicast hops
    std::optional<std::string> interface;   // multicast source interface (IPv4 address)
    bool broadcast = false;                 // allow a broadcast destination
    bool verbose = false;                   // show the engine's lines too
};

// Parses and checks argv, resolving the destination: help (status 0), or any bad option,
// value or combination as one line with status 2, before anything is opened or printed
// (among them, with --cameras N above 1, a product serial with no room left for "-N").
Tools::Parsed<Options> ParseCommandLine(int argc, const char* const* argv);

// `base` (a model's sender settings) with the destination, framing, delay, frame rate, tick
// unit, record flag and message types and rates of `options`.
Engine::SenderSettings SenderSettingsOf(const Options& options, Engine::SenderSettings base);

// Every destination, the first one first.
std::vector<Engine::Destination> DestinationsOf(const Options& options);

// Gives parsed options to a freshly built model (with transmitter.modelMutex held) as camera
// `camera` (1 to options.cameras): the fields of --state and --set, its sender settings,
// the socket options a multicast or broadcast destination needs, and the fault filter when
// a fault option is given. With more than one camera, camera k sends subject k and the
// product serial with "-k" appended, its faults are decided from seed + k - 1, and with
// --simulate its simulation starts k - 1 phases (kSimulationPhaseSteps) ahead. Refused
// when the fields do not fit together or the system refuses a socket option.
Checked ApplyOptions(const Options& options, Emulator::EmulatorModel& model, int camera = 1);

// The message type with this name ("BasicLens", ...), if the emulator sends it.
std::optional<Protocol::MessageType> FindMessageType(const std::string& name);

// The rate choice (0..10) of a rate label: 1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps,
// every-packet.
std::optional<std::int32_t> FindRateChoice(const std::string& label);

}  // namespace Kor::Send
