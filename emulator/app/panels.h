// The control window's panels: each draws from and edits the model, once per frame.
#pragma once

#include <string>

#include "emulator_model.h"
#include "file_dialog.h"

namespace Kor::Emulator {

// The whole control window for one frame (between ImGui::NewFrame and ImGui::Render):
// takes the model lock, notices the end of a lens file playback, then draws the "Kor
// Emulator" and "Message settings" panels side by side (or stacked when the window is
// narrower than wideLayoutMinWidth).
void drawControlWindow(EmulatorModel& model, FileDialog& dialog);

// Parts of the "Kor Emulator" panel (called with the model lock held).
void drawAboutLine(EmulatorModel& model);
void drawRunControls(EmulatorModel& model);
void drawDestination(EmulatorModel& model);
void drawValueEditors(EmulatorModel& model);

// A float range (two drag handles, clamped to [lowerLimit, upperLimit]) and a slider for
// `value` within it; the value is clamped into the range every frame.
void rangeSlider(const std::string& label, float& value, float& min, float& max, float lowerLimit,
                 float upperLimit);

// The "Message settings" panel and its lens file cell (called with the model lock held).
void drawMessageSettings(EmulatorModel& model, FileDialog& dialog);
void drawLensFileCell(EmulatorModel& model, FileDialog& dialog);

// The IP field's text made into four numbers 0..255 joined by '.': "300" gives
// "255.0.0.0", "10.1" gives "10.1.0.0", "" gives "0.0.0.0".
std::string normaliseIp(const std::string& text);

// The spinner character for the time `seconds` (advances every 50 ms).
char spinnerAt(double seconds);

// Test seam: when ImGui's io.UserData points to a WidgetRecorder, the panels report every
// labelled widget (buttons, combos, fields, sliders, checkboxes) right after drawing it,
// with its rectangle and whether it was disabled, so that tests can point the mouse at it
// and read the state. The program leaves io.UserData empty.
class WidgetRecorder {
public:
    WidgetRecorder() = default;
    WidgetRecorder(const WidgetRecorder&) = delete;
    WidgetRecorder& operator=(const WidgetRecorder&) = delete;
    virtual ~WidgetRecorder() = default;
    virtual void Record(const std::string& label, float minX, float minY, float maxX, float maxY,
                        bool disabled) = 0;
};

// Reports the last drawn widget under `label` to the recorder, if there is one.
void recordWidget(const std::string& label);

// printf-style formatting into a string: for status texts that are shown and also reported
// to the recorder (under the text itself), so that tests can read them.
#if defined(__GNUC__)
#define KOR_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define KOR_PRINTF_FORMAT(formatIndex, firstArgument)
#endif
std::string formatText(const char* format, ...) KOR_PRINTF_FORMAT(1, 2);

}  // namespace Kor::Emulator
