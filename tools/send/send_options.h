// kor-send's options: parsed from the command line and applied to an EmulatorModel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator_model.h"
#include "faults.h"

namespace Kor::Send {

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 33322;
    bool serial = false;
    std::int32_t delayMs = 0;
    std::optional<std::string> fps;        // "23.98", "24", "25", "29.97", "30"
    std::optional<std::string> tickUnit;   // "seconds", "milliseconds", "microseconds"
    std::vector<std::string> rates;        // "TYPE=RATE"
    std::vector<std::string> disabled;     // type names
    std::vector<std::string> enabled;      // type names
    std::vector<std::string> only;         // type names
    bool recordFlag = false;
    bool simulate = false;
    std::optional<double> durationSeconds;
    std::optional<std::string> lensFile;  // play this lens correction file
    std::optional<std::string> replayFile;  // send the UDP datagrams of this pcap capture
    double speed = 1;                       // replay speed factor
    bool loop = false;                      // replay the capture over and over
    FaultSettings faults;                   // --jitter, --loss, ... and --seed
    std::optional<int> ttl;                 // multicast hops
    std::optional<std::string> interface;   // multicast source interface (IPv4 address)
    bool broadcast = false;                 // allow a broadcast destination
    bool verbose = false;                   // show the engine's lines too
};

// The outcome of parsing: options, or an exit status with what to print.
struct ParseResult {
    std::optional<Options> options;
    int exitStatus = 0;
    std::string output;  // help text (exit 0) or a one-line error (exit 2)
};

// Parses argv. Help gives exit status 0 and the help text; any bad option, value or
// combination gives exit status 2 and one line naming the problem.
ParseResult ParseCommandLine(int argc, const char* const* argv);

// Applies parsed options to a freshly built model (with transmitter.modelMutex held) and
// rebuilds its schedule; sets the socket options a multicast or broadcast destination
// needs and installs the fault filter when a fault option is given. Returns an error text
// for values the model cannot take, such as a rate a message type may not have, or for a
// socket option the system refuses; empty on success.
std::string ApplyOptions(const Options& options, Emulator::EmulatorModel& model);

// The message type with this display name ("BasicLens", ...), if the emulator sends it.
std::optional<Protocol::MessageType> FindMessageType(const std::string& name);

// The rate choice (0..10) of a rate label: 1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps,
// every-packet.
std::optional<std::int32_t> FindRateChoice(const std::string& label);

}  // namespace Kor::Send
