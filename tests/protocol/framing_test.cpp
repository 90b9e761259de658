// Frame encoding beyond the published framing vectors (vectors/framing.json, limits.json):
// transmission types other than UDP and Serial give the bare records, types without an
// encoder (including values past the last type) add nothing, and a Serial frame whose
// records are almost all zero bytes.
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

struct FrameCase {
    const char* description;
    TransmissionType transmission;
    std::vector<MessageType> types;
    const char* expected;
};

// clang-format off
const FrameCase kFrameCases[] = {
    {"type 2, default ChannelId: the record alone", kRecordsOnly, {MT::ChannelId}, "18 00 FF"},
    {"type 255, default ChannelId: the record alone", static_cast<TransmissionType>(255),
     {MT::ChannelId}, "18 00 FF"},
    {"type 2, empty list: nothing", kRecordsOnly, {}, ""},
    {"every type without a builder adds nothing", kRecordsOnly,
     {MT::IdList, MT::ChannelId, MT::FileEnd, MT::FileTransferName, MT::FileTransferInformation,
      MT::FileTransferData, MT::FileTransferMd5, static_cast<MT>(28), static_cast<MT>(200),
      static_cast<MT>(0x1800), MT::SubjectId},
     "18 00 FF | 1B 01 FF FF"},
    {"Serial, zeros everywhere but the length byte and checksum: leading code 01",
     TransmissionType::Serial, {MT::Timecode}, "00 | 01 02 03 01 01 01 02 FC | 00"},
};
// clang-format on

TEST(Framing, EncodeVectors) {
    for (const FrameCase& c : kFrameCases) {
        SCOPED_TRACE(c.description);
        EXPECT_BYTES(TD{}.Encode(c.transmission, c.types), Hex(c.expected));
    }
}

}  // namespace
