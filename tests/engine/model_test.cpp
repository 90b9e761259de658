// EmulatorModel: combo lists, schedule building, lens-file rates, simulation.
#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emulator_model.h"

namespace {

using namespace std::chrono_literals;
using Kor::Emulator::EmulatorModel;
using Kor::Protocol::MessageType;
using MT = MessageType;

std::size_t I(MT type) {
    return static_cast<std::size_t>(type);
}

// Splits a combo item list (items ended by a zero byte, the list by one more).
std::vector<std::string> Items(const std::string& list) {
    std::vector<std::string> items;
    std::size_t begin = 0;
    while (begin < list.size() && list[begin] != '\0') {
        const std::size_t end = list.find('\0', begin);
        items.push_back(list.substr(begin, end - begin));
        begin = end + 1;
    }
    EXPECT_EQ(begin + 1, list.size()) << "the list must end with one extra zero byte";
    return items;
}

// Rate labels go through formatNumber (four significant digits); the list with "Every
// packet" is the plain list before its end marker plus one item.
TEST(Model, ComboLists) {
    EmulatorModel model;
    using V = std::vector<std::string>;
    EXPECT_EQ(Items(model.rateItems), (V{"1 Hz", "10 Hz", "23.98 Hz", "24 Hz", "25 Hz", "29.97 Hz",
                                         "30 Hz", "60 Hz", "100 Hz", "FPS"}));
    V withEvery = Items(model.rateItems);
    withEvery.push_back("Every packet");
    EXPECT_EQ(Items(model.rateItemsEveryPacket), withEvery);
    EXPECT_EQ(Items(model.projectFpsItems), (V{"23.98", "24", "25", "29.97", "30"}));
    EXPECT_EQ(Items(model.idItems).size(), 11U);
}

TEST(Model, DefaultScheduleHasTwoLists) {
    EmulatorModel model;
    model.rebuildSchedule();
    const std::vector<MT> every{MT::SubjectId, MT::ChannelId, MT::Timecode, MT::PtpTimestamp,
                                MT::TickCount};
    std::vector<MT> slow{MT::ClipName,         MT::ProductBrand, MT::ProductName, MT::ProductSerial,
                         MT::LensManufacturer, MT::LensName,     MT::LensSerial};
    std::vector<MT> fps{MT::ProjectFps,     MT::BasicLens,      MT::RawLensEncoderWithMask,
                        MT::LensProperties, MT::PositionalData, MT::AxesData,
                        MT::ZeissZdData};
    slow.insert(slow.end(), every.begin(), every.end());
    fps.insert(fps.end(), every.begin(), every.end());
    const auto& schedule = model.transmitter.schedule;
    for (std::size_t slot = 0; slot < schedule.size(); ++slot) {
        EXPECT_EQ(schedule[slot], slot == 0 ? slow : slot == 3 ? fps : std::vector<MT>{}) << slot;
    }
}

TEST(Model, ScheduleFollowsProjectFpsAndLensPlayback) {
    EmulatorModel model;
    auto& t = model.transmitter;
    for (auto [code, slot] : {std::pair{4, 5}, std::pair{1, 2}, std::pair{5, 6}}) {
        t.liveState.projectFps = static_cast<std::uint8_t>(code);
        model.rebuildSchedule();
        ASSERT_FALSE(t.schedule[static_cast<std::size_t>(slot)].empty()) << code;
        EXPECT_EQ(t.schedule[static_cast<std::size_t>(slot)].front(), MT::ProjectFps);
        EXPECT_TRUE(t.schedule[3].empty());
    }

    // While a lens file plays, "FPS" types (and the forced lens-driven ones) go to slot 9.
    t.savedLiveState = t.liveState;
    model.forceLensFileRates();
    t.lensFilePlaying = true;
    model.syncLensFileState();
    model.rebuildSchedule();
    const auto& nine = t.schedule[9];
    for (MT type :
         {MT::Timecode, MT::BasicLens, MT::PtpTimestamp, MT::TickCount, MT::ZeissZdData}) {
        EXPECT_NE(std::find(nine.begin(), nine.end(), type), nine.end());
    }
    EXPECT_EQ(model.messageRate[I(MT::Timecode)], 9);

    // The end of playback, noticed at the next frame, restores the saved rates.
    t.lensFilePlaying = false;
    model.syncLensFileState();
    EXPECT_EQ(model.messageRate[I(MT::Timecode)], 10);
    EXPECT_EQ(model.messageRate[I(MT::BasicLens)], 9);
    model.rebuildSchedule();
    EXPECT_TRUE(t.schedule[9].empty());
}

TEST(Model, EveryPacketTypesAloneScheduleNothing) {
    EmulatorModel model;
    for (std::size_t t = 0; t < model.messageEnabled.size(); ++t) {
        model.messageEnabled[t] = model.messageRate[t] == 10 ? 1 : 0;
    }
    model.rebuildSchedule();
    for (const auto& list : model.transmitter.schedule) {
        EXPECT_TRUE(list.empty());
    }
    // One 100 Hz type brings them all along, in table order, after it.
    model.messageEnabled[I(MT::AxesData)] = 1;
    model.messageRate[I(MT::AxesData)] = 8;
    model.rebuildSchedule();
    EXPECT_EQ(model.transmitter.schedule[8],
              (std::vector<MT>{MT::AxesData, MT::SubjectId, MT::ChannelId, MT::Timecode,
                               MT::PtpTimestamp, MT::TickCount}));
}

TEST(Model, RestoreAfterLensPlaybackPutsBackHeaderFields) {
    EmulatorModel model;
    auto& t = model.transmitter;
    t.savedLiveState = t.liveState;
    t.lensHeaderState.focus = 1200;
    t.liveState.clipName = "from file";
    t.liveState.projectFps = 3;
    t.liveState.focus = 1200;
    t.liveState.minFocalLength = 25.0F;
    t.RestoreAfterLensPlayback();
    EXPECT_EQ(t.liveState.clipName, "Kor Clip");
    EXPECT_EQ(t.liveState.projectFps, 2);
    EXPECT_EQ(t.liveState.focus, 450U);
    EXPECT_FLOAT_EQ(t.liveState.minFocalLength, 3.0F);
}

TEST(Model, SimulationPingPong) {
    EmulatorModel model;
    auto& s = model.transmitter.liveState;
    for (int tick = 0; tick < 1910; ++tick) {
        model.simulationTick();
    }
    EXPECT_EQ(s.focus, 10000U);
    model.simulationTick();  // overshoots, clamps and turns round
    EXPECT_EQ(s.focus, 10000U);
    EXPECT_EQ(model.focusDirection, -1);
    model.simulationTick();
    EXPECT_EQ(s.focus, 9995U);

    // The iris runs between index 3.5 and 5.5 and takes only the T-stops 3, 4 and 5.
    model.irisMinIndex = 3;
    model.irisMaxIndex = 5;
    std::set<int> seen;
    for (int tick = 0; tick < 400; ++tick) {
        model.simulationTick();
        if (tick > 100) {
            seen.insert(model.irisIndex);
            EXPECT_GE(model.irisPosition, 3.5F);
            EXPECT_LE(model.irisPosition, 5.5F);
        }
        EXPECT_FLOAT_EQ(s.iris, model.tStops[static_cast<std::size_t>(model.irisIndex)]);
        EXPECT_GE(s.positionX, -100.0F);
        EXPECT_LE(s.positionX, 100.0F);
        EXPECT_GE(s.zoom, s.minFocalLength);
        EXPECT_LE(s.zoom, s.maxFocalLength);
    }
    EXPECT_EQ(seen, (std::set<int>{3, 4, 5}));

    // Equal ends pin the value; the direction flips every tick.
    model.xRange = {7.0F, 7.0F, 1};
    model.simulationTick();
    EXPECT_FLOAT_EQ(s.positionX, 7.0F);
    const int direction = model.xRange.direction;
    model.simulationTick();
    EXPECT_FLOAT_EQ(s.positionX, 7.0F);
    EXPECT_EQ(model.xRange.direction, -direction);

    // While a lens file plays, the file drives the focus.
    model.transmitter.lensFilePlaying = true;
    const auto focus = s.focus;
    model.simulationTick();
    EXPECT_EQ(s.focus, focus);
}

// Start/stop cycles of the simulation and a model destroyed while it runs: every thread
// is joined, none touches the model afterwards (the sanitizer build checks the latter).
TEST(Model, SimulationThreadsStartStopAndTeardown) {
    auto model = std::make_unique<EmulatorModel>();
    for (int i = 0; i < 10; ++i) {
        std::lock_guard lock(model->transmitter.modelMutex);
        model->startSimulation();
        model->startSimulation();  // no effect while running
        EXPECT_TRUE(model->simulationRunning());
        model->stopSimulation();
        EXPECT_FALSE(model->simulationRunning());
        model->startSimulation();
    }
    const float before = [&] {
        std::lock_guard lock(model->transmitter.modelMutex);
        return model->transmitter.liveState.zoom;
    }();
    bool moved = false;  // waited for, not timed: a loaded machine may delay the thread
    for (const auto end = std::chrono::steady_clock::now() + 30s;
         !moved && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(10ms);
        std::lock_guard lock(model->transmitter.modelMutex);
        moved = model->transmitter.liveState.zoom != before;
    }
    EXPECT_TRUE(moved) << "the simulation does not run";
    {
        std::lock_guard lock(model->transmitter.modelMutex);
        model->transmitter.Start();
    }
    model.reset();  // simulation and a run both going
}

}  // namespace
