// Compares replays of a capture with the capture itself: the datagrams byte for byte and
// in order, and the spacing of their arrivals.
//
// Usage: kor_replay_check ORIGINAL.pcap REPLAY.pcap [REPLAY.pcap...]
//
// For each replay it prints the number of datagrams, whether every one equals the
// original's datagram at the same position, and the inter-arrival error: for each pair of
// neighbours, the replay's interval minus the original's, as p50, p99 and max of its
// magnitude in microseconds. Exit status 0 when every replay matches byte for byte, 1 when
// one does not, 2 when a file cannot be read.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pcap.h"

namespace {

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())) - 1);
    return values[std::min(index, values.size() - 1)];
}

bool Read(const char* path, Kor::Pcap::Capture& capture) {
    const Kor::Checked read = Kor::Pcap::ReadCaptureFile(path, capture);
    if (!read) {
        std::fprintf(stderr, "kor_replay_check: %s\n", read.Message().c_str());
    }
    return read.Ok();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: kor_replay_check ORIGINAL.pcap REPLAY.pcap [REPLAY.pcap...]\n");
        return 2;
    }
    Kor::Pcap::Capture original;
    if (!Read(argv[1], original)) {
        return 2;
    }
    const auto& sent = original.datagrams;
    const double seconds =
        sent.size() < 2 ? 0 : static_cast<double>(sent.back().timeNs - sent.front().timeNs) / 1e9;
    std::printf("original: %zu datagrams over %.3f s\n", sent.size(), seconds);
    bool allEqual = true;
    for (int arg = 2; arg < argc; ++arg) {
        Kor::Pcap::Capture replay;
        if (!Read(argv[arg], replay)) {
            return 2;
        }
        const auto& got = replay.datagrams;
        std::size_t equal = 0;
        while (equal < std::min(sent.size(), got.size()) &&
               sent[equal].payload == got[equal].payload) {
            ++equal;
        }
        const bool same = equal == sent.size() && equal == got.size();
        allEqual = allEqual && same;
        std::vector<double> errorsUs;
        for (std::size_t i = 1; i < equal; ++i) {
            const auto replayed = got[i].timeNs - got[i - 1].timeNs;
            const auto recorded = sent[i].timeNs - sent[i - 1].timeNs;
            errorsUs.push_back(std::abs(static_cast<double>(replayed - recorded)) / 1e3);
        }
        std::printf("%s: %zu datagrams, %s", argv[arg], got.size(),
                    same ? "all equal and in order" : "DIFFERENT");
        if (!same) {
            std::printf(" (the first %zu equal)", equal);
        }
        std::printf("; inter-arrival error p50 %.1f us, p99 %.1f us, max %.1f us\n",
                    Percentile(errorsUs, 0.50), Percentile(errorsUs, 0.99),
                    Percentile(errorsUs, 1.0));
    }
    return allEqual ? 0 : 1;
}
