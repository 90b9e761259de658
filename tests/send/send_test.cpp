// kor-send: option parsing, how options land in the model, and the program end to end.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "programs.h"
#include "send_options.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::MessageType;
using MT = MessageType;

Kor::Send::ParseResult Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "kor-send");
    return Kor::Send::ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(SendOptions, BadOptionsGiveOneLineAndStatusTwo) {
    const std::vector<std::vector<const char*>> bad{
        {"--bogus"},          {"--to", "127.0.0.1"},     {"--to", "127.0.0.1:0"},
        {"--to", "h:70000"},  {"--to", "h:12ab"},        {"--fps", "50"},
        {"--tick-unit", "ns"}, {"--delay", "-5"},        {"--duration", "0"},
        {"--duration", "x"},
    };
    for (const auto& args : bad) {
        const auto result = Parse(args);
        EXPECT_FALSE(result.options) << args[0];
        EXPECT_EQ(result.exitStatus, 2) << args[0];
        EXPECT_EQ(result.output.find('\n'), std::string::npos) << result.output;
        EXPECT_EQ(result.output.rfind("kor-send: ", 0), 0U) << result.output;
    }
    const auto help = Parse({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.output.find("--rate"), std::string::npos);
}

TEST(SendOptions, ValuesTheModelCannotTakeAreRefused) {
    const std::vector<std::vector<const char*>> refused{
        {"--rate", "BasicLens=7"},        {"--rate", "BasicLens"},
        {"--rate", "Nope=10"},            {"--rate", "ChannelId=fps"},
        {"--rate", "BasicLens=every-packet"}, {"--disable", "IdList"},
        {"--only", "BasicLens,Unknown"},
    };
    for (const auto& args : refused) {
        const auto parsed = Parse(args);
        ASSERT_TRUE(parsed.options) << args[1];
        Kor::Emulator::EmulatorModel model;
        EXPECT_FALSE(Kor::Send::ApplyOptions(*parsed.options, model).empty()) << args[1];
    }
}

TEST(SendOptions, OptionsShapeTheSchedule) {
    const auto parsed = Parse({"--to", "localhost:4000", "--serial", "--delay", "25", "--fps",
                               "29.97", "--tick-unit", "microseconds", "--only",
                               "BasicLens,AxesData,Timecode", "--rate", "AxesData=100",
                               "--enable", "ClipName", "--disable", "Timecode", "--record-flag"});
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
}

// The program itself: the default stream for a second, then a summary and status 0.
TEST(SendProgram, SendsTheDefaultStreamForTheDuration) {
    kor_test::LoopbackReceiver receiver;
    const std::string command = std::string(KOR_SEND_PATH) + " --duration 1.5 --to 127.0.0.1:" +
                                std::to_string(receiver.port()) + " 2>&1";
    std::string output;
    std::thread runner([&] {
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        const int status = ::pclose(pipe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    });
    auto datagrams = receiver.ReceiveFor(2500ms);
    runner.join();
    // A start delayed by a loaded machine: what came after the window is queued by now.
    for (auto& late : receiver.ReceiveUntilQuiet(200ms, 10s)) {
        datagrams.push_back(std::move(late));
    }

    int slow = 0;
    int fps = 0;
    Kor::Protocol::Device device;
    for (const auto& d : datagrams) {
        const auto status = device.Update(d.bytes);
        EXPECT_LE(status, Kor::Protocol::FrameStatus::SameTimecode);
        const auto types = kor_test::RecordTypes(d.bytes);
        ASSERT_FALSE(types.empty());
        (types.front() == MT::ClipName ? slow : fps) += 1;
    }
    EXPECT_GE(slow, 1);
    EXPECT_LE(slow, 3);
    EXPECT_GE(fps, 20);
    EXPECT_LE(fps, 40);
    EXPECT_NE(output.find("Creating socket..."), std::string::npos);
    EXPECT_NE(output.find("datagrams sent: " + std::to_string(datagrams.size())),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Closing UDP socket!"), std::string::npos);
}

// A lens file plays at its rate and the program ends by itself when the clip has ended.
TEST(SendProgram, PlaysALensFileAndEndsWithIt) {
    const std::string path = ::testing::TempDir() + "kor-send-clip.zlcf";
    {
        std::ofstream file(path);
        file << "HEADER_START\ntcFps:=30\nclipDurationFrames:=9\nHEADER_END\n"
             << "frame;tc;focusDistance\n";
        for (int n = 0; n < 10; ++n) {
            file << n << ";10:00:00." << n << ";" << 200 + n << "\n";
        }
    }
    kor_test::LoopbackReceiver receiver;
    kor_test::SendRun run("--lens-file " + path, receiver.port());
    const auto datagrams = receiver.ReceiveUntilQuiet(1500ms, 10s);
    const std::string& output = run.Finish();
    EXPECT_TRUE(run.ExitedWithZero()) << output;
    EXPECT_NE(output.find("Done reading 10 frames from " + path), std::string::npos) << output;
    EXPECT_NE(output.find("Lens file frames sent: 10"), std::string::npos) << output;

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
    std::remove(path.c_str());
}

}  // namespace
