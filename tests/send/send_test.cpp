// kor-send: option parsing, how options land in the model, and a lens file played end to end.
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "lens_file_reader.h"
#include "programs.h"
#include "options.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using MT = Kor::Protocol::MessageType;

// kor-send's options from `line`, split at spaces.
Kor::Tools::Parsed<Kor::Send::Options> Parse(const std::string& line) {
    std::vector<std::string> words{"kor-send"};
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    return Kor::Send::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// Refused while parsing: one line and status 2, naming the problem, for the options'
// syntax and for values only the emulator's tables or the resolver can judge.
TEST(SendOptions, BadOptionsAndValuesAreRefused) {
    kor_test::TempFile file;  // --replay only needs an existing file while parsing
    std::ofstream(file.path) << 'x';
    const std::string replay = "--replay " + file.path;
    // A replay sends the capture as it is, so no option of the emulator's stream applies to
    // it, and --speed and --loop only apply to a replay.
    for (const std::string& line :
         {"--bogus"s, "--to 127.0.0.1"s, "--to 127.0.0.1:0"s, "--to h:70000"s, "--to h:12ab"s,
          "--fps 50"s, "--duration 0"s, "--loss 101"s, "--reorder x"s, "--seed -3"s, "--ttl 256"s,
          "--interface eth0"s, replay + " --rate BasicLens=10", replay + " --record-flag",
          replay + " --loss 5", replay + " --speed 0", "--replay /nonexistent/capture.pcap"s,
          "--speed 2"s, "--loop"s}) {
        const auto parsed = Parse(line);
        EXPECT_FALSE(parsed.settings) << line;
        EXPECT_EQ(parsed.exit.status, 2) << line;
        EXPECT_EQ(parsed.exit.output.find('\n'), std::string::npos) << parsed.exit.output;
        EXPECT_EQ(parsed.exit.output.rfind("kor-send: ", 0), 0U) << parsed.exit.output;
    }
    for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
             {"--rate BasicLens=7", "unknown rate"},
             {"--rate BasicLens", "TYPE=RATE"},
             {"--rate Nope=10", "unknown message type"},
             {"--rate ChannelId=fps", "every packet"},
             {"--rate Timecode=every-packet --rate BasicLens=every-packet", "every packet"},
             {"--disable IdList", "IdList"},
             {"--only BasicLens,Nope", "Nope"},
             {"--ttl 3", "multicast"},  // to the default destination, 127.0.0.1
             {"--to 239.1.2.3:5000 --interface 192.0.2.1", "this machine's interfaces"},
             {"--duration 0", "above 0, not '0'"},
             {"--duration -1", "above 0, not '-1'"},
             {"--seed -3", "whole number from 0"},
             {"--seed 2.5", "whole number from 0"},
             // Ranges as a person writes them, not "0.000000 to 100.000000".
             {"--loss 101", "--loss: needs a number from 0 to 100, not '101'"},
             {"--jitter nan", "--jitter: needs a number from 0 to 10000, not 'nan'"},
             {replay + " --speed 1e9", "--speed: needs a number from 0.001 to 1000, not '1e9'"},
             {"--delay 2.5", "--delay: needs a whole number from 0 to 1000000, not '2.5'"},
             {"--to 239.1.2.3:5000 --interface no-such-host.invalid",
              "--interface: cannot resolve 'no-such-host.invalid'"}}) {
        const auto parsed = Parse(line);
        EXPECT_FALSE(parsed.settings) << line;
        EXPECT_EQ(parsed.exit.status, 2) << line;
        EXPECT_EQ(parsed.exit.output.rfind("kor-send: ", 0), 0U) << parsed.exit.output;
        EXPECT_NE(parsed.exit.output.find(expected), std::string::npos) << parsed.exit.output;
    }
}

// The program itself: a bad option is reported before a socket is opened or a line is
// written to standard output.
TEST(SendProgram, BadOptionsEndBeforeAnythingIsPrinted) {
    for (const std::string line : {"--bogus", "--rate Nope=10", "--fps 50 --duration 1",
                                   "--to 239.1.2.3:5000 --interface 192.0.2.1 --duration 1"}) {
        kor_test::ChildProgram run(KOR_SEND_PATH, line);
        EXPECT_EQ(run.Finish(), 2) << line;
        EXPECT_EQ(run.Out(), "") << line;
        EXPECT_EQ(kor_test::LineCount(run.Err()), 1U) << run.Err();
    }
}

