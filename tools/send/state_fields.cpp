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

// The longest string a record carries (the encoder cuts longer ones, the decoder takes no
// longer one).
constexpr double kLongestText = 65;

// The largest values the record's fixed-point fields carry: 24 bits of focus (mm), 24 bits
// of hundredths of a millimetre for the focal lengths, 16 bits of hundredths for the
// T-stops, and a signed 32-bit count of hundredths of a millimetre for the positions (its
// most negative value means "not available"). Zero in focus, zoom, iris and the lens
// ranges means "not available" too and loads as such.
constexpr double kMostFocus = 16777215;
constexpr double kMostFocalLength = 167772.15;
constexpr double kMostStop = 655.35;
constexpr double kMostPosition = 21474836.47;

// A field that can be set, with the values it takes: of the value for numbers, of the
// length in bytes for texts. A number takes whatever the record carries, so that a line
// kor-monitor wrote from any camera loads: a T1.3 prime, a focus of 300 mm, a crane 50 m
// out. That is wider than the window's editors (ids 0 to 10, focus from 450 mm, T-stops
// 1.8 to 64, focal lengths to 650 mm, positions to 10 m); the simulation's ranges widen to
// take a value in, and the iris steps through the editor's stops nearest its range. The
// angles keep the editor's -360 to 360 (the record carries -327.67 to 327.67 and the
// encoder brings a larger angle into range by whole turns). The ids take their "none"
// (65535, 255), which the emulator then sends as a camera does. The project frame rate
// alone keeps the editor's codes 1 to 5: the emulator paces the messages sent at the
// project rate and counts its timecode by it, so "none" (0) would stop them; --state skips
// a 0 instead (see kNoneSkipped).
struct Settable {
    FieldMember member;
    double min;
    double max;
};

// A float field's limit as the value a float holds (and kor-monitor writes) for it: the
// largest zoom the record carries reads back as 167772.16, not 167772.15.
double AsFloat(double limit) {
    return Tools::ShortestDouble(static_cast<float>(limit));
}

const Settable kSettable[] = {
    {&TD::subjectId, 0, 65535},
    {&TD::channelId, 0, 255},
    {&TD::projectFps, 1, 5},
    {&TD::tickCountType, 0, 2},
    {&TD::focus, 0, kMostFocus},
    {&TD::iris, 0, AsFloat(kMostStop)},
    {&TD::zoom, 0, AsFloat(kMostFocalLength)},
    {&TD::minFocalLength, 0, AsFloat(kMostFocalLength)},
    {&TD::maxFocalLength, 0, AsFloat(kMostFocalLength)},
    {&TD::minIris, 0, AsFloat(kMostStop)},
    {&TD::maxIris, 0, AsFloat(kMostStop)},
    {&TD::positionX, -AsFloat(kMostPosition), AsFloat(kMostPosition)},
    {&TD::positionY, -AsFloat(kMostPosition), AsFloat(kMostPosition)},
    {&TD::positionZ, -AsFloat(kMostPosition), AsFloat(kMostPosition)},
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

// Values a camera sends to say "none" that the emulator cannot send as they are: a state
// file's field with one is skipped, keeping the emulator's own value.
struct NoneValue {
    FieldMember member;
    double value;
};
const NoneValue kNoneSkipped[] = {{&TD::projectFps, 0}};

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

// Refusal of an unknown or unsettable field (null for an unknown name), with the reason
// where it is that the emulator never sends the record that carries the field.
Checked NotSettable(std::string_view name, const RecordField* field) {
    std::string why = ": unknown field";
    if (field != nullptr) {
        why = ": cannot be set";
        const auto& sent = Emulator::kMessageOrder;
        if (std::find(sent.begin(), sent.end(), field->type) == sent.end()) {
            why +=
                ", the emulator sends no " + std::string(Protocol::Name(field->type)) + " record";
        }
    }
    return Checked::Refused(std::string(name) + why + " (settable: " + SettableFieldNames() + ")");
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
    } else if (m == FieldMember{&TD::focus} && s.focus != 0) {
        // 0, "not available", leaves the sweep alone: the simulation starts from its range.
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
        return Checked::Refused("--set " + NotSettable(name, field).Message());
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
            return NotSettable(key, nullptr);
        }
        const Settable* settable = SettableOf(*field);
        if (settable == nullptr) {
            continue;  // follows the clock or other fields: kor-monitor's lines carry them
        }
        std::optional<double> number;
        if (value.is_number()) {
            number = value.get<double>();
        }
        const auto none =
            std::find_if(std::begin(kNoneSkipped), std::end(kNoneSkipped),
                         [&](const NoneValue& n) { return n.member == field->member; });
        if (number && none != std::end(kNoneSkipped) && *number == none->value) {
            continue;  // "none" that the emulator cannot send: it keeps its own value
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
    // Zero is "not available" in each of these: a camera that sends no focal length range
    // (or no zoom) has nothing to compare, so only the values it does send must fit.
    const auto text = [](float value) { return NumberText(Tools::ShortestDouble(value)); };
    const auto outside = [](float value, float min, float max) {
        return value != 0 && ((min != 0 && value < min) || (max != 0 && value > max));
    };
    if (s.minFocalLength != 0 && s.maxFocalLength != 0 && s.minFocalLength > s.maxFocalLength) {
        return Checked::Refused("minFocalLength " + text(s.minFocalLength) +
                                " lies above maxFocalLength " + text(s.maxFocalLength));
    }
    if (outside(s.zoom, s.minFocalLength, s.maxFocalLength)) {
        return Checked::Refused("zoom " + text(s.zoom) + " lies outside the focal length range " +
                                text(s.minFocalLength) + " to " + text(s.maxFocalLength) +
                                " (minFocalLength, maxFocalLength)");
    }
    if (s.minIris != 0 && s.maxIris != 0 && s.minIris > s.maxIris) {
        return Checked::Refused("minIris " + text(s.minIris) + " lies above maxIris " +
                                text(s.maxIris));
    }
    if (outside(s.iris, s.minIris, s.maxIris)) {
        return Checked::Refused("iris " + text(s.iris) + " lies outside the iris range " +
                                text(s.minIris) + " to " + text(s.maxIris) + " (minIris, maxIris)");
    }
    return {};
}

}  // namespace Kor::Send
