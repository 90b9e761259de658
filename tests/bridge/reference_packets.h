// OpenTrackIO packets built by the published reference sender (reference_packets.py), for
// the tests that read them.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace kor_test {

// Packets the reference sender builds, or the reason they cannot be had.
struct ReferencePackets {
    std::vector<std::vector<std::uint8_t>> packets;
    std::string skip;
};

// The reference sender's packets of `sample` (a file in the OpenTrackIO folder, or a path
// starting with '/'), or of a sample of its own when `sample` is empty, in FORMAT ("JSON" or
// "CBOR") and `segments` segments (0: as many as the size needs).
inline ReferencePackets FromReferenceSender(const std::string& format, int segments,
                                            const std::string& sample = "") {
    ReferencePackets result;
    const std::string shared = KOR_OPENTRACKIO_DIR;
#ifdef _WIN32
    result.skip =
        "the reference sender needs Debian's Python, which a Windows program cannot start";
    return result;
#endif
    if (!std::ifstream(shared + "/reference/opentrackio_sender.py")) {
        result.skip = "the OpenTrackIO reference sender is not in " + shared + "/reference";
        return result;
    }
    static int made = 0;
    const std::string out = ::testing::TempDir() + "kor-otrk-reference-" +
                            std::to_string(::getpid()) + "-" + std::to_string(++made);
    const std::string samplePath =
        sample.empty() ? "" : (sample.front() == '/' ? sample : shared + "/" + sample);
    const std::string command = "/usr/bin/python3 " KOR_REFERENCE_PACKETS " " + shared +
                                "/reference " + format + " " + std::to_string(segments) + " " +
                                out + (samplePath.empty() ? "" : " " + samplePath);
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::uint8_t> packet;
        for (std::size_t i = 0; i + 1 < line.size(); i += 2) {
            packet.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
        result.packets.push_back(std::move(packet));
    }
    std::remove(out.c_str());
    return result;
}

}  // namespace kor_test
