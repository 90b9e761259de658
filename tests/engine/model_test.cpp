// EmulatorModel without a window: schedule building, the value simulation and its threads.
#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emulator_model.h"

namespace {

using namespace std::chrono_literals;
using Kor::Emulator::EmulatorModel;
using MT = Kor::Protocol::MessageType;

std::size_t I(MT type) {
    return static_cast<std::size_t>(type);
}

// Each enabled type goes to the list of its rate slot; "FPS" types to the slot of the
// project frame rate, or to slot 9 while a lens file plays (which forces the lens-driven
// types there). "Every packet" types follow every list that is not empty, in table order,
// and alone schedule nothing.
TEST(Model, ScheduleRouting) {
    EmulatorModel model;
    auto& t = model.transmitter;
    for (auto [code, slot] : {std::pair{4U, 5U}, std::pair{1U, 2U}, std::pair{5U, 6U}}) {
        t.liveState.projectFps = static_cast<std::uint8_t>(code);
        model.rebuildSchedule();
        ASSERT_FALSE(t.schedule[slot].empty()) << code;
        EXPECT_EQ(t.schedule[slot].front(), MT::ProjectFps) << code;
        EXPECT_TRUE(t.schedule[3].empty()) << code;
    }

    model.forceLensFileRates();
    t.lensFilePlaying = true;
    model.syncLensFileState();
    model.rebuildSchedule();
    EXPECT_EQ(model.messageRate[I(MT::Timecode)], 9);
    EXPECT_NE(std::find(t.schedule[9].begin(), t.schedule[9].end(), MT::BasicLens),
              t.schedule[9].end());
    t.lensFilePlaying = false;
    model.syncLensFileState();  // restores the rates, as the lens file tests check

    for (std::size_t type = 0; type < model.messageEnabled.size(); ++type) {
        model.messageEnabled[type] = model.messageRate[type] == 10 ? 1 : 0;
    }
    model.rebuildSchedule();
    for (const auto& list : t.schedule) {
        EXPECT_TRUE(list.empty());
    }
    model.messageEnabled[I(MT::AxesData)] = 1;
    model.messageRate[I(MT::AxesData)] = 8;
    model.rebuildSchedule();
    EXPECT_EQ(t.schedule[8], (std::vector<MT>{MT::AxesData, MT::SubjectId, MT::ChannelId,
                                              MT::Timecode, MT::PtpTimestamp, MT::TickCount}));
}

// The focus runs to its top, clamps and turns; the iris stays between its index limits and
// takes only their T-stops; equal ends pin a position; a playing lens file owns the focus.
TEST(Model, SimulationStaysInItsRanges) {
    EmulatorModel model;
    auto& s = model.transmitter.liveState;
    for (int tick = 0; tick < 1911; ++tick) {  // 450 + 1910 x 5 reaches 10000 exactly
        model.simulationTick();
    }
    EXPECT_EQ(s.focus, 10000U);
    EXPECT_EQ(model.focusDirection, -1);
    model.simulationTick();
    EXPECT_EQ(s.focus, 9995U);

    model.irisMinIndex = 3;
    model.irisMaxIndex = 5;
    model.xRange = {7.0F, 7.0F, 1};
    model.transmitter.lensFilePlaying = true;
    const auto focus = s.focus;
    std::set<int> seen;
    for (int tick = 0; tick < 400; ++tick) {
        model.simulationTick();
        if (tick > 100) {  // by then the iris has moved into its range
            seen.insert(model.irisIndex);
            EXPECT_GE(model.irisPosition, 3.5F);
            EXPECT_LE(model.irisPosition, 5.5F);
        }
        EXPECT_FLOAT_EQ(s.iris, model.tStops[static_cast<std::size_t>(model.irisIndex)]);
        EXPECT_FLOAT_EQ(s.positionX, 7.0F);
    }
    EXPECT_EQ(seen, (std::set<int>{3, 4, 5}));
    EXPECT_EQ(s.focus, focus);
}

// Start/stop cycles of the simulation, then the model destroyed while the simulation and a
// run both go: every thread is joined and none touches the model afterwards (the
// ThreadSanitizer build checks the latter).
TEST(Model, SimulationThreadsStartStopAndTeardown) {
    EmulatorModel model;
    auto& t = model.transmitter;
    for (int i = 0; i < 10; ++i) {
        std::lock_guard lock(t.modelMutex);
        model.startSimulation();
        model.startSimulation();  // no effect while running
        EXPECT_TRUE(model.simulationRunning());
        model.stopSimulation();
        EXPECT_FALSE(model.simulationRunning());
        model.startSimulation();
    }
    bool moved = false;  // waited for, not timed: a loaded machine may delay the thread
    for (int i = 0; i < 3000 && !moved; ++i) {
        std::this_thread::sleep_for(10ms);
        std::lock_guard lock(t.modelMutex);
        moved = t.liveState.focus != 450U;  // every tick moves it up from there
    }
    EXPECT_TRUE(moved) << "the simulation does not run";
    std::lock_guard lock(t.modelMutex);
    t.Start();
}

}  // namespace