// A duration too long for the clock (more than the centuries it counts) means no end: the
// program sends until it is interrupted, instead of ending at once.
TEST(SendProgram, AnEndlessDurationRunsUntilInterrupted) {
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH,
                               kor_test::To(receiver.port()) + "--only BasicLens --duration 1e300");
    ASSERT_TRUE(receiver.Receive(10s)) << "nothing sent";
    std::this_thread::sleep_for(300ms);
    receiver.ReceiveUntilQuiet(20ms, 1s);  // what was sent meanwhile
    EXPECT_TRUE(receiver.Receive(2s)) << "the program ended before it was interrupted";
    run.Signal(SIGINT);
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_NE(run.Out().find("Stopped by signal"), std::string::npos) << run.Out();
}

TEST(SendOptions, OptionsShapeTheSchedule) {
    const auto parsed = Parse(
        "--to localhost:4000 --serial --delay 25 --fps 29.97 --tick-unit microseconds --only "
        "BasicLens,AxesData,Timecode --rate AxesData=100 --enable ClipName --disable Timecode "
        "--record-flag");
    ASSERT_TRUE(parsed.settings) << parsed.exit.output;
    Kor::Emulator::EmulatorModel model;
    ASSERT_TRUE(Kor::Send::ApplyOptions(*parsed.settings, model).Ok());
    const auto& t = model.transmitter;
    EXPECT_EQ(t.GetDestination().address, "127.0.0.1");
    EXPECT_EQ(t.GetDestination().port, 4000);
    EXPECT_EQ(t.transmissionType, Kor::Protocol::TransmissionType::Serial);
    EXPECT_EQ(t.delayMs.load(), 25);
    EXPECT_EQ(t.liveState.projectFps, 4);
    EXPECT_EQ(t.liveState.tickCountType, 2);
    EXPECT_TRUE(t.liveState.recordFlag);
    EXPECT_EQ(t.schedule[5], (std::vector<MT>{MT::BasicLens}));  // "FPS" at 29.97
    EXPECT_EQ(t.schedule[8], (std::vector<MT>{MT::AxesData}));
    EXPECT_EQ(t.schedule[0], (std::vector<MT>{MT::ClipName}));
    EXPECT_EQ(Parse("--broadcast").settings.value().host, "255.255.255.255");
    // A host name where an address is expected becomes the address it stands for.
    EXPECT_EQ(Parse("--to 239.1.2.3:5000 --interface localhost").settings.value().interface,
              "127.0.0.1");
}

// A lens file in `path`: a clip of `frames` frames at 30 fps, and `faulty` lines that do not
// fit its table.
void WriteClip(const std::string& path, int frames, int faulty = 0) {
    std::ofstream file(path);
    file << "HEADER_START\ntcFps:=30\nclipDurationFrames:=" << frames - 1 << "\nHEADER_END\n"
         << "frame;tc;focusDistance\n";
    for (int n = 0; n < frames; ++n) {
        file << n << ";10:00:00." << n << ";" << 200 + n << "\n";
    }
    for (int n = 0; n < faulty; ++n) {
        file << "not;a;frame;line\n";
    }
}

// The engine's own lines, which kor-send shows only with --verbose.
const std::vector<std::string> kEngineLines{"Creating socket...",  "Binding to source port",
                                            "Done reading",        "StartZeiss()",
                                            "Closing UDP socket!", "Frame data incorrect format"};

