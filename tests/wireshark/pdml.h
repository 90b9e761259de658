// Reads tshark's PDML output into the fields shown for each packet.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

namespace KorTest {

// What the dissectors showed for one packet.
struct PacketView {
    std::vector<std::string> protocols;                        // proto elements, in order
    std::map<std::string, std::vector<std::string>> fields;    // name -> "show" values, in order

    bool HasProtocol(const std::string& name) const;
    // The values shown for `name` (empty when the field is absent).
    const std::vector<std::string>& Values(const std::string& name) const;
};

// One PacketView per <packet> element; attribute values are unescaped.
std::vector<PacketView> ReadPdml(std::istream& in);

}  // namespace KorTest
