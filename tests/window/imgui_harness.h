// Drives the control window in a bare Dear ImGui context (no window, no renderer) against a
// real model: frames, mouse clicks on the widgets the panels report, typed text.
#pragma once

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "panels.h"

namespace kor_test {

inline bool Contains(const std::vector<Kor::Protocol::MessageType>& list,
                     Kor::Protocol::MessageType type) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

// A file dialog that hands out a prepared answer and counts how often it was asked.
class TestDialog final : public Kor::Emulator::FileDialog {
public:
    Kor::Emulator::FileDialogResult OpenFile(const std::string& /*filterName*/,
                                             const std::string& /*extension*/) override {
        ++calls;
        return answer;
    }

    Kor::Emulator::FileDialogResult answer;
    int calls = 0;
};

struct WidgetInfo {
    float minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool disabled = false;
};

// One model, one ImGui context; every frame draws the whole control window, 900 x 950.
// A failed IM_ASSERT inside the library aborts the test.
class PanelTest : public testing::Test, public Kor::Emulator::WidgetRecorder {
protected:
    // Nobody listens here; sending to it over loopback is harmless.
    static constexpr std::int32_t kQuietPort = 47931;

    PanelTest() : context_(ImGui::CreateContext()) {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(900, 950);
        io.DeltaTime = 1.0F / 60.0F;
        io.IniFilename = nullptr;
        for (int key = 0; key < ImGuiKey_COUNT; ++key) {
            io.KeyMap[key] = key;  // key events arrive as KeysDown[ImGuiKey_...]
        }
        io.UserData = static_cast<Kor::Emulator::WidgetRecorder*>(this);
        unsigned char* pixels = nullptr;
        int w = 0;
        int h = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);  // a renderer would upload this
        model.portInput = kQuietPort;
        Frame();
    }
    ~PanelTest() override {
        model.transmitter.Stop();
        ImGui::DestroyContext(context_);
    }

    // Runs one frame; the widgets it reports replace those of the previous frame.
    void Frame() {
        widgets_.clear();
        ImGui::NewFrame();
        Kor::Emulator::drawControlWindow(model, dialog);
        ImGui::Render();
    }

    // Presses the left button at (x, y) in one frame and releases it in the next.
    void ClickAt(float x, float y) {
        ImGuiIO& io = ImGui::GetIO();
        io.MousePos = ImVec2(x, y);
        io.MouseDown[0] = true;
        Frame();
        io.MouseDown[0] = false;
        Frame();
    }

    // Clicks the middle of `label` ("Window/label" where a label appears in both panels),
    // then runs one more frame so that the panels show the result.
    void Click(const std::string& label) {
        const WidgetInfo w = Widget(label);
        ClickAt((w.minX + w.maxX) / 2, (w.minY + w.maxY) / 2);
        Frame();
    }

    // Clicks at `fraction` of the width of a widget's frame (its visible label, drawn to the
    // right, left out).
    void ClickAcross(const std::string& label, float fraction) {
        const WidgetInfo w = Widget(label);
        const float labelWidth = ImGui::CalcTextSize(label.c_str(), nullptr, true).x;
        const float frame =
            w.maxX - w.minX -
            (labelWidth > 0 ? labelWidth + ImGui::GetStyle().ItemInnerSpacing.x : 0);
        ClickAt(w.minX + frame * fraction, (w.minY + w.maxY) / 2);
    }

    // Ctrl+clicks across a field (a number field selects its text; a drag handle turns into
    // such a field), types `text` and presses Enter.
    void TypeInto(const std::string& label, float fraction, const std::string& text) {
        ImGuiIO& io = ImGui::GetIO();
        io.KeyCtrl = true;
        ClickAcross(label, fraction);
        io.KeyCtrl = false;
        io.AddInputCharactersUTF8(text.c_str());
        Frame();
        io.KeysDown[ImGuiKey_Enter] = true;
        Frame();
        io.KeysDown[ImGuiKey_Enter] = false;
        Frame();
    }

    // Opens the combo `label` and clicks its item `item`, scrolled to the top of the list.
    void PickComboItem(const std::string& label, int item) {
        Click(label);  // the popup is measured in the click's frames and shown from this one
        const ImGuiContext& g = *ImGui::GetCurrentContext();
        ASSERT_FALSE(g.OpenPopupStack.empty()) << label;
        ImGuiWindow* popup = g.OpenPopupStack.back().Window;
        const float step = g.FontSize + g.Style.ItemSpacing.y;
        ImGui::SetScrollY(popup, step * static_cast<float>(item));
        Frame();
        ClickAt(popup->DC.CursorStartPos.x + 10,
                popup->DC.CursorStartPos.y + step * static_cast<float>(item) + g.FontSize / 2);
        Frame();
    }

    bool Has(const std::string& label) const { return widgets_.count(label) != 0; }
    // The first label of the last frame that starts with `prefix` ("" if none), for status
    // texts whose end changes (counters, the spinner).
    std::string Find(const std::string& prefix) const {
        const auto it = widgets_.lower_bound(prefix);
        return it != widgets_.end() && it->first.starts_with(prefix) ? it->first : "";
    }
    WidgetInfo Widget(const std::string& label) const {
        const auto it = widgets_.find(label);
        if (it == widgets_.end()) {
            ADD_FAILURE() << "no widget '" << label << "' in the last frame";
            return {};
        }
        return it->second;
    }

    void Record(const std::string& label, float minX, float minY, float maxX, float maxY,
                bool disabled) override {
        const ImGuiWindow* window = ImGui::GetCurrentWindowRead();
        widgets_[label] = {minX, minY, maxX, maxY, disabled};
        widgets_[std::string(window ? window->Name : "") + "/" + label] = widgets_[label];
    }

    ImGuiContext* context_;
    std::map<std::string, WidgetInfo> widgets_;  // by label, and by "window/label"
    Kor::Emulator::EmulatorModel model;
    Kor::Protocol::TelemetryData& state = model.transmitter.liveState;
    TestDialog dialog;
};

}  // namespace kor_test