// A lens file is played, one Timecode frame per file frame, and the program ends by itself
// when the clip has ended. What playback sends is checked by the lens file tests. Standard
// output holds the program's own report only: no line of the engine's.
TEST(SendProgram, PlaysALensFileAndEndsWithIt) {
    kor_test::TempFile path(".zlcf");
    WriteClip(path.path, 10, 1);
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH,
                               "--lens-file " + path.path + kor_test::To(receiver.port()));
    const auto datagrams = receiver.ReceiveUntilQuiet(1500ms, 10s);
    EXPECT_EQ(run.Finish(), 0) << run.Err();
    // The 1 Hz stream of identity strings has no Timecode.
    EXPECT_EQ(std::count_if(datagrams.begin(), datagrams.end(),
                            [](const kor_test::Datagram& d) {
                                const auto types = kor_test::RecordTypes(d.bytes);
                                return std::find(types.begin(), types.end(), MT::Timecode) !=
                                       types.end();
                            }),
              10);
    EXPECT_EQ(run.Out().rfind("Sending to 127.0.0.1:", 0), 0U) << run.Out();
    EXPECT_NE(run.Out().find("Lens file frames sent: 10 (1 faulty line of the file skipped; "
                             "--verbose shows them)\n"),
              std::string::npos)
        << run.Out();
    EXPECT_EQ(run.Err(), "");
    for (const std::string& line : kEngineLines) {
        EXPECT_EQ(run.Out().find(line), std::string::npos) << line << " in\n" << run.Out();
    }
}

// --verbose adds the engine's lines, in the order the engine writes them: the socket's
// opening, the file read, the playback's start, the socket's closing last; the faulty line on
// standard error.
TEST(SendProgram, VerboseShowsTheEnginesLines) {
    kor_test::TempFile path(".zlcf");
    WriteClip(path.path, 3, 1);
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(
        KOR_SEND_PATH, "--verbose --lens-file " + path.path + kor_test::To(receiver.port()));
    EXPECT_EQ(run.Finish(), 0) << run.Err();
    std::size_t at = 0;
    for (const std::string& line :
         {"Creating socket...\n"s, "Binding to source port  0 ...\n"s,
          "Done reading 3 frames from " + path.path + "\n", "Sending to "s,
          "StartZeiss() threads started\n"s, "Lens file frames sent: 3"s}) {
        at = run.Out().find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " not in order in\n" << run.Out();
    }
    EXPECT_EQ(run.Out().substr(run.Out().size() - 20), "Closing UDP socket!\n") << run.Out();
    EXPECT_EQ(run.Err(), "Frame data incorrect format: not;a;frame;line\n");
}

// A lens file without a frame record is refused in one line with status 1, before anything
// is sent or printed; nothing of the engine's shows without --verbose.
TEST(SendProgram, ALensFileWithoutFramesIsRefusedInOneLine) {
    kor_test::TempFile path(".zlcf");
    WriteClip(path.path, 0);
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH,
                               "--lens-file " + path.path + kor_test::To(receiver.port()));
    EXPECT_EQ(run.Finish(), 1);
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.Err(),
              "kor-send: cannot play the lens file " + path.path + ": it holds no frame record\n");
    EXPECT_FALSE(receiver.Receive(200ms)) << "a datagram was sent";
}

// Files are opened and reported by their full names, whatever their script: a lens file in
// a folder named in Cyrillic and Japanese plays (on Windows the name comes through the wide
// command line), and a missing one is named as given.
TEST(SendProgram, PlaysALensFileWhoseNameIsNotAscii) {
    const kor_test::UnicodeFolder folder;
    const std::string path = folder.path + "/дубль 1.zlcf";
    {
        std::ofstream file(kor_test::UnicodeFolder::Native(path));
        file << "HEADER_START\ntcFps:=30\nclipDurationFrames:=2\nHEADER_END\n"
             << "frame;tc;focusDistance\n0;10:00:00.0;200\n1;10:00:00.1;201\n2;10:00:00.2;202\n";
    }
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH, "--verbose --lens-file " + kor_test::Quoted(path) +
                                                  kor_test::To(receiver.port()));
    EXPECT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_NE(run.Out().find("Done reading 3 frames from " + path + "\n"), std::string::npos)
        << run.Out();
    EXPECT_NE(run.Out().find("Lens file frames sent: 3\n"), std::string::npos) << run.Out();

    const std::string missing = folder.path + "/дубль 2.zlcf";
    kor_test::ChildProgram refused(KOR_SEND_PATH, "--lens-file " + kor_test::Quoted(missing));
    EXPECT_EQ(refused.Finish(), 2);
    EXPECT_EQ(refused.Err(), "kor-send: --lens-file: no file " + missing + "\n");
}

