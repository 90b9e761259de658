// The telemetry value editors: ids, frame rate, lens, position, axes and identity strings.
#include <imgui.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "panels.h"

namespace Kor::Emulator {

namespace {

constexpr std::uint32_t kFocusLowerLimit = 450;
constexpr std::uint32_t kFocusUpperLimit = 0xFFFFFF;
constexpr float kZoomLowerLimit = 1.0F;
constexpr float kZoomUpperLimit = 650.0F;
constexpr float kPositionLimit = 10000.0F;
constexpr float kAngleLimit = 360.0F;

void spacing() {
    ImGui::Spacing();
    ImGui::Spacing();
    ImGui::Spacing();
}

// Sizes the next widget as a fraction of the width still available on this line.
void setWidth(float fraction) {
    ImGui::SetNextItemWidth(fraction * ImGui::GetContentRegionAvail().x);
}

bool combo(const char* label, std::int32_t& choice, const std::string& items) {
    setWidth(0.3F);
    const bool changed = ImGui::Combo(label, &choice, items.c_str());
    recordWidget(label);
    return changed;
}

void textField(const char* label, std::string& text) {
    ImGui::InputText(label, &text);
    recordWidget(label);
}

// The library formats widget texts printf-style; a literal '%' has to be doubled.
std::string escapeFormat(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        escaped.push_back(c);
        if (c == '%') {
            escaped.push_back('%');
        }
    }
    return escaped;
}

// The highest valid index into `tStops` (0 for an empty table).
std::int32_t lastStopIndex(const std::vector<float>& tStops) {
    return tStops.empty()
               ? 0
               : static_cast<std::int32_t>(std::min<std::size_t>(tStops.size() - 1, INT_MAX));
}

// The T-stop at `index`, taken from the nearest end of the table when the index lies
// outside it (the indices are model fields that anything may have written).
float tStopAt(const std::vector<float>& tStops, std::int32_t index) {
    if (tStops.empty()) {
        return 0.0F;
    }
    return tStops[static_cast<std::size_t>(std::clamp(index, 0, lastStopIndex(tStops)))];
}

// The focus range ends as the drag widget's ints (every valid end fits; larger ones
// saturate), and back.
int focusToInt(std::uint32_t value) {
    return static_cast<int>(std::min<std::uint32_t>(value, INT_MAX));
}
std::uint32_t focusFromInt(int value) {
    return static_cast<std::uint32_t>(std::max(value, 0));
}

void drawIdsAndRates(EmulatorModel& model, bool lensFilePlaying) {
    Protocol::TelemetryData& state = model.transmitter.liveState;
    if (combo("Subject ID", model.subjectIdChoice, model.idItems)) {
        state.subjectId = static_cast<std::uint32_t>(model.subjectIdChoice);
    }
    if (combo("Channel ID", model.channelIdChoice, model.idItems)) {
        state.channelId = static_cast<std::uint8_t>(model.channelIdChoice);
    }
    spacing();

    // A lens file playback (or the restore at its end) sets the frame rate directly; the
    // combo follows it and the schedule moves with it.
    if (state.projectFps != static_cast<std::uint8_t>(model.projectFpsChoice + 1)) {
        model.projectFpsChoice = state.projectFps - 1;
        model.rebuildSchedule();
    }
    ImGui::BeginDisabled(lensFilePlaying);
    if (combo("Project FPS", model.projectFpsChoice, model.projectFpsItems)) {
        state.projectFps = static_cast<std::uint8_t>(model.projectFpsChoice + 1);
        model.rebuildSchedule();
    }
    ImGui::EndDisabled();

    if (combo("Kor Tick Count Type", model.tickCountTypeChoice, model.tickCountTypeItems)) {
        state.tickCountType = static_cast<std::uint8_t>(model.tickCountTypeChoice);
    }
}

void drawFocus(EmulatorModel& model, bool lensFilePlaying) {
    std::uint32_t& focus = model.transmitter.liveState.focus;
    ImGui::BeginDisabled(lensFilePlaying);

    setWidth(0.4F);
    int low = focusToInt(model.focusMin);
    int high = focusToInt(model.focusMax);
    if (ImGui::DragIntRange2("##focusRange", &low, &high, 0.25F, focusToInt(kFocusLowerLimit),
                             focusToInt(kFocusUpperLimit), "Min %d", "Max %d",
                             ImGuiSliderFlags_AlwaysClamp)) {
        model.focusMin = focusFromInt(low);
        model.focusMax = focusFromInt(high);
    }
    recordWidget("##focusRange");

    if (focus < model.focusMin) {
        focus = model.focusMin;
    }
    if (focus > model.focusMax) {
        focus = model.focusMax;
    }

    ImGui::SameLine();
    setWidth(0.6F);
    // The slider's bounds stay within the widget's limits even if the range ends were set
    // beyond them elsewhere: the library refuses unsigned bounds above half the type.
    const std::uint32_t sliderMin = std::min(model.focusMin, kFocusUpperLimit);
    const std::uint32_t sliderMax = std::min(model.focusMax, kFocusUpperLimit);
    ImGui::SliderScalar("Focus [mm]", ImGuiDataType_U32, &focus, &sliderMin, &sliderMax, "%d",
                        ImGuiSliderFlags_Logarithmic);
    recordWidget("Focus [mm]");

    ImGui::EndDisabled();
}

void drawIris(EmulatorModel& model) {
    Protocol::TelemetryData& state = model.transmitter.liveState;
    const std::vector<float>& tStops = model.tStops;
    const std::int32_t lastStop = lastStopIndex(tStops);

    // The handles show T-stops instead of indices: texts without a placeholder.
    const std::string minText =
        "Min " + escapeFormat(formatNumber(tStopAt(tStops, model.irisMinIndex)));
    const std::string maxText =
        "Max " + escapeFormat(formatNumber(tStopAt(tStops, model.irisMaxIndex)));
    setWidth(0.4F);
    ImGui::DragIntRange2("##irisRange", &model.irisMinIndex, &model.irisMaxIndex, 0.25F, 0,
                         lastStop, minText.c_str(), maxText.c_str(), ImGuiSliderFlags_AlwaysClamp);
    recordWidget("##irisRange");

    model.irisIndex = std::max(model.irisIndex, model.irisMinIndex);
    model.irisIndex = std::min(model.irisIndex, model.irisMaxIndex);

    ImGui::SameLine();
    setWidth(0.6F);
    const std::int32_t sliderMin = std::clamp(model.irisMinIndex, 0, lastStop);
    const std::int32_t sliderMax = std::clamp(model.irisMaxIndex, 0, lastStop);
    const std::string stopText = escapeFormat(formatNumber(tStopAt(tStops, model.irisIndex)));
    if (ImGui::SliderInt("Iris [T]", &model.irisIndex, sliderMin, sliderMax, stopText.c_str())) {
        model.irisPosition = static_cast<float>(model.irisIndex);
        state.iris = tStopAt(tStops, model.irisIndex);
    }
    recordWidget("Iris [T]");

    state.minIris = tStopAt(tStops, model.irisMinIndex);
    state.maxIris = tStopAt(tStops, model.irisMaxIndex);
}

void drawStrings(Protocol::TelemetryData& state, bool lensFilePlaying) {
    ImGui::BeginDisabled(lensFilePlaying);
    textField("Clip name", state.clipName);
    spacing();
    textField("Product brand", state.productBrand);
    textField("Product name", state.productName);
    textField("Product serial", state.productSerial);
    spacing();
    textField("Lens brand", state.lensManufacturer);
    textField("Lens name", state.lensName);
    textField("Lens serial", state.lensSerial);
    ImGui::EndDisabled();
}

}  // namespace

