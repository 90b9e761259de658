// Frames routed to their sources: senders and subjects kept apart, serial streams cut into
// whole frames however they arrive, refused frames given to the sender's last source, and
// the limit on sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <kor/kor.h>

#include "source_router.h"

namespace {

using Kor::Platform::SourceKey;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using Kor::Tools::RoutedFrame;
using Kor::Tools::SourceRouter;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint16_t kNone = SourceKey::kNoSubject;

// A frame with timecode frame number `frames` and focus `focus`, with a SubjectId record
// unless `subject` is none.
Bytes Frame(TransmissionType framing, std::uint16_t subject, std::uint8_t frames,
            std::uint32_t focus) {
    TelemetryData data;
    data.timecodeFrames = frames;
    data.focus = focus;
    data.focusValid = true;
    data.subjectId = subject;
    std::vector<MessageType> types{MessageType::Timecode, MessageType::BasicLens};
    if (subject != kNone) {
        types.push_back(MessageType::SubjectId);
    }
    return data.Encode(framing, types);
}

Bytes Udp(std::uint16_t subject, std::uint8_t frames, std::uint32_t focus) {
    return Frame(TransmissionType::UDP, subject, frames, focus);
}

Bytes Serial(std::uint16_t subject, std::uint8_t frames, std::uint32_t focus) {
    return Frame(TransmissionType::Serial, subject, frames, focus);
}

// What a routed frame told, copied out of the call.
struct Seen {
    std::optional<std::size_t> index;  // none for a frame without source
    SourceKey key;
    FrameStatus status;
    std::uint32_t focus;
    bool hasSubjectRecord;

    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << "{" << (s.index ? std::to_string(*s.index) : std::string("none")) << " "
               << s.key.Sender() << "/" << s.key.subject << " " << Kor::Protocol::Name(s.status)
               << " focus " << s.focus << "}";
}

struct Recorder {
    std::vector<Seen> seen;

    void operator()(const RoutedFrame& frame) {
        bool subjectRecord = false;
        for (const MessageType type : frame.report.messages) {
            subjectRecord = subjectRecord || type == MessageType::SubjectId;
        }
        seen.push_back(
            {frame.index, frame.key, frame.report.status, frame.state.focus, subjectRecord});
    }
};

// One sender's subjects are sources of their own: each source's timecode is compared with its
// own previous frame (one decoder for both would call every frame new), and a frame without a
// SubjectId record belongs to the sender's source without subject, not to its last one.
TEST(SourceRouter, SubjectsOfOneSenderAreKeptApart) {
    SourceRouter router;
    Recorder seen;
    const SourceKey one{kLoopback, 40001, 1};
    const SourceKey two{kLoopback, 40001, 2};
    const SourceKey none{kLoopback, 40001, kNone};
    for (const Bytes& datagram :
         {Udp(1, 1, 1000), Udp(2, 5, 2000), Udp(1, 1, 1100), Udp(2, 6, 2100), Udp(kNone, 6, 3000)}) {
        router.OnDatagram(kLoopback, 40001, datagram, seen);
    }
    const std::vector<Seen> expected{{0, one, FrameStatus::NewTimecode, 1000, true},
                                     {1, two, FrameStatus::NewTimecode, 2000, true},
                                     {0, one, FrameStatus::SameTimecode, 1100, true},
                                     {1, two, FrameStatus::NewTimecode, 2100, true},
                                     {2, none, FrameStatus::NewTimecode, 3000, false}};
    EXPECT_EQ(seen.seen, expected);
    ASSERT_EQ(router.Count(), 3U);
    EXPECT_EQ(router.Key(1), two);
    EXPECT_EQ(router.State(0).focus, 1100U);
    EXPECT_EQ(router.State(1).focus, 2100U);
    EXPECT_EQ(router.State(1).subjectId, 2U);
    EXPECT_EQ(router.Find(none), 2U);
    EXPECT_FALSE(router.Find(SourceKey{kLoopback, 40001, 3}));
}

// The same subject from two ports or two addresses is two sources; a subject takes all 16 bits.
TEST(SourceRouter, SendersWithTheSameSubjectAreKeptApart) {
    SourceRouter router;
    Recorder seen;
    router.OnDatagram(kLoopback, 40001, Udp(7, 1, 100), seen);
    router.OnDatagram(kLoopback, 40002, Udp(7, 1, 200), seen);
    router.OnDatagram(0x7F000002, 40001, Udp(7, 1, 300), seen);
    router.OnDatagram(kLoopback, 40001, Udp(0x0107, 1, 400), seen);
    ASSERT_EQ(seen.seen.size(), 4U);
    ASSERT_EQ(router.Count(), 4U);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen.seen[i].index, i);
        EXPECT_EQ(seen.seen[i].status, FrameStatus::NewTimecode);
        EXPECT_EQ(router.State(i).focus, 100U * (i + 1));
    }
    EXPECT_EQ(router.Key(1).Sender(), "127.0.0.1:40002");
    EXPECT_EQ(router.Key(2).Sender(), "127.0.0.2:40001");
    EXPECT_EQ(router.Key(3).subject, 0x0107);
}

