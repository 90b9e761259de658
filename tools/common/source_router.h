// Received frames routed to their sources: a source is a sender and the SubjectId its frames
// carry, each with its own decoder, so that several cameras on one port are followed apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "source.h"

namespace Kor::Tools {

// One finished frame and the source it belongs to.
struct RoutedFrame {
    // The source's index: sources are numbered from 0 in the order their first frame came.
    // None for a frame refused before its sender had an applied frame, which belongs to no
    // source.
    std::optional<std::size_t> index;
    // The source; for a frame without source, its sender (with subject kNoSubject).
    const Platform::SourceKey& key;
    // The frame's status and record types. For an applied frame they come from the
    // source's own decoder, so NewTimecode and SameTimecode compare with that source's
    // previous state. The record types view memory of the router: valid during the call.
    Protocol::FrameReport report;
    // The source's state right after the frame (unchanged by a frame that was refused); the
    // empty state for a frame without source.
    const Protocol::TelemetryData& state;
};

// A reference to a callable taking `const RoutedFrame&`, for a parameter only (as
// Protocol::FrameCallback); it allocates nothing.
class RoutedFrameCallback {
public:
    template <typename F,
              typename = std::enable_if_t<
                  !std::is_same_v<std::remove_cv_t<std::remove_reference_t<F>>,
                                  RoutedFrameCallback> &&
                  std::is_invocable_v<std::remove_reference_t<F>&, const RoutedFrame&>>>
    RoutedFrameCallback(F&& onFrame) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(onFrame)))),
          call_([](void* object, const RoutedFrame& frame) {
              (*static_cast<std::remove_reference_t<F>*>(object))(frame);
          }) {}

    void operator()(const RoutedFrame& frame) const { call_(object_, frame); }

private:
    void* object_;
    void (*call_)(void*, const RoutedFrame&);
};

// Splits what arrives from each sender into the frames of its sources and decodes each
// frame in its source's own Device.
//
// The subject of a frame is known only once the frame is decoded: each sender has a
// decoder of its own that reads every frame first; a valid frame's SubjectId record (or its
// lack, which is the subject kNoSubject) names the source, whose decoder then reads the same
// frame bytes. A serial stream (a serial input, or datagrams that do not begin like a UDP
// frame) is cut at its 0x00 delimiters so that each source's decoder gets whole frames.
//
// A source is made by its first applied frame only. A refused frame (checksum, framing,
// length, header or record errors) has no subject that can be trusted: it belongs to the
// source of the sender's last applied frame. Before the sender had an applied frame it
// belongs to no source: it is reported without one and counted on its sender
// (RefusedBeforeFirstFrame), so that a lost or damaged first frame neither makes a source
// nor shifts the numbering of those that follow. A refused frame changes no state.
//
// At most `maxSources` sources and as many senders are followed: a frame of one more is
// counted by Refused() and not reported. The router allocates only for a new sender or
// source; it never throws on received bytes (only std::bad_alloc).
//
//   SourceRouter router;
//   router.OnDatagram(origin.sourceAddress, origin.sourcePort, datagram,
//                     [&](const RoutedFrame& frame) {
//                         Show(frame.index, frame.key.Sender(), frame.state);
//                     });
class SourceRouter {
public:
    static constexpr std::size_t kDefaultMaxSources = 256;

    explicit SourceRouter(std::size_t maxSources = kDefaultMaxSources);
    ~SourceRouter();
    SourceRouter(const SourceRouter&) = delete;
    SourceRouter& operator=(const SourceRouter&) = delete;

    // One datagram from a UDP sender (address and port in host order); reports the frames it
    // finishes in order: one for a datagram that begins 00 FF 00, none, one or many for
    // serial bytes.
    void OnDatagram(std::uint32_t address, std::uint16_t port, std::span<const std::uint8_t> bytes,
                    RoutedFrameCallback onFrame);

    // The next chunk of the serial input, the one sender with address and port 0.
    void OnSerialBytes(std::span<const std::uint8_t> bytes, RoutedFrameCallback onFrame);

    // Sources so far; their indices run from 0 to Count() - 1.
    std::size_t Count() const { return sources_.size(); }
    // The index must be below Count(). References stay valid for the router's life.
    const Platform::SourceKey& Key(std::size_t index) const { return sources_[index]->key; }
    const Protocol::TelemetryData& State(std::size_t index) const {
        return *sources_[index]->device.GetCurrentState();
    }
    std::optional<std::size_t> Find(const Platform::SourceKey& key) const;

    // Frames not reported because they would have needed a sender or source beyond the limit.
    std::uint64_t Refused() const { return refused_; }

    // A sender, with subject kNoSubject, and its frames refused before its first applied one.
    struct SenderRefusals {
        Platform::SourceKey sender;
        std::uint64_t frames = 0;
    };
    // The senders that had frames refused before their first applied one, in order of
    // address and port.
    std::vector<SenderRefusals> RefusedBeforeFirstFrame() const;

private:
    struct Source {
        Platform::SourceKey key;
        Protocol::Device device;
    };
    struct Sender {
        Platform::SourceKey key;  // subject kNoSubject
        // Reads every frame first, to learn its subject.
        Protocol::Device reader;
        // Serial bytes after the last delimiter (at most one frame's worth).
        std::vector<std::uint8_t> pending;
        bool pendingTooLong = false;
        std::optional<std::size_t> lastSource;
        // Whether the reader applied a frame (whose source may have been beyond the limit).
        bool applied = false;
        // Frames refused before the first applied one, which belong to no source.
        std::uint64_t refusedBeforeFirstFrame = 0;
    };

    Sender* SenderOf(std::uint32_t address, std::uint16_t port);
    // The source of a sender and subject, made when new; null beyond the limit.
    Source* SourceOf(const Sender& sender, std::uint16_t subject, std::size_t& index);
    void Datagram(Sender& sender, std::span<const std::uint8_t> bytes, RoutedFrameCallback onFrame);
    void Serial(Sender& sender, std::span<const std::uint8_t> bytes, RoutedFrameCallback onFrame);
    // Hands on a frame that the sender's reader finished; `frame` holds its bytes as a
    // decoder reads them alone (a datagram, or a serial frame between two delimiters).
    void Route(Sender& sender, const Protocol::FrameReport& read,
               std::span<const std::uint8_t> frame, RoutedFrameCallback onFrame);

    std::size_t maxSources_;
    std::map<std::uint64_t, std::unique_ptr<Sender>> senders_;
    std::map<Platform::SourceKey, std::size_t> index_;
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<std::uint8_t> frame_;  // a serial frame with its delimiters, for its source
    std::uint64_t refused_ = 0;
};

}  // namespace Kor::Tools
