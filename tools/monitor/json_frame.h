// One finished frame as a JSON object: status, receive time and the fields its records
// carried, named as the TelemetryData members.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include <kor/device.h>
#include <kor/telemetry.h>

namespace KorMonitor {

// Where a frame came from.
struct Origin {
    std::string sender;      // "IP:PORT", or "serial" for a serial input
    // The source's number, from 1 in the order of first arrival; none for a frame refused
    // before its sender's first applied frame, which belongs to no source.
    std::optional<std::size_t> source = 1;
};

// The JSON object of one finished frame, keys in this order:
//  "status"              the FrameStatus enumerator's name, e.g. "NewTimecode";
//  "receiveTime"         ISO-8601 UTC with microseconds, e.g. "2024-05-01T12:34:56.123456Z";
//  "receiveEpochSeconds" the same instant as seconds since 1970 (UTC);
//  "sender"              the sender, "IP:PORT" or "serial";
//  "source"              the source's number: its sender and the subject its frames carry
//                        (null for a frame refused before its sender's first applied one);
// and, for an applied frame only:
//  "messages"            the names of the frame's record types in frame order;
//  the fields those record types carry, taken from state (the state after the frame),
//  with the TelemetryData member names, e.g. "focus", "timecodeHours", "focusValid",
//  "zeissZd": {"aperture": ...}; each field once, however many records carried it.
// Floats are written with the shortest decimal that reads back as the same float, so
// 2.8 is written 2.8 and not 2.7999999523162842.
nlohmann::ordered_json FrameJson(Kor::Protocol::FrameStatus status,
                                 std::chrono::system_clock::time_point received,
                                 const Origin& origin,
                                 std::span<const Kor::Protocol::MessageType> types,
                                 const Kor::Protocol::TelemetryData& state);

// Writes the fields that records of one type carry into object (nothing for a type that
// carries none).
void AddMessageFields(nlohmann::ordered_json& object, Kor::Protocol::MessageType type,
                      const Kor::Protocol::TelemetryData& state);

// A JSON text on one line. Strings from the wire are arbitrary bytes: bytes that are not
// valid UTF-8 are replaced by U+FFFD instead of failing.
std::string DumpLine(const nlohmann::ordered_json& object);

// ISO-8601 UTC with microseconds, e.g. "2024-05-01T12:34:56.123456Z".
std::string IsoUtc(std::chrono::system_clock::time_point time);

}  // namespace KorMonitor
