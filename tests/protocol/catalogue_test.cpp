// The payload cap of Message::AppendByte. (CreateMessage and every message class are exercised
// through their payloads in payload_test.cpp and the vectors.)
#include <cstdint>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "message.h"

namespace {

using namespace Kor::Protocol;

TEST(Catalogue, AppendByteTakesAtMost65Bytes) {
    const auto m = CreateMessage(MessageType::Timecode);
    for (int i = 0; i < 65; ++i) {
        EXPECT_TRUE(m->AppendByte(static_cast<std::uint8_t>(i))) << i;
    }
    EXPECT_FALSE(m->AppendByte(0xAA));
    EXPECT_FALSE(m->AppendByte(0xBB));
    ASSERT_EQ(m->payload.size(), 65U);
    EXPECT_EQ(m->payload[0], 0);
    EXPECT_EQ(m->payload[64], 64);
}

}  // namespace
