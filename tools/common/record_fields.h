// The telemetry record's fields as the tools name them in JSON: kor-monitor writes its lines
// with these names, and kor-send's --set and --state read them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include <kor/telemetry.h>

namespace Kor::Tools {

using Protocol::TelemetryData;

// Where a field lives in the record: a plain member, or (for the nested Zeiss and radio
// values and the encoder array) a function that writes the whole JSON value.
using FieldMember =
    std::variant<bool TelemetryData::*, std::uint8_t TelemetryData::*,
                 std::uint16_t TelemetryData::*, std::uint32_t TelemetryData::*,
                 std::uint64_t TelemetryData::*, float TelemetryData::*,
                 std::string TelemetryData::*, nlohmann::ordered_json (*)(const TelemetryData&)>;

// One field: its name (the TelemetryData member's name), the record type that carries it
// and where it lives. A field carried by several record types (productInfoComplete, ...)
// is listed once under each.
struct RecordField {
    std::string_view name;
    Protocol::MessageType type;
    FieldMember member;
};

// Every field, grouped by record type in catalogue order, each type's fields in the order
// a JSON line lists them.
std::span<const RecordField> RecordFields();

// The fields records of `type` carry, in order (none for a type that carries none).
std::span<const RecordField> FieldsOf(Protocol::MessageType type);

// The field of that name (its first listing), or null.
const RecordField* FindRecordField(std::string_view name);

// The field's value in `state` as JSON. Floats are written with the shortest decimal that
// reads back as the same float, so 2.8 is written 2.8 and not 2.7999999523162842.
nlohmann::ordered_json FieldJson(const RecordField& field, const TelemetryData& state);

// A float as the double that its shortest round-trip decimal reads as.
double ShortestDouble(float value);

}  // namespace Kor::Tools
