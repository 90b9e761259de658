// Tests of the telemetry value editors, drawn headless in the control window.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "imgui_harness.h"

namespace {

using Kor::Protocol::MessageType;
using kor_test::Contains;
using ValueEditorsTest = kor_test::PanelTest;

// The focus follows its range ends in the same frame, whether they are typed or set
// elsewhere; an end typed below the widget's lower limit stops at the limit, and ends set
// beyond the widget's limits are drawn and can be mended by typing.
TEST_F(ValueEditorsTest, FocusRangeEndsHoldTheFocus) {
    state.focus = 5000;
    Frame();
    TypeInto("##focusRange", 0.75F, "800");
    EXPECT_EQ(model.focusMin, 450U);
    EXPECT_EQ(model.focusMax, 800U);
    EXPECT_EQ(state.focus, 800U);
    TypeInto("##focusRange", 0.75F, "100");
    EXPECT_EQ(model.focusMax, 450U);
    EXPECT_EQ(state.focus, 450U);

    model.focusMin = 3000;
    model.focusMax = 8000;
    Frame();
    EXPECT_EQ(state.focus, 3000U);

    model.focusMin = 100;
    model.focusMax = 0xFFFFFFFF;
    state.focus = 0xF0000000;
    Frame();
    EXPECT_EQ(state.focus, 0xF0000000U);
    TypeInto("##focusRange", 0.75F, "20000");
    EXPECT_EQ(model.focusMin, 100U);
    EXPECT_EQ(model.focusMax, 20000U);
    EXPECT_EQ(state.focus, 20000U);
}

TEST_F(ValueEditorsTest, IrisSliderSetsTStopsWithinItsRange) {
    ClickAcross("Iris [T]", 0.999F);
    EXPECT_EQ(model.irisIndex, 21);
    EXPECT_FLOAT_EQ(model.irisPosition, 21.0F);
    EXPECT_FLOAT_EQ(state.iris, 64.0F);

    // A range of one index pins the iris.
    model.irisIndex = 12;
    model.irisMinIndex = 5;
    model.irisMaxIndex = 5;
    Frame();
    EXPECT_EQ(model.irisIndex, 5);
    EXPECT_FLOAT_EQ(state.minIris, 5.0F);
    ClickAcross("Iris [T]", 0.001F);
    EXPECT_EQ(model.irisIndex, 5);

    // Indices outside the table are read at its ends.
    model.irisMinIndex = -7;
    model.irisMaxIndex = 99;
    Frame();
    EXPECT_FLOAT_EQ(state.minIris, 1.8F);
    EXPECT_FLOAT_EQ(state.maxIris, 64.0F);
    model.irisMinIndex = INT_MAX;
    model.irisMaxIndex = INT_MIN;
    Frame();
    ClickAcross("Iris [T]", 0.5F);
    EXPECT_FLOAT_EQ(state.minIris, 64.0F);
    EXPECT_FLOAT_EQ(state.maxIris, 1.8F);
    EXPECT_EQ(std::count(model.tStops.begin(), model.tStops.end(), state.iris), 1);
}

TEST_F(ValueEditorsTest, RangeSlidersHoldTheirValueInTheRange) {
    state.zoom = 3.0F;
    Frame();
    TypeInto("##Zoom [mm]range", 0.25F, "50");
    TypeInto("##Zoom [mm]range", 0.75F, "100");
    EXPECT_FLOAT_EQ(state.minFocalLength, 50.0F);
    EXPECT_FLOAT_EQ(state.maxFocalLength, 100.0F);
    EXPECT_FLOAT_EQ(state.zoom, 50.0F);

    model.xRange.max = -20.0F;
    model.yawRange.min = 90.0F;
    Frame();
    EXPECT_FLOAT_EQ(state.positionX, -20.0F);
    EXPECT_FLOAT_EQ(state.yaw, 90.0F);
}

TEST_F(ValueEditorsTest, CombosSetTheIdsAndTheProjectFrameRate) {
    PickComboItem("Project FPS", 2);  // "25"
    EXPECT_EQ(state.projectFps, 3);
    EXPECT_TRUE(Contains(model.transmitter.schedule[4], MessageType::BasicLens));
    EXPECT_TRUE(model.transmitter.schedule[3].empty());
    PickComboItem("Channel ID", 7);
    EXPECT_EQ(state.channelId, 7);

    // A rate set elsewhere (by a lens file) is taken over and moves the schedule too.
    state.projectFps = 4;  // 29.97
    Frame();
    EXPECT_EQ(model.projectFpsChoice, 3);
    EXPECT_TRUE(Contains(model.transmitter.schedule[5], MessageType::BasicLens));
}

TEST_F(ValueEditorsTest, LensFilePlaybackDisablesFrameRateFocusAndStringsOnly) {
    const std::vector<std::pair<std::string, bool>> widgets{
        {"Project FPS", true},          {"##focusRange", true},
        {"Lens serial", true},          {"Channel ID", false},
        {"Kor Tick Count Type", false}, {"Iris [T]", false},
        {"Zoom [mm]", false},           {"##Yaw [degree\u00B0]range", false},
        {"Enable All", false}};
    for (const bool playing : {true, false}) {
        model.transmitter.lensFilePlaying = playing;
        Frame();
        for (const auto& [label, lensDriven] : widgets) {
            EXPECT_EQ(Widget(label).disabled, playing && lensDriven) << label << playing;
        }
    }
}

}  // namespace
