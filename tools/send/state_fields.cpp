// --set and --state: the settable fields of the record with their editors' limits, and how
// a value reaches the model.
#include "state_fields.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "utf8.h"

namespace Kor::Send {
namespace {

using Tools::FieldMember;
using Tools::RecordField;
using TD = Protocol::TelemetryData;

// The longest string a record carries (the encoder cuts longer ones).
constexpr double kLongestText = 65;

// A field the editors set, with the limits of its editor: of the value for numbers, of the
// length in bytes for texts. The ids take what the wire carries (their "none" excepted),
// which --cameras needs beyond the window's 0 to 10.
struct Settable {
    FieldMember member;
    double min;
    double max;
};

const Settable kSettable[] = {
    {&TD::subjectId, 0, 65534},
    {&TD::channelId, 0, 254},
    {&TD::projectFps, 1, 5},
    {&TD::tickCountType, 0, 2},
    {&TD::focus, 450, 16777215},
    {&TD::iris, Tools::ShortestDouble(Emulator::kTStops.front()),
     Tools::ShortestDouble(Emulator::kTStops.back())},
    {&TD::zoom, 1, 650},
    {&TD::minFocalLength, 1, 650},
    {&TD::maxFocalLength, 1, 650},
    {&TD::minIris, Tools::ShortestDouble(Emulator::kTStops.front()),
     Tools::ShortestDouble(Emulator::kTStops.back())},
    {&TD::maxIris, Tools::ShortestDouble(Emulator::kTStops.front()),
     Tools::ShortestDouble(Emulator::kTStops.back())},
    {&TD::positionX, -10000, 10000},
    {&TD::positionY, -10000, 10000},
    {&TD::positionZ, -10000, 10000},
    {&TD::roll, -360, 360},
    {&TD::pitch, -360, 360},
    {&TD::yaw, -360, 360},
    {&TD::clipName, 0, kLongestText},
    {&TD::productBrand, 0, kLongestText},
    {&TD::productName, 0, kLongestText},
    {&TD::productSerial, 0, kLongestText},
    {&TD::lensManufacturer, 0, kLongestText},
    {&TD::lensName, 0, kLongestText},
    {&TD::lensSerial, 0, kLongestText},
};

// The keys of kor-monitor's lines that are not fields of the record.
constexpr std::array<std::string_view, 7> kLineKeys{
    "status", "receiveTime", "receiveEpochSeconds", "messages", "duplicate", "sender", "source"};

const Settable* SettableOf(const RecordField& field) {
    const auto found = std::find_if(std::begin(kSettable), std::end(kSettable),
                                    [&](const Settable& s) { return s.member == field.member; });
    return found == std::end(kSettable) ? nullptr : &*found;
}

bool IsText(const Settable& s) {
    return std::holds_alternative<std::string TD::*>(s.member);
}

bool IsWhole(const Settable& s) {
    return !IsText(s) && !std::holds_alternative<float TD::*>(s.member);
}

// A number as a person writes it: 450, 1.8, 16777215.
std::string NumberText(double value) {
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    return std::string(text, written.ptr);
}

// Refusal of an unknown or unsettable name.
Checked NotSettable(std::string_view name, bool known) {
    return Checked::Refused(std::string(name) + (known ? ": cannot be set" : ": unknown field") +
                            " (settable: " + SettableFieldNames() + ")");
}

// The setting of `field` to a number (`text` empty) or a text, checked against its limits;
// `shown` is the value as the user gave it.
Checked SettingOf(const RecordField& field, const Settable& s, std::optional<double> number,
                  const std::string* text, const std::string& shown, FieldSetting& setting) {
    const std::string name(field.name);
    if (IsText(s)) {
        if (text == nullptr) {
            return Checked::Refused(name + ": needs a text, not " + shown);
        }
        if (static_cast<double>(text->size()) > s.max) {
            return Checked::Refused(name + ": at most " + NumberText(s.max) +
                                    " bytes travel, not " + std::to_string(text->size()));
        }
        setting = {&field, 0, *text};
        return {};
    }
    const bool whole = IsWhole(s);
    if (!number || !std::isfinite(*number) || *number < s.min || *number > s.max ||
        (whole && std::floor(*number) != *number)) {
        return Checked::Refused(name + ": needs a " + (whole ? "whole " : "") + "number from " +
                                NumberText(s.min) + " to " + NumberText(s.max) + ", not " + shown);
    }
    setting = {&field, *number, {}};
    return {};
}

// The number a text spells entirely, if it does.
std::optional<double> ParseNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || at != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::size_t NearestStop(const std::vector<float>& stops, float value) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < stops.size(); ++i) {
        if (std::fabs(stops[i] - value) < std::fabs(stops[best] - value)) {
            best = i;
        }
    }
    return best;
}

