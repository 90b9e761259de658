// Tests of the telemetry value editors, drawn headless against a real model.
#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "imgui_harness.h"
#include "panels.h"

namespace {

using Kor::Emulator::EmulatorModel;
using Kor::Protocol::MessageType;

bool Contains(const std::vector<MessageType>& list, MessageType type) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

class ValueEditorsTest : public ::testing::Test {
protected:
    // The editors inside a panel of the width they get in the side-by-side layout, under
    // the model lock as the control window draws them.
    void DrawPanel(const std::function<void()>& inside) {
        std::lock_guard lock(model.transmitter.modelMutex);
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImVec2(550, 950));
        ImGui::Begin("Kor Emulator", nullptr, ImGuiWindowFlags_NoTitleBar);
        inside();
        ImGui::End();
    }

    void Frame() { ui.Frame(draw); }

    // The texts the panel renders in one frame, one line per row of widgets.
    std::string DisplayedText() {
        std::string text;
        ui.Frame([&] {
            DrawPanel([&] {
                ImGui::LogToBuffer();
                Kor::Emulator::drawValueEditors(model);
                text = GImGui->LogBuffer.c_str();
                ImGui::LogFinish();
            });
        });
        return text;
    }

    // Whether the panel renders `text` (lines joined by '\n'; values in braces).
    bool Shows(const std::string& text) { return DisplayedText().find(text) != std::string::npos; }

    // Clicks at a fraction of the width of a widget's frame (its visible label, drawn to
    // the right of the frame, left out) drawn in the last frame.
    void ClickAcross(const std::string& label, float fraction) {
        const kor_test::WidgetInfo w = ui.Widget(label);
        const float labelWidth = ImGui::CalcTextSize(label.c_str(), nullptr, true).x;
        const float frameWidth =
            w.maxX - w.minX -
            (labelWidth > 0 ? labelWidth + ImGui::GetStyle().ItemInnerSpacing.x : 0.0F);
        const float x = w.minX + frameWidth * fraction;
        const float y = (w.minY + w.maxY) / 2;
        ui.ClickAt(x, y, draw);
    }

    // Ctrl+click turns a drag handle into a text field; types `text` and Enter into it.
    void TypeInto(const std::string& label, float fraction, const std::string& text) {
        ImGui::GetIO().KeyCtrl = true;
        ClickAcross(label, fraction);
        ImGui::GetIO().KeyCtrl = false;
        ui.Type(text, draw);
    }

    EmulatorModel model;
    Kor::Protocol::TelemetryData& state = model.transmitter.liveState;
    kor_test::ImGuiHarness ui{900, 950};
    std::function<void()> draw = [this] {
        DrawPanel([this] { Kor::Emulator::drawValueEditors(model); });
    };
};

using ValueEditorsFocus = ValueEditorsTest;
using ValueEditorsIris = ValueEditorsTest;
using ValueEditorsRanges = ValueEditorsTest;
using ValueEditorsCombos = ValueEditorsTest;
using ValueEditorsLensFile = ValueEditorsTest;

// The focus follows its range ends in the same frame, whether they are typed or set
// elsewhere; an end typed below the widget's lower limit stops at the limit.
TEST_F(ValueEditorsFocus, RangeEndsPullTheFocusIntoTheRange) {
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
}

