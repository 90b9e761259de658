// One finished frame as a JSON object.
#include "json_frame.h"

#include <cstdio>
#include <ctime>

#include "local_time.h"
#include "record_fields.h"

namespace KorMonitor {

using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using nlohmann::ordered_json;

void AddMessageFields(ordered_json& object, MessageType type, const TelemetryData& s) {
    // Reserved types carry no fields (and never appear in an applied frame).
    for (const Kor::Tools::RecordField& field : Kor::Tools::FieldsOf(type)) {
        object[std::string(field.name)] = Kor::Tools::FieldJson(field, s);
    }
}

ordered_json FrameJson(Kor::Protocol::FrameStatus status,
                       std::chrono::system_clock::time_point received, const Origin& origin,
                       std::span<const MessageType> types, const TelemetryData& state) {
    ordered_json object;
    object["status"] = Kor::Protocol::Name(status);
    object["receiveTime"] = IsoUtc(received);
    const auto micros = std::chrono::floor<std::chrono::microseconds>(received.time_since_epoch());
    object["receiveEpochSeconds"] = static_cast<double>(micros.count()) / 1e6;
    object["sender"] = origin.sender;
    object["source"] =
        origin.source ? nlohmann::ordered_json(*origin.source) : nlohmann::ordered_json(nullptr);
    if (!Kor::Protocol::FrameReport{status, {}}.Applied()) {
        return object;
    }
    ordered_json names = ordered_json::array();
    for (const MessageType type : types) {
        names.push_back(Kor::Protocol::Name(type));
    }
    object["messages"] = std::move(names);
    for (const MessageType type : types) {
        AddMessageFields(object, type, state);
    }
    return object;
}

std::string DumpLine(const ordered_json& object) {
    return object.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    const auto since = std::chrono::floor<std::chrono::microseconds>(time.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto micros = (since - seconds).count();
    std::tm utc{};
    Kor::Platform::UtcCalendar(seconds.count(), utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(micros));
    return text;
}

}  // namespace KorMonitor