void Widen(Emulator::AnimatedRange& range, float value) {
    range.min = std::min(range.min, value);
    range.max = std::max(range.max, value);
}

// The editor's own state for a field just written to liveState.
void FollowEditor(const FieldSetting& setting, Emulator::EmulatorModel& model) {
    TD& s = model.transmitter.liveState;
    const FieldMember& m = setting.field->member;
    const auto whole = static_cast<std::int32_t>(setting.number);
    const auto stop = [&](float value) {
        return static_cast<std::int32_t>(NearestStop(model.tStops, value));
    };
    if (m == FieldMember{&TD::subjectId}) {
        model.subjectIdChoice = whole;
    } else if (m == FieldMember{&TD::channelId}) {
        model.channelIdChoice = whole;
    } else if (m == FieldMember{&TD::projectFps}) {
        model.projectFpsChoice = whole - 1;
    } else if (m == FieldMember{&TD::tickCountType}) {
        model.tickCountTypeChoice = whole;
    } else if (m == FieldMember{&TD::focus}) {
        model.focusMin = std::min(model.focusMin, s.focus);
        model.focusMax = std::max(model.focusMax, s.focus);
    } else if (m == FieldMember{&TD::iris}) {
        model.irisIndex = stop(s.iris);
        model.irisPosition = static_cast<float>(model.irisIndex);
    } else if (m == FieldMember{&TD::minIris}) {
        model.irisMinIndex = stop(s.minIris);
    } else if (m == FieldMember{&TD::maxIris}) {
        model.irisMaxIndex = stop(s.maxIris);
    } else if (m == FieldMember{&TD::positionX}) {
        Widen(model.xRange, s.positionX);
    } else if (m == FieldMember{&TD::positionY}) {
        Widen(model.yRange, s.positionY);
    } else if (m == FieldMember{&TD::positionZ}) {
        Widen(model.zRange, s.positionZ);
    } else if (m == FieldMember{&TD::roll}) {
        Widen(model.rollRange, s.roll);
    } else if (m == FieldMember{&TD::pitch}) {
        Widen(model.pitchRange, s.pitch);
    } else if (m == FieldMember{&TD::yaw}) {
        Widen(model.yawRange, s.yaw);
    }
}

}  // namespace

bool IsSettable(const RecordField& field) {
    return SettableOf(field) != nullptr;
}

std::string SettableFieldNames() {
    std::string names;
    for (const Settable& s : kSettable) {
        for (const RecordField& field : Tools::RecordFields()) {
            if (field.member == s.member) {
                names += (names.empty() ? "" : ", ") + std::string(field.name);
                break;
            }
        }
    }
    return names;
}

Checked ParseFieldSetting(const std::string& entry, std::vector<FieldSetting>& settings) {
    const auto equals = entry.find('=');
    if (equals == std::string::npos) {
        return Checked::Refused("--set needs FIELD=VALUE, not '" + entry + "'");
    }
    const std::string name = entry.substr(0, equals);
    const std::string value = entry.substr(equals + 1);
    const RecordField* field = Tools::FindRecordField(name);
    const Settable* settable = field ? SettableOf(*field) : nullptr;
    if (settable == nullptr) {
        return Checked::Refused("--set " + NotSettable(name, field != nullptr).Message());
    }
    FieldSetting setting;
    const Checked checked =
        SettingOf(*field, *settable, ParseNumber(value), &value, "'" + value + "'", setting);
    if (!checked) {
        return Checked::Refused("--set " + checked.Message());
    }
    settings.push_back(std::move(setting));
    return {};
}