TEST_F(ValueEditorsFocus, EndsBeyondTheWidgetLimitsAreDrawnAndCanBeMendedByTyping) {
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

TEST_F(ValueEditorsIris, ShowsTStopsAndTheSliderSetsTheIrisWithinItsRange) {
    EXPECT_TRUE(Shows("{ Min 1.8 } { Max 64 }\n{ 1.8 } Iris [T]\n"));

    ClickAcross("Iris [T]", 0.999F);
    EXPECT_EQ(model.irisIndex, 21);
    EXPECT_FLOAT_EQ(model.irisPosition, 21.0F);
    EXPECT_FLOAT_EQ(state.iris, 64.0F);
    EXPECT_TRUE(Shows("{ Min 1.8 } { Max 64 }\n{ 64 } Iris [T]\n"));

    // A range of one index pins the iris.
    model.irisIndex = 12;
    model.irisMinIndex = 5;
    model.irisMaxIndex = 5;
    Frame();
    EXPECT_EQ(model.irisIndex, 5);
    EXPECT_FLOAT_EQ(state.minIris, 5.0F);
    EXPECT_FLOAT_EQ(state.maxIris, 5.0F);

    ClickAcross("Iris [T]", 0.999F);
    ClickAcross("Iris [T]", 0.001F);
    EXPECT_EQ(model.irisIndex, 5);
    EXPECT_TRUE(Shows("{ Min 5 } { Max 5 }\n{ 5 } Iris [T]\n"));
}

TEST_F(ValueEditorsIris, IndicesOutsideTheTableAreReadAtItsEnds) {
    model.irisMinIndex = -7;
    model.irisMaxIndex = 99;
    model.irisIndex = 1000;
    Frame();
    EXPECT_FLOAT_EQ(state.minIris, 1.8F);
    EXPECT_FLOAT_EQ(state.maxIris, 64.0F);
    EXPECT_TRUE(Shows("{ Min 1.8 } { Max 64 }\n{ 64 } Iris [T]\n"));

    model.irisMinIndex = INT_MAX;
    model.irisMaxIndex = INT_MIN;
    model.irisIndex = INT_MIN;
    Frame();
    ClickAcross("Iris [T]", 0.5F);
    EXPECT_FLOAT_EQ(state.minIris, 64.0F);
    EXPECT_FLOAT_EQ(state.maxIris, 1.8F);
    EXPECT_EQ(std::count(model.tStops.begin(), model.tStops.end(), state.iris), 1);
}

TEST_F(ValueEditorsRanges, ValueFollowsItsRangeAtOnce) {
    state.zoom = 3.0F;
    Frame();
    TypeInto("##Zoom [mm]range", 0.25F, "50");
    TypeInto("##Zoom [mm]range", 0.75F, "100");
    EXPECT_FLOAT_EQ(state.minFocalLength, 50.0F);
    EXPECT_FLOAT_EQ(state.maxFocalLength, 100.0F);
    EXPECT_FLOAT_EQ(state.zoom, 50.0F);

    state.zoom = 3.0F;
    state.positionX = 0.0F;
    model.xRange.max = -20.0F;
    state.yaw = 0.0F;
    model.yawRange.min = 90.0F;
    Frame();
    EXPECT_FLOAT_EQ(state.zoom, 50.0F);
    EXPECT_FLOAT_EQ(state.positionX, -20.0F);
    EXPECT_FLOAT_EQ(state.yaw, 90.0F);
}

TEST_F(ValueEditorsCombos, ProjectFpsFollowsChoiceAndRateSetElsewhere) {
    Frame();
    ASSERT_TRUE(ui.PickComboItem("Project FPS", 2, draw));  // "25"
    EXPECT_EQ(model.projectFpsChoice, 2);
    EXPECT_EQ(state.projectFps, 3);
    EXPECT_TRUE(Contains(model.transmitter.schedule[4], MessageType::BasicLens));
    EXPECT_TRUE(model.transmitter.schedule[3].empty());

    ASSERT_TRUE(ui.PickComboItem("Channel ID", 7, draw));
    EXPECT_EQ(state.channelId, 7);

    // A rate set elsewhere (by a lens file) is shown and moves the schedule too.
    state.projectFps = 4;  // 29.97
    EXPECT_TRUE(Shows("{ 29.97 } Project FPS\n"));
    EXPECT_EQ(model.projectFpsChoice, 3);
    EXPECT_TRUE(Contains(model.transmitter.schedule[5], MessageType::BasicLens));
}

TEST_F(ValueEditorsLensFile, PlaybackDisablesFrameRateFocusAndStringsOnly) {
    const std::vector<std::string> disabled{
        "Project FPS",  "##focusRange",   "Focus [mm]", "Clip name", "Product brand",
        "Product name", "Product serial", "Lens brand", "Lens name", "Lens serial"};
    std::vector<std::string> enabled{"Subject ID", "Channel ID", "Kor Tick Count Type",
                                     "##irisRange", "Iris [T]"};
    for (const char* label : {"Zoom [mm]", "X [mm]", "Y [mm]", "Z [mm]", "Roll [degree\u00B0]",
                              "Pitch [degree\u00B0]", "Yaw [degree\u00B0]"}) {
        enabled.emplace_back(label);
        enabled.push_back("##" + std::string(label) + "range");
    }

    model.transmitter.lensFilePlaying = true;
    Frame();
    for (const std::string& label : disabled) {
        EXPECT_TRUE(ui.Widget(label).disabled) << label;
    }
    for (const std::string& label : enabled) {
        EXPECT_FALSE(ui.Widget(label).disabled) << label;
    }
    ASSERT_TRUE(ui.Click("Project FPS", draw));
    EXPECT_TRUE(ImGui::GetCurrentContext()->OpenPopupStack.empty());

    model.transmitter.lensFilePlaying = false;
    Frame();
    for (const std::string& label : disabled) {
        EXPECT_FALSE(ui.Widget(label).disabled) << label;
    }
}

}  // namespace