// The sample file of the repository (emulator/lensfile/sample.zlcf), played by kor-send to a
// loopback receiver: one ZeissZdData frame per file frame, each carrying the timecode, focus
// and lens values of its line as they travel, and the header's names and frame rate.
TEST(SendProgram, PlaysTheSampleLensFileWithItsValues) {
    Kor::Protocol::TelemetryData header;
    std::vector<Kor::Protocol::TelemetryData> records;
    std::vector<std::int32_t> numbers;
    std::int32_t clipLength = -1;
    const std::unordered_map<std::string, int> rates{
        {"23.98", 1}, {"24", 2}, {"25", 3}, {"29.97", 4}, {"30", 5}};
    Kor::LensFile::LensFileTarget sample{header, records, numbers, clipLength, rates};
    std::ifstream file(KOR_SAMPLE_LENS_FILE, std::ios::binary);
    std::ostringstream faults;
    Kor::LensFile::ReadLensFile(file, sample, faults);
    EXPECT_EQ(faults.str(), "");  // the sample has no faulty line
    ASSERT_EQ(records.size(), 10U);
    ASSERT_EQ(clipLength, 9);

    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH, std::string("--lens-file ") + KOR_SAMPLE_LENS_FILE +
                                                  kor_test::To(receiver.port()));
    const auto datagrams = receiver.ReceiveUntilQuiet(1500ms, 10s);
    ASSERT_EQ(run.Finish(), 0) << run.Err();

    Kor::Protocol::Device device;
    std::size_t frame = 0;
    for (const kor_test::Datagram& d : datagrams) {
        ASSERT_LE(device.Update(d.bytes), Kor::Protocol::FrameStatus::SameTimecode);
        const auto types = kor_test::RecordTypes(d.bytes);
        if (std::find(types.begin(), types.end(), MT::ZeissZdData) == types.end()) {
            continue;  // the 1 Hz identity strings
        }
        ASSERT_LT(frame, records.size());
        SCOPED_TRACE(frame);
        const Kor::Protocol::TelemetryData& got = *device.GetCurrentState();
        const Kor::Protocol::TelemetryData& line = records[frame];
        // The line's lens values as they travel in a ZeissZdData record.
        Kor::Protocol::Device expectedDevice;
        expectedDevice.Update(line.Encode(Kor::Protocol::TransmissionType::UDP, {MT::ZeissZdData}));
        const auto& sent = expectedDevice.GetCurrentState()->zeissZd;
        EXPECT_EQ(got.zeissZd.focusDistance, line.zeissZd.focusDistance);
        EXPECT_EQ(got.zeissZd.aperture, sent.aperture);
        EXPECT_EQ(got.zeissZd.horizontalFieldOfView, sent.horizontalFieldOfView);
        EXPECT_EQ(got.zeissZd.entrancePupilPosition, sent.entrancePupilPosition);
        EXPECT_EQ(got.zeissZd.shading, sent.shading);
        EXPECT_EQ(got.zeissZd.radialDistortion, sent.radialDistortion);
        EXPECT_EQ(got.focus, line.zeissZd.focusDistance * 10U);
        EXPECT_EQ((std::array<int, 4>{got.timecodeHours, got.timecodeMinutes, got.timecodeSeconds,
                                      got.timecodeFrames}),
                  (std::array<int, 4>{10, 0, 0, static_cast<int>(frame)}));
        EXPECT_EQ(got.projectFps, 3);  // "25"
        ++frame;
    }
    EXPECT_EQ(frame, records.size());
    // Sent at 1 Hz from the start of the playback.
    const Kor::Protocol::TelemetryData& state = *device.GetCurrentState();
    EXPECT_EQ(state.clipName, "Sample take 1");
    EXPECT_EQ(state.lensManufacturer, "Example Optics");
    EXPECT_EQ(state.lensSerial, "EX-0042");
    // A few values of the sample itself, so that an edit of it is seen here.
    EXPECT_EQ(records[0].zeissZd.focusDistance, 100U);
    EXPECT_FLOAT_EQ(records[0].zeissZd.aperture, 2.8F);
    EXPECT_EQ(records[9].zeissZd.focusDistance, 280U);
}

}  // namespace
