// Frame encoding beyond the published framing vectors (vectors/framing.json, limits.json):
// transmission types other than UDP and Serial give the bare records, and types without an
// encoder (including values past the last type, which must not index past a table) add
// nothing.
#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

TEST(Framing, OtherTransmissionTypesGiveTheRecordsAlone) {
    for (TransmissionType type : {kRecordsOnly, static_cast<TransmissionType>(255)}) {
        SCOPED_TRACE(static_cast<int>(type));
        EXPECT_BYTES(TD{}.Encode(type, {MT::ChannelId}), Hex("18 00 FF"));
    }
    EXPECT_BYTES(
        TD{}.Encode(kRecordsOnly, {MT::IdList, MT::ChannelId, MT::FileEnd, MT::FileTransferName,
                                   MT::FileTransferInformation, MT::FileTransferData,
                                   MT::FileTransferMd5, static_cast<MT>(28), static_cast<MT>(200),
                                   static_cast<MT>(0x1800), MT::SubjectId}),
        Hex("18 00 FF | 1B 01 FF FF"));
}

}  // namespace
