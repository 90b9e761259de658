// kor-send: option parsing, how options land in the model, and a lens file played end to end.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "programs.h"
#include "send_options.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Kor::Protocol::MessageType;
using MT = MessageType;

// kor-send's options from `line`, split at spaces.
Kor::Send::ParseResult Parse(const std::string& line) {
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

TEST(SendOptions, BadOptionsGiveOneLineAndStatusTwo) {
    // --replay only needs an existing file while the options are parsed.
    kor_test::TempFile file;
    file.Write({1});
    const std::string replay = "--replay " + file.path;
    // The last seven: a replay sends the capture as it is, so no option of the emulator's
    // stream applies to it, and --speed and --loop only apply to a replay.
    for (const std::string& line :
         {"--bogus"s, "--to 127.0.0.1"s, "--to 127.0.0.1:0"s, "--to h:70000"s, "--to h:12ab"s,
          "--fps 50"s, "--duration 0"s, "--loss 101"s, "--reorder x"s, "--seed -3"s, "--ttl 256"s,
          "--interface eth0"s, replay + " --rate BasicLens=10", replay + " --record-flag",
          replay + " --loss 5", replay + " --speed 0", "--replay /nonexistent/capture.pcap"s,
          "--speed 2"s, "--loop"s}) {
        const auto result = Parse(line);
        EXPECT_FALSE(result.options) << line;
        EXPECT_EQ(result.exitStatus, 2) << line;
        EXPECT_EQ(result.output.find('\n'), std::string::npos) << result.output;
        EXPECT_EQ(result.output.rfind("kor-send: ", 0), 0U) << result.output;
    }
    const auto help = Parse("--help");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.output.find("--rate"), std::string::npos);
}

TEST(SendOptions, ValuesTheModelCannotTakeAreRefused) {
    const std::vector<std::pair<std::string, std::string>> refused{
        {"--rate BasicLens=7", "unknown rate"},
        {"--rate BasicLens", "TYPE=RATE"},
        {"--rate Nope=10", "unknown message type"},
        {"--rate ChannelId=fps", "every packet"},
        {"--disable IdList", "IdList"},
        {"--ttl 3", "multicast"},  // to the default destination, 127.0.0.1
    };
    for (const auto& [line, expected] : refused) {
        const auto parsed = Parse(line);
        ASSERT_TRUE(parsed.options) << line;
        Kor::Emulator::EmulatorModel model;
        EXPECT_NE(Kor::Send::ApplyOptions(*parsed.options, model).find(expected), std::string::npos)
            << line;
    }
}

TEST(SendOptions, OptionsShapeTheSchedule) {
    const auto parsed = Parse(
        "--to localhost:4000 --serial --delay 25 --fps 29.97 --tick-unit microseconds --only "
        "BasicLens,AxesData,Timecode --rate AxesData=100 --enable ClipName --disable Timecode "
        "--record-flag");
    ASSERT_TRUE(parsed.options) << parsed.output;
    Kor::Emulator::EmulatorModel model;
    ASSERT_EQ(Kor::Send::ApplyOptions(*parsed.options, model), "");
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

    // --broadcast alone sends to the broadcast address.
    const auto broadcast = Parse("--broadcast");
    ASSERT_TRUE(broadcast.options);
    EXPECT_EQ(broadcast.options->host, "255.255.255.255");
    EXPECT_EQ(broadcast.options->port, 33322);
}

// A lens file plays at its rate and the program ends by itself when the clip has ended.
TEST(SendProgram, PlaysALensFileAndEndsWithIt) {
    kor_test::TempFile path(".zlcf");
    {
        std::ofstream file(path.path);
        file << "HEADER_START\ntcFps:=30\nclipDurationFrames:=9\nHEADER_END\n"
             << "frame;tc;focusDistance\n";
        for (int n = 0; n < 10; ++n) {
            file << n << ";10:00:00." << n << ";" << 200 + n << "\n";
        }
    }
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH,
                               "--lens-file " + path.path + kor_test::To(receiver.port()));
    const auto datagrams = receiver.ReceiveUntilQuiet(1500ms, 10s);
    EXPECT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_NE(run.Out().find("Lens file frames sent: 10"), std::string::npos) << run.Out();

    // Playback frames carry the file's timecode and its focus distance x 10 as focus.
    std::vector<std::uint32_t> focus;
    for (const auto& d : datagrams) {
        // The 1 Hz stream of identity strings has no Timecode: the playback forces it to
        // the file's rate.
        const auto types = kor_test::RecordTypes(d.bytes);
        if (std::find(types.begin(), types.end(), MT::Timecode) == types.end()) {
            continue;
        }
        Kor::Protocol::Device device;
        ASSERT_LE(device.Update(d.bytes), Kor::Protocol::FrameStatus::SameTimecode);
        focus.push_back(device.GetCurrentState()->focus);
    }
    ASSERT_EQ(focus.size(), 10U);
    for (std::uint32_t n = 0; n < 10; ++n) {
        EXPECT_EQ(focus[n], (200 + n) * 10);
    }
}

}  // namespace
