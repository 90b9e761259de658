// kor-send's --set FIELD=VALUE and --state FILE: values for the fields of the record that
// the window's value editors set, named as in kor-monitor's JSON lines.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "checked.h"
#include "emulator_model.h"
#include "record_fields.h"

namespace Kor::Send {

// One field and its value, checked against the values the record carries for it (see
// kSettable in the source for where that is narrower or wider): a number (whole for the
// integer fields) or a text.
struct FieldSetting {
    const Tools::RecordField* field = nullptr;
    double number = 0;
    std::string text;
};

// Whether the field may be set (subjectId, focus, lensName, ...); the others follow the
// clock (timecode, tick count, PTP time), the other fields (validity flags, raw encoder
// counts) or are not sent by the emulator (SensorSize, Zeiss and radio values).
bool IsSettable(const Tools::RecordField& field);

// The names of the settable fields, comma-separated, for messages and help.
std::string SettableFieldNames();

// "FIELD=VALUE" (one --set) as a setting appended to `settings`; refused in one line that
// names the field: an unknown or unsettable field, a bad value, or one outside its limits.
Checked ParseFieldSetting(const std::string& entry, std::vector<FieldSetting>& settings);

// The fields of a JSON object as settings appended to `settings`. Keys of kor-monitor's
// lines that are no settable field are skipped: its own keys (status, receiveTime,
// receiveEpochSeconds, messages, duplicate, sender, source) and the record's fields that
// cannot be set (timecode, validity flags, ...), and so is a projectFps of 0 ("none"),
// which leaves the emulator's frame rate as it is. Any other key is refused as an unknown
// field, and so is a settable field with a value of the wrong kind or outside its limits.
Checked StateFieldsOf(const nlohmann::json& object, std::vector<FieldSetting>& settings);

// --state: a file holding one JSON object, or kor-monitor's --json lines (one object per
// line; the lines of frames load in order, a later one overriding, and the summary line is
// skipped). Refusals name the file (and the line).
Checked ReadStateFile(const std::string& path, std::vector<FieldSetting>& settings);

// Gives the settings to a model in order (with transmitter.modelMutex held): each value to
// liveState, and to the editor's own state where it keeps one (the id combos, the T-stop
// indices, the simulation's ranges, which widen to a value outside them). Refused, leaving
// the model partly set, when the lens values do not fit together: zoom outside the focal
// length range, iris outside minIris to maxIris, or a range with its ends swapped (a 0,
// "not available", is compared with nothing).
Checked ApplyFieldSettings(const std::vector<FieldSetting>& settings,
                           Emulator::EmulatorModel& model);

}  // namespace Kor::Send
