// kor-send: option parsing, how options land in the model, and the program end to end.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
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
    const auto datagrams = receiver.ReceiveFor(2500ms);
    runner.join();

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

}  // namespace
