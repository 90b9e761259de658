// PDML reader: tshark writes one element per line, which is all this reader relies on.
#include "pdml.h"

namespace KorTest {
namespace {

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t end = text.find(';', i);
        if (end == std::string::npos) {
            out += text[i];
            continue;
        }
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "amp") {
            out += '&';
        } else if (entity == "lt") {
            out += '<';
        } else if (entity == "gt") {
            out += '>';
        } else if (entity == "quot") {
            out += '"';
        } else if (entity == "apos") {
            out += '\'';
        } else if (entity.size() > 2 && entity[0] == '#' && entity[1] == 'x') {
            out += static_cast<char>(std::stoul(entity.substr(2), nullptr, 16));
        } else if (entity.size() > 1 && entity[0] == '#') {
            out += static_cast<char>(std::stoul(entity.substr(1)));
        } else {
            out += text.substr(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

// The value of attribute `name` in `line`, or false when the line has none.
bool Attribute(const std::string& line, const std::string& name, std::string& value) {
    const std::string key = " " + name + "=\"";
    const std::size_t start = line.find(key);
    if (start == std::string::npos) {
        return false;
    }
    const std::size_t from = start + key.size();
    const std::size_t end = line.find('"', from);
    if (end == std::string::npos) {
        return false;
    }
    value = Unescape(line.substr(from, end - from));
    return true;
}

}  // namespace

bool PacketView::HasProtocol(const std::string& name) const {
    for (const auto& p : protocols) {
        if (p == name) {
            return true;
        }
    }
    return false;
}

const std::vector<std::string>& PacketView::Values(const std::string& name) const {
    static const std::vector<std::string> kNone;
    const auto it = fields.find(name);
    return it == fields.end() ? kNone : it->second;
}

std::vector<PacketView> ReadPdml(std::istream& in) {
    std::vector<PacketView> packets;
    std::string line;
    bool inPacket = false;
    while (std::getline(in, line)) {
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        const std::string body = line.substr(first);
        if (body.rfind("<packet>", 0) == 0) {
            packets.emplace_back();
            inPacket = true;
        } else if (body.rfind("</packet>", 0) == 0) {
            inPacket = false;
        } else if (inPacket && body.rfind("<proto ", 0) == 0) {
            std::string name;
            if (Attribute(body, "name", name)) {
                packets.back().protocols.push_back(name);
            }
        } else if (inPacket && body.rfind("<field ", 0) == 0) {
            std::string name;
            std::string show;
            if (Attribute(body, "name", name)) {
                Attribute(body, "show", show);
                packets.back().fields[name].push_back(show);
            }
        }
    }
    return packets;
}

}  // namespace KorTest