void rangeSlider(const std::string& label, float& value, float& min, float& max, float lowerLimit,
                 float upperLimit) {
    const std::string rangeLabel = "##" + label + "range";
    setWidth(0.4F);
    ImGui::DragFloatRange2(rangeLabel.c_str(), &min, &max, 0.25F, lowerLimit, upperLimit,
                           "Min %.1f", "Max %.1f", ImGuiSliderFlags_AlwaysClamp);
    recordWidget(rangeLabel);

    if (min > value) {
        value = min;
    }
    if (value > max) {
        value = max;
    }

    ImGui::SameLine();
    setWidth(0.6F);
    ImGui::SliderFloat(label.c_str(), &value, min, max, "%.3f");
    recordWidget(label);
}

void drawValueEditors(EmulatorModel& model) {
    Protocol::TelemetryData& state = model.transmitter.liveState;
    // Read once, so that every disabled group of this frame is opened and closed alike.
    const bool lensFilePlaying = model.transmitter.lensFilePlaying.load();

    spacing();
    drawIdsAndRates(model, lensFilePlaying);
    spacing();
    ImGui::Separator();
    spacing();

    ImGui::Text("Basic lens");
    drawFocus(model, lensFilePlaying);
    drawIris(model);
    rangeSlider("Zoom [mm]", state.zoom, state.minFocalLength, state.maxFocalLength,
                kZoomLowerLimit, kZoomUpperLimit);

    spacing();
    ImGui::Separator();
    spacing();
    ImGui::Text("Position");
    rangeSlider("X [mm]", state.positionX, model.xRange.min, model.xRange.max, -kPositionLimit,
                kPositionLimit);
    rangeSlider("Y [mm]", state.positionY, model.yRange.min, model.yRange.max, -kPositionLimit,
                kPositionLimit);
    rangeSlider("Z [mm]", state.positionZ, model.zRange.min, model.zRange.max, -kPositionLimit,
                kPositionLimit);

    spacing();
    ImGui::Text("Axes");
    rangeSlider("Roll [degree\u00B0]", state.roll, model.rollRange.min, model.rollRange.max,
                -kAngleLimit, kAngleLimit);
    rangeSlider("Pitch [degree\u00B0]", state.pitch, model.pitchRange.min, model.pitchRange.max,
                -kAngleLimit, kAngleLimit);
    rangeSlider("Yaw [degree\u00B0]", state.yaw, model.yawRange.min, model.yawRange.max,
                -kAngleLimit, kAngleLimit);

    spacing();
    ImGui::Separator();
    spacing();
    ImGui::Text("Info");
    spacing();
    drawStrings(state, lensFilePlaying);
}

}  // namespace Kor::Emulator
