// The tools' shared parts: one-line errors, the parse's early exits, HOST:PORT and host
// names with their messages, the run timer's waits, and the sender settings a model shows.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "command_line.h"
#include "destination.h"
#include "emulator_model.h"
#include "ipv4.h"
#include "run_timer.h"

namespace {

using namespace std::chrono_literals;
using Kor::Checked;

TEST(ToolsCommandLine, EveryErrorIsOneLineAndHelpGoesOutWhole) {
    EXPECT_EQ(Kor::Tools::ErrorLine("kor-x", "first\nsecond\n"), "kor-x: first second ");
    int value = 0;
    CLI::App app{"Test.", "kor-x"};
    app.add_option("--value", value)->required();
    const std::vector<const char*> bad{"kor-x", "--bogus"};
    const auto refused = Kor::Tools::ParseArguments(app, 2, bad.data());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 2);
    EXPECT_EQ(refused->output.rfind("kor-x: ", 0), 0U) << refused->output;
    EXPECT_EQ(refused->output.find('\n'), std::string::npos) << refused->output;
    const std::vector<const char*> help{"kor-x", "--help"};
    const auto shown = Kor::Tools::ParseArguments(app, 2, help.data());
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->status, 0);
    EXPECT_NE(shown->output.find("--value"), std::string::npos);
    const std::vector<const char*> good{"kor-x", "--value", "3"};
    EXPECT_FALSE(Kor::Tools::ParseArguments(app, 3, good.data()));
    EXPECT_EQ(value, 3);
    const Checked no = Checked::Refused("needs\nmore");
    EXPECT_FALSE(no);
    EXPECT_TRUE(Checked{}.Ok());
    EXPECT_EQ(Kor::Tools::Refusal("kor-x", no).output, "kor-x: needs more");
}

TEST(ToolsDestination, HostPortIsSplitAtTheLastColonAndResolved) {
    for (const std::string bad : {"", "host", ":5", "h:0", "h:65536", "h:5x", "h:", "h:-1", "h: 5"}) {
        EXPECT_FALSE(Kor::Platform::SplitHostPort(bad)) << bad;
    }
    const auto split = Kor::Platform::SplitHostPort("a:b:65535");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->host, "a:b");
    EXPECT_EQ(split->port, 65535);

    Kor::Tools::Endpoint endpoint;
    EXPECT_TRUE(Kor::Tools::ResolveDestination("--to", "localhost:4000", endpoint).Ok());
    EXPECT_EQ(Kor::Tools::Text(endpoint), "127.0.0.1:4000");
    EXPECT_EQ(Kor::Tools::ResolveDestination("--to", "x", endpoint).Message(),
              "--to needs HOST:PORT with a port from 1 to 65535, not 'x'");
    EXPECT_EQ(Kor::Tools::ResolveDestination("--to", "no-such-host.invalid:5", endpoint).Message(),
              "--to: cannot resolve 'no-such-host.invalid' to an IPv4 address");
    EXPECT_EQ(Kor::Tools::Text(endpoint), "127.0.0.1:4000");  // untouched when refused
}

TEST(ToolsRunTimer, WaitsEndJustAfterTheDeadline) {
    const Kor::Tools::RunTimer::Clock::time_point start{};
    const Kor::Tools::RunTimer endless(0, start);
    EXPECT_EQ(endless.NextWait(start + 24h), Kor::Tools::RunTimer::kLongestWait);
    const Kor::Tools::RunTimer timer(1.0, start);
    EXPECT_EQ(timer.NextWait(start), Kor::Tools::RunTimer::kLongestWait);
    EXPECT_EQ(timer.NextWait(start + 950ms), 51ms);
    EXPECT_EQ(timer.NextWait(start + 1s), std::nullopt);
    EXPECT_DOUBLE_EQ(timer.Seconds(start + 1500ms), 1.5);
}

// What a model is given as its sender settings is what it shows and sends, and what it
// gives back.
TEST(SenderSettings, AModelShowsAndReturnsWhatItIsGiven) {
    Kor::Emulator::EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard lock(model.transmitter.modelMutex);
    Kor::Engine::SenderSettings s = model.senderSettings();
    EXPECT_EQ(s.address, "127.0.0.1");
    EXPECT_EQ(s.port, 33322);
    s.address = "127.0.0.2";
    s.port = 4000;
    s.transmissionType = Kor::Protocol::TransmissionType::Serial;
    s.delayMs = 7;
    s.projectFps = 5;
    s.tickCountType = 1;
    s.recordFlag = true;
    s.enabled.fill(false);
    const auto lens = static_cast<std::size_t>(Kor::Protocol::MessageType::BasicLens);
    s.enabled[lens] = true;
    s.rate[lens] = 8;
    model.applySenderSettings(s);
    EXPECT_EQ(model.ipInput, "127.0.0.2");
    EXPECT_EQ(model.portInput, 4000);
    EXPECT_EQ(model.transmissionTypeChoice, 1);
    EXPECT_EQ(model.projectFpsChoice, 4);
    EXPECT_EQ(model.tickCountTypeChoice, 1);
    EXPECT_EQ(model.transmitter.schedule[8],
              std::vector<Kor::Protocol::MessageType>{Kor::Protocol::MessageType::BasicLens});
    const Kor::Engine::SenderSettings back = model.senderSettings();
    EXPECT_EQ(back.address, s.address);
    EXPECT_EQ(back.port, s.port);
    EXPECT_EQ(back.transmissionType, s.transmissionType);
    EXPECT_EQ(back.delayMs, s.delayMs);
    EXPECT_EQ(back.projectFps, s.projectFps);
    EXPECT_EQ(back.tickCountType, s.tickCountType);
    EXPECT_EQ(back.recordFlag, s.recordFlag);
    EXPECT_EQ(back.enabled, s.enabled);
    EXPECT_EQ(back.rate, s.rate);
}

}  // namespace
