// Expected dissector fields: what the library's Device makes of a datagram, in the
// dissector's field names, and how one packet's fields are checked against them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <kor/device.h>

#include "pdml.h"

namespace KorTest {

// One expected value of a field. `fromEnd` picks the occurrence counted from the last one
// (0 = last), since a later record overwrites what an earlier one of its type wrote.
struct Expect {
    enum class Kind { Exact, Real, Absent };
    std::string field;
    Kind kind = Kind::Exact;
    std::string text;
    double real = 0;
    std::size_t fromEnd = 0;
};

Expect ExpectInt(const std::string& field, std::uint64_t value, std::size_t fromEnd = 0);
Expect ExpectSigned(const std::string& field, std::int64_t value);
Expect ExpectBool(const std::string& field, bool value);
Expect ExpectReal(const std::string& field, double value, std::size_t fromEnd = 0);
Expect ExpectText(const std::string& field, const std::string& value);
Expect ExpectAbsent(const std::string& field);

// Decodes `datagram` with a fresh Device. `accepted` tells whether the Device applied it;
// if so the result lists, for every record type in the datagram, the fields of the new
// state that the dissector must show.
std::vector<Expect> DeviceView(const std::vector<std::uint8_t>& datagram,
                               Kor::Protocol::FrameStatus& status, bool& accepted);

// Checks one expectation against a packet; returns an empty string or what is wrong.
std::string Check(const Expect& expect, const PacketView& packet);

// "field = value" for printing.
std::string Describe(const Expect& expect);

const char* StatusName(Kor::Protocol::FrameStatus status);

// The names of the Kor expert infos shown in a packet.
std::set<std::string> KorExperts(const PacketView& packet);

}  // namespace KorTest