// A serial stream gives the same frames to the same sources whether it comes whole, a byte at
// a time or in uneven chunks; the bytes before the first delimiter are ignored.
TEST(SourceRouter, SerialStreamsAreCutIntoWholeFramesWhateverTheChunks) {
    Bytes stream{0x13, 0x37, 0xFF};  // noise before the first delimiter
    for (const Bytes& frame : {Serial(1, 1, 10), Serial(2, 1, 20), Serial(1, 2, 11),
                               Serial(kNone, 3, 30), Serial(2, 1, 21)}) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    const SourceKey one{0, 0, 1};
    const SourceKey two{0, 0, 2};
    const SourceKey none{0, 0, kNone};
    const std::vector<Seen> expected{{0, one, FrameStatus::NewTimecode, 10, true},
                                     {1, two, FrameStatus::NewTimecode, 20, true},
                                     {0, one, FrameStatus::NewTimecode, 11, true},
                                     {2, none, FrameStatus::NewTimecode, 30, false},
                                     {1, two, FrameStatus::SameTimecode, 21, true}};
    for (const std::size_t chunk : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{17}}) {
        SourceRouter router;
        Recorder seen;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t size = std::min(chunk, stream.size() - at);
            router.OnSerialBytes(std::span(stream).subspan(at, size), seen);
        }
        EXPECT_EQ(seen.seen, expected) << "chunks of " << chunk;
        EXPECT_EQ(router.Count(), 3U);
        EXPECT_EQ(router.Key(0).Sender(), "serial");
    }
}

// Serial frames in datagrams are cut the same way; a UDP frame between them drops the serial
// frame that was being collected, as a decoder does, so the next serial frame is read alone.
TEST(SourceRouter, SerialFramesInDatagramsAndAUdpFrameBetween) {
    SourceRouter router;
    Recorder seen;
    const Bytes first = Serial(4, 1, 40);
    const Bytes second = Serial(5, 1, 50);
    router.OnDatagram(kLoopback, 40001, first, seen);
    // Half a frame, then a UDP frame, then a whole serial frame after its opening delimiter.
    router.OnDatagram(kLoopback, 40001, Bytes(second.begin(), second.begin() + 6), seen);
    router.OnDatagram(kLoopback, 40001, Udp(6, 1, 60), seen);
    router.OnDatagram(kLoopback, 40001, Bytes(second.begin() + 1, second.end()), seen);
    const std::vector<Seen> expected{
        {0, SourceKey{kLoopback, 40001, 4}, FrameStatus::NewTimecode, 40, true},
        {1, SourceKey{kLoopback, 40001, 6}, FrameStatus::NewTimecode, 60, true},
        {2, SourceKey{kLoopback, 40001, 5}, FrameStatus::NewTimecode, 50, true}};
    EXPECT_EQ(seen.seen, expected);
}

