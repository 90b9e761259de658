// Drives the control window's panels in a bare Dear ImGui context (no window, no renderer):
// frames, mouse clicks on recorded widgets, typed text.
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "panels.h"

namespace kor_test {

struct WidgetInfo {
    float minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool disabled = false;
    ImVec4 textColor{};  // ImGuiCol_Text as it stood when the widget was reported
    std::string window;  // the ImGui window the widget was drawn in
};

// One ImGui context for one test. Frame() runs a whole frame (NewFrame, draw, Render);
// Click() presses the mouse on a widget drawn in the previous frame and releases it in
// the next, as a person would. A failed IM_ASSERT inside the library aborts the test.
class ImGuiHarness final : public Kor::Emulator::WidgetRecorder {
public:
    ImGuiHarness(float width, float height) : context_(ImGui::CreateContext()) {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(width, height);
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
    }
    ~ImGuiHarness() override { ImGui::DestroyContext(context_); }

    void Resize(float width, float height) { ImGui::GetIO().DisplaySize = ImVec2(width, height); }

    // Runs one frame that calls `draw`; the widgets it records replace the previous ones.
    void Frame(const std::function<void()>& draw) {
        widgets_.clear();
        widgetsByWindow_.clear();
        ImGui::NewFrame();
        draw();
        ImGui::Render();
    }

    // Presses and releases the left button on `label` (recorded in the last frame); runs
    // two frames of `draw`. Returns false if no such widget was drawn.
    bool Click(const std::string& label, const std::function<void()>& draw) {
        return ClickOn(widgets_, label, draw);
    }

    // As Click, for a label drawn in the window `window` (labels such as "Stop" can appear
    // in more than one window; the plain label then names the last one drawn).
    bool ClickIn(const std::string& window, const std::string& label,
                 const std::function<void()>& draw) {
        return ClickOn(widgetsByWindow_, window + "/" + label, draw);
    }

    // Presses the left button at (x, y) in one frame and releases it in the next.
    void ClickAt(float x, float y, const std::function<void()>& draw) {
        ImGuiIO& io = ImGui::GetIO();
        io.MousePos = ImVec2(x, y);
        io.MouseDown[0] = true;
        Frame(draw);
        io.MouseDown[0] = false;
        Frame(draw);
    }

    // Opens the combo `label` (drawn in the last frame) and clicks its item `item`, turning
    // the mouse wheel until the item is in view (a list opens scrolled to its selection).
    // Returns false if there is no such combo or the item never comes into view.
    bool PickComboItem(const std::string& label, int item, const std::function<void()>& draw) {
        if (!Click(label, draw)) {
            return false;
        }
        Frame(draw);  // a popup is measured in its first frame and shown from the next
        const ImGuiContext& g = *ImGui::GetCurrentContext();
        if (g.OpenPopupStack.empty() || g.OpenPopupStack.back().Window == nullptr) {
            return false;
        }
        const ImGuiWindow* popup = g.OpenPopupStack.back().Window;
        ImGuiIO& io = ImGui::GetIO();
        for (int turn = 0; turn < 20; ++turn) {
            const float top = popup->DC.CursorStartPos.y +
                              (g.FontSize + g.Style.ItemSpacing.y) * static_cast<float>(item);
            const ImRect& inner = popup->InnerRect;
            if (top >= inner.Min.y && top + g.FontSize <= inner.Max.y) {
                ClickAt(popup->DC.CursorStartPos.x + 10.0F, top + g.FontSize / 2, draw);
                return true;
            }
            io.MousePos = inner.GetCenter();
            io.MouseWheel = top < inner.Min.y ? 1.0F : -1.0F;
            Frame(draw);
            io.MouseWheel = 0.0F;
            Frame(draw);
        }
        return false;
    }

    // Presses `key` (with Ctrl if asked) in one frame and releases it in the next.
    void PressKey(ImGuiKey key, bool ctrl, const std::function<void()>& draw) {
        ImGuiIO& io = ImGui::GetIO();
        io.KeyCtrl = ctrl;
        io.KeysDown[key] = true;
        Frame(draw);
        io.KeysDown[key] = false;
        io.KeyCtrl = false;
        Frame(draw);
    }

    // Types `text` into the focused field and presses Enter, one frame each.
    void Type(const std::string& text, const std::function<void()>& draw) {
        ImGuiIO& io = ImGui::GetIO();
        io.AddInputCharactersUTF8(text.c_str());
        Frame(draw);
        io.KeysDown[ImGuiKey_Enter] = true;
        Frame(draw);
        io.KeysDown[ImGuiKey_Enter] = false;
        Frame(draw);
    }

    bool Has(const std::string& label) const { return widgets_.count(label) != 0; }
    bool HasIn(const std::string& window, const std::string& label) const {
        return widgetsByWindow_.count(window + "/" + label) != 0;
    }
    // The first label (in label order) of the last frame that starts with `prefix`, for
    // reported texts whose end changes (counters, the spinner).
    std::optional<std::string> FindPrefix(const std::string& prefix) const {
        const auto it = widgets_.lower_bound(prefix);
        if (it == widgets_.end() || it->first.compare(0, prefix.size(), prefix) != 0) {
            return std::nullopt;
        }
        return it->first;
    }
    const WidgetInfo& Widget(const std::string& label) const {
        const auto it = widgets_.find(label);
        if (it == widgets_.end()) {
            throw std::runtime_error("no widget '" + label + "' in the last frame");
        }
        return it->second;
    }

    void Record(const std::string& label, float minX, float minY, float maxX, float maxY,
                bool disabled) override {
        // The text colour is read while the widget's own style is still pushed (a red field).
        const ImGuiWindow* window = ImGui::GetCurrentWindowRead();
        const ImVec4 text = ImGui::GetStyleColorVec4(ImGuiCol_Text);
        const WidgetInfo info{minX, minY, maxX, maxY, disabled, text, window ? window->Name : ""};
        widgetsByWindow_[info.window + "/" + label] = info;
        widgets_[label] = info;
    }

private:
    bool ClickOn(const std::map<std::string, WidgetInfo>& widgets, const std::string& key,
                 const std::function<void()>& draw) {
        const auto it = widgets.find(key);
        if (it == widgets.end()) {
            return false;
        }
        const WidgetInfo w = it->second;
        ClickAt((w.minX + w.maxX) / 2, (w.minY + w.maxY) / 2, draw);
        return true;
    }

    ImGuiContext* context_;
    std::map<std::string, WidgetInfo> widgets_;
    std::map<std::string, WidgetInfo> widgetsByWindow_;  // keyed "window/label"
};

}  // namespace kor_test
