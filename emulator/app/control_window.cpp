// The control window: both panels drawn under the model lock, and their shared helpers.
#include <imgui.h>
#include <imgui_internal.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "panels.h"

namespace Kor::Emulator {

namespace {

constexpr ImGuiWindowFlags kMainPanelFlags = ImGuiWindowFlags_NoTitleBar |
                                             ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                                             ImGuiWindowFlags_NoCollapse;
constexpr ImGuiWindowFlags kSettingsPanelFlags =
    ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse;

struct PanelRects {
    ImVec2 mainPos, mainSize, settingsPos, settingsSize;
};

// Side by side from wideLayoutMinWidth on (the settings panel keeps its fixed width on the
// right); below it the two panels are stacked, the upper one two thirds of the height.
PanelRects LayoutPanels(const EmulatorModel& model) {
    const float width = static_cast<float>(model.windowWidth);
    const float height = static_cast<float>(model.windowHeight);
    if (model.windowWidth >= model.wideLayoutMinWidth) {
        const float left = static_cast<float>(model.windowWidth - model.settingsPanelWidth);
        const float panel = static_cast<float>(model.settingsPanelWidth);
        return {ImVec2(0.0F, 0.0F), ImVec2(left, height), ImVec2(left, 0.0F),
                ImVec2(panel, height)};
    }
    const float upper = static_cast<float>(static_cast<double>(model.windowHeight) / 1.5);
    return {ImVec2(0.0F, 0.0F), ImVec2(width, upper), ImVec2(0.0F, upper),
            ImVec2(width, height - upper)};
}

}  // namespace

void drawControlWindow(EmulatorModel& model, FileDialog& dialog) {
    // Held for the whole frame: every edit below is atomic with respect to the generator,
    // playback and simulation threads, which take the same lock per frame or tick.
    std::lock_guard lock(model.transmitter.modelMutex);
    model.syncLensFileState();

    const PanelRects rects = LayoutPanels(model);

    ImGui::SetNextWindowPos(rects.mainPos, ImGuiCond_Always, ImVec2(0.0F, 0.0F));
    ImGui::SetNextWindowSize(rects.mainSize, ImGuiCond_Always);
    // The result of Begin is ignored: the content is always submitted (ImGui skips it
    // cheaply when the panel is not visible), and End is always due.
    ImGui::Begin("Kor Emulator", nullptr, kMainPanelFlags);
    drawAboutLine(model);
    ImGui::Separator();
    drawRunControls(model);
    ImGui::Separator();
    drawDestination(model);
    ImGui::Separator();
    ImGui::Text("%s", "");
    ImGui::Separator();
    drawValueEditors(model);
    ImGui::End();

    ImGui::SetNextWindowPos(rects.settingsPos, ImGuiCond_Always, ImVec2(0.0F, 0.0F));
    ImGui::SetNextWindowSize(rects.settingsSize, ImGuiCond_Always);
    ImGui::Begin("Message settings", nullptr, kSettingsPanelFlags);
    drawMessageSettings(model, dialog);
    ImGui::End();
}

char spinnerAt(double seconds) {
    // The divisor is the single-precision 0.05, widened: the character advances every 50 ms.
    constexpr double kStep = static_cast<double>(0.05F);
    constexpr char kFrames[] = "|/-\\";
    const auto tick = static_cast<std::int64_t>(seconds / kStep);
    return kFrames[static_cast<std::size_t>(((tick % 4) + 4) % 4)];
}

void recordWidget(const std::string& label) {
    auto* recorder = static_cast<WidgetRecorder*>(ImGui::GetIO().UserData);
    if (recorder == nullptr) {
        return;
    }
    const ImVec2 min = ImGui::GetItemRectMin();
    const ImVec2 max = ImGui::GetItemRectMax();
    const bool disabled = (ImGui::GetItemFlags() & ImGuiItemFlags_Disabled) != 0;
    recorder->Record(label, min.x, min.y, max.x, max.y, disabled);
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(args);
    return text;
}

}  // namespace Kor::Emulator
