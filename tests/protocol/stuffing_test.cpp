// The word-at-a-time checksum and byte stuffing against plain byte loops.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "framing.h"
#include "test_util.h"

namespace {

using Kor::Protocol::detail::Checksum;
using Kor::Protocol::detail::StuffInPlace;

std::uint8_t ReferenceChecksum(const std::vector<std::uint8_t>& bytes) {
    return kor_test::SerialChecksum(bytes, bytes.size());
}

// Walks from the last byte to the first, as the framing is defined.
void ReferenceStuff(std::vector<std::uint8_t>& data) {
    std::size_t p = data.size();
    for (std::size_t i = data.size(); i-- > 1;) {
        if (data[i] == 0) {
            data[i] = static_cast<std::uint8_t>(p - i);
            p = i;
        }
    }
    data[0] = static_cast<std::uint8_t>(p);
}

// Random buffers of every length a frame can have (and longer ones for the checksum),
// with zero densities from none to all, in every alignment.
TEST(Stuffing, MatchesByteLoops) {
    std::mt19937 rng(20261206);
    for (int zeroPercent : {0, 3, 15, 50, 100}) {
        std::bernoulli_distribution isZero(zeroPercent / 100.0);
        std::uniform_int_distribution<int> nonZero(1, 255);
        for (std::size_t size = 1; size <= 255; ++size) {
            for (std::size_t offset = 0; offset < 3; ++offset) {
                std::vector<std::uint8_t> buffer(offset + size);
                for (auto& b : buffer) {
                    b = isZero(rng) ? 0 : static_cast<std::uint8_t>(nonZero(rng));
                }
                std::vector<std::uint8_t> part(buffer.begin() + static_cast<long>(offset),
                                               buffer.end());
                ASSERT_EQ(Checksum(buffer.data() + offset, buffer.data() + buffer.size()),
                          ReferenceChecksum(part))
                    << "size " << size << " offset " << offset;

                std::vector<std::uint8_t> expected = part;
                ReferenceStuff(expected);
                StuffInPlace(buffer.data() + offset, size);
                ASSERT_EQ(std::vector<std::uint8_t>(buffer.begin() + static_cast<long>(offset),
                                                    buffer.end()),
                          expected)
                    << "size " << size << " offset " << offset << " zeros " << zeroPercent;
            }
        }
    }
}

TEST(Stuffing, ChecksumOfLongRunsDoesNotCarryBetweenLanes) {
    for (std::size_t size : {1024U, 1031U, 4096U, 70000U}) {
        const std::vector<std::uint8_t> bytes(size, 0xFF);
        EXPECT_EQ(Checksum(bytes.data(), bytes.data() + bytes.size()), ReferenceChecksum(bytes))
            << size;
    }
}

}  // namespace