// A refused frame has no subject to trust: it goes to the source of its sender's last frame.
// Before the sender had an applied frame it goes to no source and is counted on the sender, so
// the sources made later are numbered as if it had never come; it changes no state.
TEST(SourceRouter, RefusedFramesGoToTheSendersLastSource) {
    SourceRouter router;
    Recorder seen;
    Bytes badHeader = Udp(3, 1, 999);
    badHeader[7] = 0x01;
    // The focus's low byte (999 = 0x3E7) changed: the sum no longer matches.
    Bytes badChecksum = Serial(3, 2, 999);
    const auto focusByte = std::find(badChecksum.begin(), badChecksum.end(), 0xE7);
    ASSERT_NE(focusByte, badChecksum.end());
    *focusByte = 0xE6;
    router.OnDatagram(kLoopback, 40001, badHeader, seen);
    router.OnDatagram(kLoopback, 40001, Udp(3, 1, 300), seen);
    router.OnDatagram(kLoopback, 40001, Udp(2, 1, 200), seen);
    router.OnDatagram(kLoopback, 40001, badHeader, seen);
    router.OnDatagram(kLoopback, 40001, Bytes{0, 0xFF, 0, 0, 0, 0, 0, 0}, seen);  // too short
    router.OnDatagram(kLoopback, 40002, badChecksum, seen);  // a new sender's first frames
    router.OnDatagram(kLoopback, 40002, badHeader, seen);
    router.OnDatagram(kLoopback, 40001, Udp(3, 2, 301), seen);
    router.OnDatagram(kLoopback, 40001, badChecksum, seen);
    router.OnDatagram(kLoopback, 40002, Udp(kNone, 1, 400), seen);
    router.OnDatagram(kLoopback, 40002, badHeader, seen);
    const SourceKey sender{kLoopback, 40001, kNone};
    const SourceKey three{kLoopback, 40001, 3};
    const SourceKey two{kLoopback, 40001, 2};
    const SourceKey other{kLoopback, 40002, kNone};
    const std::vector<Seen> expected{{std::nullopt, sender, FrameStatus::HeaderError, 0, false},
                                     {0, three, FrameStatus::NewTimecode, 300, true},
                                     {1, two, FrameStatus::NewTimecode, 200, true},
                                     {1, two, FrameStatus::HeaderError, 200, false},
                                     {1, two, FrameStatus::LengthError, 200, false},
                                     {std::nullopt, other, FrameStatus::ChecksumError, 0, false},
                                     {std::nullopt, other, FrameStatus::HeaderError, 0, false},
                                     {0, three, FrameStatus::NewTimecode, 301, true},
                                     {0, three, FrameStatus::ChecksumError, 301, false},
                                     {2, other, FrameStatus::NewTimecode, 400, false},
                                     {2, other, FrameStatus::HeaderError, 400, false}};
    EXPECT_EQ(seen.seen, expected);
    EXPECT_EQ(router.Count(), 3U);
    EXPECT_FALSE(router.Find(sender));
    const auto early = router.RefusedBeforeFirstFrame();
    ASSERT_EQ(early.size(), 2U);
    EXPECT_EQ(early[0].sender, sender);
    EXPECT_EQ(early[0].frames, 1U);
    EXPECT_EQ(early[1].sender, other);
    EXPECT_EQ(early[1].frames, 2U);
    EXPECT_EQ(router.Refused(), 0U);
}

// A serial frame that outgrows the longest a decoder takes is one LengthError, and the frame
// after it is read whole.
TEST(SourceRouter, AnOverlongSerialFrameIsOneErrorAndTheNextIsRead) {
    SourceRouter router;
    Recorder seen;
    Bytes stream = Serial(1, 1, 10);
    stream.insert(stream.end(), 300, 0x55);
    const Bytes next = Serial(1, 2, 11);
    stream.insert(stream.end(), next.begin(), next.end());
    for (std::size_t at = 0; at < stream.size(); at += 100) {
        router.OnSerialBytes(std::span(stream).subspan(at, std::min<std::size_t>(100, stream.size() - at)),
                             seen);
    }
    const SourceKey one{0, 0, 1};
    const std::vector<Seen> expected{{0, one, FrameStatus::NewTimecode, 10, true},
                                     {0, one, FrameStatus::LengthError, 10, false},
                                     {0, one, FrameStatus::NewTimecode, 11, true}};
    EXPECT_EQ(seen.seen, expected);
}

// Beyond the limit a new source's frames are counted as refused and not reported; the sources
// already followed go on.
TEST(SourceRouter, SourcesBeyondTheLimitAreRefused) {
    SourceRouter router(2);
    Recorder seen;
    router.OnDatagram(kLoopback, 40001, Udp(1, 1, 1), seen);
    router.OnDatagram(kLoopback, 40001, Udp(2, 1, 2), seen);
    router.OnDatagram(kLoopback, 40001, Udp(3, 1, 3), seen);
    router.OnDatagram(kLoopback, 40002, Udp(1, 1, 4), seen);
    router.OnDatagram(kLoopback, 40003, Udp(1, 1, 5), seen);  // a third sender
    router.OnDatagram(kLoopback, 40001, Udp(1, 2, 6), seen);
    // A refused frame of a sender whose only source is beyond the limit is beyond it too.
    Bytes badHeader = Udp(1, 3, 7);
    badHeader[7] = 0x01;
    router.OnDatagram(kLoopback, 40002, badHeader, seen);
    EXPECT_EQ(router.Count(), 2U);
    EXPECT_EQ(router.Refused(), 4U);
    EXPECT_TRUE(router.RefusedBeforeFirstFrame().empty());
    ASSERT_EQ(seen.seen.size(), 3U);
    EXPECT_EQ(seen.seen[2].focus, 6U);
    EXPECT_EQ(seen.seen[2].index, 0U);
}

}  // namespace