Checked StateFieldsOf(const nlohmann::json& object, std::vector<FieldSetting>& settings) {
    if (!object.is_object()) {
        return Checked::Refused("needs a JSON object of fields, not " +
                                std::string(object.type_name()));
    }
    for (const auto& [key, value] : object.items()) {
        if (std::find(kLineKeys.begin(), kLineKeys.end(), key) != kLineKeys.end()) {
            continue;
        }
        const RecordField* field = Tools::FindRecordField(key);
        if (field == nullptr) {
            return NotSettable(key, false);
        }
        const Settable* settable = SettableOf(*field);
        if (settable == nullptr) {
            continue;  // follows the clock or other fields: kor-monitor's lines carry them
        }
        std::optional<double> number;
        if (value.is_number()) {
            number = value.get<double>();
        }
        const std::string* text = value.is_string() ? value.get_ptr<const std::string*>() : nullptr;
        FieldSetting setting;
        if (Checked checked = SettingOf(*field, *settable, number, text, value.dump(), setting);
            !checked) {
            return checked;
        }
        settings.push_back(std::move(setting));
    }
    return {};
}

Checked ReadStateFile(const std::string& path, std::vector<FieldSetting>& settings) {
    std::ifstream in(Platform::PathFromUtf8(path), std::ios::binary);
    if (!in) {
        return Checked::Refused("--state: cannot read " + path);
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    const std::string where = "--state " + path + ": ";
    const auto refused = [&where](const Checked& checked) {
        return Checked::Refused(where + checked.Message());
    };
    // One object, however it is laid out.
    const nlohmann::json whole = nlohmann::json::parse(text, nullptr, false);
    if (!whole.is_discarded()) {
        const Checked checked = StateFieldsOf(whole, settings);
        return checked ? checked : refused(checked);
    }
    // kor-monitor's --json output: one object per line, the last one its summary.
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        if (object.is_discarded()) {
            return Checked::Refused(where + "line " + std::to_string(number) +
                                    " is not JSON (needs one object, or one object per line)");
        }
        if (object.is_object() && object.size() == 1 && object.contains("summary")) {
            continue;  // kor-monitor's last line
        }
        if (Checked checked = StateFieldsOf(object, settings); !checked) {
            return Checked::Refused(where + "line " + std::to_string(number) + ": " +
                                    checked.Message());
        }
    }
    return {};
}

Checked ApplyFieldSettings(const std::vector<FieldSetting>& settings,
                           Emulator::EmulatorModel& model) {
    TD& s = model.transmitter.liveState;
    for (const FieldSetting& setting : settings) {
        std::visit(
            [&](auto member) {
                using Member = decltype(member);
                if constexpr (std::is_member_object_pointer_v<Member>) {
                    using Value = std::remove_reference_t<decltype(s.*member)>;
                    if constexpr (std::is_same_v<Value, std::string>) {
                        s.*member = setting.text;
                    } else {
                        s.*member = static_cast<Value>(setting.number);
                    }
                }
            },
            setting.field->member);
        FollowEditor(setting, model);
    }
    model.irisIndex = std::clamp(model.irisIndex, model.irisMinIndex, model.irisMaxIndex);
    model.rebuildSchedule();
    const auto text = [](float value) { return NumberText(Tools::ShortestDouble(value)); };
    if (s.minFocalLength > s.maxFocalLength) {
        return Checked::Refused("minFocalLength " + text(s.minFocalLength) +
                                " lies above maxFocalLength " + text(s.maxFocalLength));
    }
    if (s.zoom < s.minFocalLength || s.zoom > s.maxFocalLength) {
        return Checked::Refused("zoom " + text(s.zoom) + " lies outside the focal length range " +
                                text(s.minFocalLength) + " to " + text(s.maxFocalLength) +
                                " (minFocalLength, maxFocalLength)");
    }
    if (s.minIris > s.maxIris) {
        return Checked::Refused("minIris " + text(s.minIris) + " lies above maxIris " +
                                text(s.maxIris));
    }
    if (s.iris < s.minIris || s.iris > s.maxIris) {
        return Checked::Refused("iris " + text(s.iris) + " lies outside the iris range " +
                                text(s.minIris) + " to " + text(s.maxIris) + " (minIris, maxIris)");
    }
    return {};
}

}  // namespace Kor::Send
