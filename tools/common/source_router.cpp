// Received frames routed to their sources, each decoded by the source's own Device.
#include "source_router.h"

#include <algorithm>

namespace Kor::Tools {

using Platform::SourceKey;
using Protocol::FrameReport;
using Protocol::MessageType;

namespace {

// What a decoder takes for a whole datagram: input that begins 00 FF 00.
bool LooksLikeDatagram(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 3 && bytes[0] == 0x00 && bytes[1] == 0xFF && bytes[2] == 0x00;
}

// A datagram of a length a decoder accepts (11 to 261 bytes) discards the serial frame the
// decoder was collecting.
bool DatagramOfValidLength(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 11 && bytes.size() <= 261;
}

// The longest serial frame a decoder collects, in stuffed bytes between its delimiters.
constexpr std::size_t kMaxSerialFrame = 256;

// The subject of an applied frame: its SubjectId record's, or none without one.
std::uint16_t SubjectOf(const FrameReport& report, const Protocol::TelemetryData& state) {
    const bool carried = std::find(report.messages.begin(), report.messages.end(),
                                   MessageType::SubjectId) != report.messages.end();
    return carried ? static_cast<std::uint16_t>(state.subjectId & 0xFFFFU) : SourceKey::kNoSubject;
}

}  // namespace

SourceRouter::SourceRouter(std::size_t maxSources) : maxSources_(maxSources) {
    frame_.reserve(kMaxSerialFrame + 2);
}

SourceRouter::~SourceRouter() = default;

std::optional<std::size_t> SourceRouter::Find(const SourceKey& key) const {
    const auto found = index_.find(key);
    if (found == index_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<SourceRouter::SenderRefusals> SourceRouter::RefusedBeforeFirstFrame() const {
    std::vector<SenderRefusals> refusals;
    for (const auto& [id, sender] : senders_) {
        if (sender->refusedBeforeFirstFrame != 0) {
            refusals.push_back({sender->key, sender->refusedBeforeFirstFrame});
        }
    }
    return refusals;
}

void SourceRouter::OnDatagram(std::uint32_t address, std::uint16_t port,
                              std::span<const std::uint8_t> bytes, RoutedFrameCallback onFrame) {
    Sender* sender = SenderOf(address, port);
    if (sender == nullptr) {
        ++refused_;
        return;
    }
    if (LooksLikeDatagram(bytes)) {
        Datagram(*sender, bytes, onFrame);
    } else {
        Serial(*sender, bytes, onFrame);
    }
}

void SourceRouter::OnSerialBytes(std::span<const std::uint8_t> bytes,
                                 RoutedFrameCallback onFrame) {
    Sender* sender = SenderOf(0, 0);
    if (sender == nullptr) {
        ++refused_;
        return;
    }
    Serial(*sender, bytes, onFrame);
}

SourceRouter::Sender* SourceRouter::SenderOf(std::uint32_t address, std::uint16_t port) {
    const std::uint64_t id = (std::uint64_t{address} << 16) | port;
    const auto found = senders_.find(id);
    if (found != senders_.end()) {
        return found->second.get();
    }
    if (senders_.size() >= maxSources_) {
        return nullptr;
    }
    auto sender = std::make_unique<Sender>();
    sender->key = SourceKey{address, port, SourceKey::kNoSubject};
    sender->pending.reserve(kMaxSerialFrame);
    return senders_.emplace(id, std::move(sender)).first->second.get();
}

SourceRouter::Source* SourceRouter::SourceOf(const Sender& sender, std::uint16_t subject,
                                             std::size_t& index) {
    const SourceKey key{sender.key.address, sender.key.port, subject};
    if (const auto found = index_.find(key); found != index_.end()) {
        index = found->second;
        return sources_[index].get();
    }
    if (sources_.size() >= maxSources_) {
        return nullptr;
    }
    index = sources_.size();
    sources_.push_back(std::make_unique<Source>(Source{key, Protocol::Device()}));
    index_.emplace(key, index);
    return sources_.back().get();
}

void SourceRouter::Datagram(Sender& sender, std::span<const std::uint8_t> bytes,
                            RoutedFrameCallback onFrame) {
    // The reader drops its partly collected serial frame for a datagram of valid length;
    // so does the copy of it kept here.
    if (DatagramOfValidLength(bytes)) {
        sender.pending.clear();
        sender.pendingTooLong = false;
    }
    sender.reader.Update(bytes, [&](const FrameReport& read) {
        Route(sender, read, bytes, onFrame);
    });
}

void SourceRouter::Serial(Sender& sender, std::span<const std::uint8_t> bytes,
                          RoutedFrameCallback onFrame) {
    // Piece by piece, each up to and including a delimiter: the reader finishes at most one
    // frame in a piece (one that outgrew its limit, or one its delimiter closes), and a piece
    // never begins 00 FF 00, which a decoder would take for a datagram.
    while (!bytes.empty()) {
        const auto zero = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
        const bool closes = zero != bytes.end();
        const std::size_t length =
            closes ? static_cast<std::size_t>(zero - bytes.begin()) + 1 : bytes.size();
        const std::span<const std::uint8_t> piece = bytes.first(length);
        sender.reader.Update(piece, [&](const FrameReport& read) {
            if (read.Applied()) {
                // The frame closed by this piece's delimiter, whole: delimiter, stuffed
                // bytes, delimiter.
                frame_.assign(1, std::uint8_t{0});
                frame_.insert(frame_.end(), sender.pending.begin(), sender.pending.end());
                frame_.insert(frame_.end(), piece.begin(), piece.end());
                Route(sender, read, frame_, onFrame);
            } else {
                Route(sender, read, {}, onFrame);
            }
        });
        if (closes) {
            sender.pending.clear();
            sender.pendingTooLong = false;
        } else if (!sender.pendingTooLong &&
                   sender.pending.size() + piece.size() <= kMaxSerialFrame) {
            sender.pending.insert(sender.pending.end(), piece.begin(), piece.end());
        } else {
            // Longer than any frame: the reader refuses it, and its bytes are of no use.
            sender.pending.clear();
            sender.pendingTooLong = true;
        }
        bytes = bytes.subspan(length);
    }
}

void SourceRouter::Route(Sender& sender, const FrameReport& read,
                         std::span<const std::uint8_t> frame, RoutedFrameCallback onFrame) {
    std::size_t index = 0;
    Source* source = nullptr;
    if (read.Applied()) {
        sender.applied = true;
        source = SourceOf(sender, SubjectOf(read, *sender.reader.GetCurrentState()), index);
    } else if (sender.lastSource) {
        index = *sender.lastSource;
        source = sources_[index].get();
    } else if (!sender.applied) {
        // The reader's state is still the empty one.
        ++sender.refusedBeforeFirstFrame;
        onFrame(RoutedFrame{std::nullopt, sender.key, read, *sender.reader.GetCurrentState()});
        return;
    }
    if (source == nullptr) {
        ++refused_;
        return;
    }
    sender.lastSource = index;
    if (!read.Applied()) {
        onFrame(RoutedFrame{index, source->key, read, *source->device.GetCurrentState()});
        return;
    }
    // The source's decoder reads the same frame; its report compares timecodes with the
    // source's own previous state.
    source->device.Update(frame, [&](const FrameReport& own) {
        onFrame(RoutedFrame{index, source->key, own, *source->device.GetCurrentState()});
    });
}

}  // namespace Kor::Tools
