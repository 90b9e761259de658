// Writes UDP datagrams into a classic libpcap capture file (raw IPv4 link type).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace KorTest {

class PcapFile {
public:
    // Opens `path` for writing and writes the file header; `good()` tells whether it worked.
    explicit PcapFile(const std::string& path);

    bool good() const { return out.good(); }

    // Appends one packet: an IPv4 header, a UDP header from `sourcePort` to `destPort`
    // (127.0.0.1 to 127.0.0.1, no UDP checksum) and `payload`. Packet n is stamped n seconds
    // after the start of the capture.
    void AddUdp(std::uint16_t sourcePort, std::uint16_t destPort,
                const std::vector<std::uint8_t>& payload);

private:
    std::ofstream out;
    std::uint32_t packets = 0;
};

}  // namespace KorTest
