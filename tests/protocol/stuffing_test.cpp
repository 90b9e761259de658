// The word-at-a-time checksum and byte stuffing against plain byte loops.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "framing.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Kor::Protocol::detail::Checksum;
using Kor::Protocol::detail::StuffInPlace;

std::uint8_t ReferenceChecksum(const Bytes& bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint8_t>(~sum & 0xFFU);
}

// Walks from the last byte to the first, as the framing is defined.
void ReferenceStuff(Bytes& data) {
    std::size_t p = data.size();
    for (std::size_t i = data.size(); i-- > 1;) {
        if (data[i] == 0) {
            data[i] = static_cast<std::uint8_t>(p - i);
            p = i;
        }
    }
    data[0] = static_cast<std::uint8_t>(p);
}

// Random buffers of every length a frame can have, with zero densities from none to all, in
// every alignment; then long runs of FF, whose sums would carry between the lanes of a word.
TEST(Stuffing, MatchesByteLoops) {
    std::mt19937 rng(20261206);
    for (int zeroPercent : {0, 3, 15, 50, 100}) {
        std::bernoulli_distribution isZero(zeroPercent / 100.0);
        std::uniform_int_distribution<int> nonZero(1, 255);
        for (std::size_t size = 1; size <= 255; ++size) {
            for (std::size_t offset = 0; offset < 3; ++offset) {
                SCOPED_TRACE(testing::Message() << "size " << size << " offset " << offset
                                                << " zeros " << zeroPercent << "%");
                Bytes buffer(offset + size);
                for (auto& b : buffer)
                    b = isZero(rng) ? 0 : static_cast<std::uint8_t>(nonZero(rng));
                Bytes expected(buffer.begin() + static_cast<long>(offset), buffer.end());
                ASSERT_EQ(Checksum(buffer.data() + offset, buffer.data() + buffer.size()),
                          ReferenceChecksum(expected));
                ReferenceStuff(expected);
                StuffInPlace(buffer.data() + offset, size);
                ASSERT_EQ(Bytes(buffer.begin() + static_cast<long>(offset), buffer.end()),
                          expected);
            }
        }
    }
    for (std::size_t size : {1024U, 1031U, 70000U}) {
        const Bytes bytes(size, 0xFF);
        EXPECT_EQ(Checksum(bytes.data(), bytes.data() + size), ReferenceChecksum(bytes)) << size;
    }
}

}  // namespace
