// Fuzz target: Device::Update fed arbitrary bytes in arbitrary chunks, on the datagram and the
// serial path, checked against a byte-by-byte twin and a model of the framing rules.
//
// Input: one control byte that chooses how the rest is cut into Update calls, then the bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "fuzz_support.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_fuzz::Bytes;
using kor_fuzz::Require;

constexpr std::size_t kHeaderSize = 8;  // 00 FF 00, then five zero bytes
constexpr std::size_t kMinDatagram = 11;
constexpr std::size_t kMaxDatagram = 261;
constexpr std::size_t kMaxSerialFrame = 256;  // stuffed bytes between two delimiters
constexpr std::size_t kMaxPayload = 65;
constexpr std::uint8_t kLastType = 27;

// ---------------------------------------------------------------------------------------------
// Chunking

// Cuts `bytes` into the pieces handed to Update, as chosen by the control byte: bits 0-2 pick
// the scheme, bits 3-7 are its parameter.
std::vector<Bytes> Chunk(std::uint8_t control, const Bytes& bytes) {
    const unsigned scheme = control & 7U;
    const unsigned param = control >> 3;
    std::vector<Bytes> chunks;
    const auto take = [&](std::size_t from, std::size_t to) {
        chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                            bytes.begin() + static_cast<std::ptrdiff_t>(to));
    };
    const std::size_t n = bytes.size();
    switch (scheme) {
        case 0:  // everything in one call
            take(0, n);
            break;
        case 1:  // fixed size, 1 to 32 bytes
            for (std::size_t i = 0; i < n; i += param + 1) {
                take(i, std::min(n, i + param + 1));
            }
            break;
        case 2:    // pseudo-random sizes, empty calls included
        case 3: {  // the same with small sizes
            std::uint32_t state = 0x9E3779B9U ^ (param * 0x85EBCA6BU);
            const std::uint32_t span = scheme == 2 ? 48 : 4;
            std::size_t i = 0;
            for (std::size_t calls = 0; i < n && calls < 4 * n + 8; ++calls) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                const std::size_t len = std::min<std::size_t>(n - i, state % span);
                take(i, i + len);
                i += len;
            }
            take(i, n);
            break;
        }
        case 4:    // a cut after every delimiter, as a line reader would deliver
        case 5: {  // a cut before every delimiter
            std::size_t from = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (bytes[i] == 0) {
                    const std::size_t cut = scheme == 4 ? i + 1 : i;
                    if (cut > from) {
                        take(from, cut);
                        from = cut;
                    }
                }
            }
            take(from, n);
            break;
        }
        case 6: {  // length-prefixed pieces: a byte L, then L bytes (so datagrams can be mixed in)
            std::size_t i = 0;
            while (i < n) {
                const std::size_t len = bytes[i++];
                const std::size_t end = std::min(n, i + len);
                take(i, end);
                i = end;
            }
            break;
        }
        default:  // two pieces, cut at param / 32 of the length
            take(0, n * param / 32);
            take(n * param / 32, n);
            break;
    }
    return chunks;
}

bool IsDatagram(const Bytes& chunk) {
    return chunk.size() >= 3 && chunk[0] == 0x00 && chunk[1] == 0xFF && chunk[2] == 0x00;
}

// ---------------------------------------------------------------------------------------------
// A model of the frame rules: which statuses a frame may have, from its bytes alone.

using StatusSet = std::uint32_t;

constexpr StatusSet Bit(FrameStatus s) {
    return StatusSet{1} << static_cast<unsigned>(s);
}

constexpr StatusSet kApplied = Bit(FrameStatus::NewTimecode) | Bit(FrameStatus::SameTimecode);
constexpr StatusSet kRecordErrors = Bit(FrameStatus::PayloadTooLong) |
                                    Bit(FrameStatus::BadMessageType) |
                                    Bit(FrameStatus::MessageRejected);
constexpr StatusSet kSerialErrors =
    kRecordErrors | Bit(FrameStatus::ChecksumError) | Bit(FrameStatus::FramingError);

bool In(FrameStatus s, StatusSet set) {
    return (Bit(s) & set) != 0;
}

// ZeissZdData marker bits: every byte of offsets 0-9 has fixed bits.
bool ZeissMarkersOk(const Bytes& p) {
    for (std::size_t i = 0; i < 4; ++i) {
        if ((p[i] & 0xC0) != 0x40) return false;
    }
    return (p[4] & 0x80) != 0 && (p[5] & 0xB0) == 0x80 && (p[6] & 0xE0) == 0x40 &&
           (p[7] & 0xC0) == 0x40 && (p[8] & 0x50) == 0x40 && (p[9] & 0xC0) == 0x40;
}

// Whether the message of `type` accepts `payload` (lengths, value limits, marker bits).
bool PayloadAccepted(std::uint8_t type, const Bytes& p) {
    const std::size_t n = p.size();
    switch (static_cast<MessageType>(type)) {
        case MessageType::Timecode: return n == 4;
        case MessageType::BasicLens: return n == 8;
        case MessageType::PtpTimestamp: return n == 10;
        case MessageType::ProductBrand:
        case MessageType::ProductName:
        case MessageType::ProductSerial:
        case MessageType::LensManufacturer:
        case MessageType::LensName:
        case MessageType::LensSerial:
        case MessageType::ClipName: return n >= 1;
        case MessageType::LensProperties: return n == 11;
        case MessageType::PositionalData: return n == 12;
        case MessageType::AxesData: return n == 6;
        case MessageType::TickCount: return n >= 3 && n <= 5;
        case MessageType::ProjectFps: return n == 1 && p[0] <= 5;
        case MessageType::RawLensEncoderWithMask: return n == 7;
        case MessageType::ZeissZdData: return n == 34 && ZeissMarkersOk(p);
        case MessageType::RadioControl: return n == 5 || n == 7;
        case MessageType::ChannelId: return n == 1;
        case MessageType::SensorSize: return n >= 8 && n <= 64;
        case MessageType::RawAxesEncoderWithMask: return n == 10;
        case MessageType::SubjectId: return n == 1 || n == 2;
        default: return false;  // reserved types have no message class
    }
}

// Follows the records in a frame's bytes: type byte, length byte (payload length - 1), payload.
class RecordModel {
public:
    // Takes the next byte; false once the parser has stopped with an error.
    bool Feed(std::uint8_t b) {
        if (error_) {
            return false;
        }
        if (remaining_ != 0) {
            --remaining_;
            Bytes& payload = records_.back().second;
            if (payload.size() >= kMaxPayload) {
                error_ = FrameStatus::PayloadTooLong;
                return false;
            }
            payload.push_back(b);
        } else if (haveType_) {
            records_.emplace_back(type_, Bytes{});
            // A length byte of 255 announces 256 bytes, which no payload may hold: a decoder may
            // stop right here or let the counter wrap to 0; either way the frame is an error.
            remaining_ = (b + 1U) & 0xFFU;
            wrapped_ = wrapped_ || b == 0xFF;
            haveType_ = false;
        } else {
            if (b > kLastType) {
                error_ = FrameStatus::BadMessageType;
                return false;
            }
            type_ = b;
            haveType_ = true;
        }
        return true;
    }

    bool Wrapped() const { return wrapped_; }

    // The statuses allowed when the parser stopped with an error.
    StatusSet ParserError(StatusSet errorsOfPath) const {
        return wrapped_ ? errorsOfPath : Bit(*error_);
    }

    // The statuses allowed once every byte was parsed without error.
    StatusSet Outcome(StatusSet errorsOfPath) const {
        if (wrapped_) {
            return errorsOfPath;
        }
        const bool accepted = std::all_of(records_.begin(), records_.end(), [](const auto& r) {
            return PayloadAccepted(r.first, r.second);
        });
        return accepted ? kApplied : Bit(FrameStatus::MessageRejected);
    }

private:
    std::vector<std::pair<std::uint8_t, Bytes>> records_;
    unsigned remaining_ = 0;
    bool haveType_ = false;
    std::uint8_t type_ = 0;
    bool wrapped_ = false;
    std::optional<FrameStatus> error_;
};

// The statuses a datagram may have. `records` receives its record bytes.
StatusSet ExpectDatagram(const Bytes& d, Bytes& records) {
    if (d.size() < kMinDatagram || d.size() > kMaxDatagram) {
        return Bit(FrameStatus::LengthError);
    }
    const auto nonZero = [](std::uint8_t b) { return b != 0; };
    if (std::any_of(d.begin() + 3, d.begin() + kHeaderSize, nonZero)) {
        return Bit(FrameStatus::HeaderError);
    }
    records.assign(d.begin() + kHeaderSize, d.end());
    RecordModel model;
    for (std::uint8_t b : records) {
        if (!model.Feed(b)) {
            return model.ParserError(kRecordErrors);
        }
    }
    return model.Outcome(kRecordErrors);
}

// The statuses a serial frame may have, given the K stuffed bytes collected between two
// delimiters (1 <= K <= 256, none zero). The bytes before the last are unstuffed on the fly
// and parsed as they come, so a parser error wins over the framing and checksum checks; the
// last byte is the checksum's place. `records` receives the unstuffed record bytes, and
// `framed` whether stuffing and checksum were right.
StatusSet ExpectSerial(const Bytes& buf, Bytes& records, bool& framed) {
    framed = false;
    RecordModel model;
    unsigned code = buf[0];
    unsigned sum = 0;
    for (std::size_t i = 1; i + 1 < buf.size(); ++i) {
        std::uint8_t decoded = buf[i];
        if (--code == 0) {
            decoded = 0;
            code = buf[i];
        }
        sum += decoded;
        records.push_back(decoded);
        if (!model.Feed(decoded)) {
            return model.ParserError(kSerialErrors);
        }
    }
    const std::uint8_t last = buf.back();
    std::uint8_t checksum = 0;
    if (code == 2) {
        checksum = last;
    } else if (code == 1 && last == 1) {
        checksum = 0;  // the final code byte stands for a zero
    } else {
        return model.Wrapped() ? kSerialErrors : Bit(FrameStatus::FramingError);
    }
    if (checksum != static_cast<std::uint8_t>(~sum)) {
        return model.Wrapped() ? kSerialErrors : Bit(FrameStatus::ChecksumError);
    }
    framed = true;
    return model.Outcome(kSerialErrors);
}

// The serial collector of a device: waits for a delimiter, then gathers bytes up to the next
// one. A datagram of valid length discards what was being gathered.
struct Collector {
    bool collecting = false;
    Bytes buffer;
};

// ---------------------------------------------------------------------------------------------
// The checks

// A device holding `before` decodes `frame` to the same status and state that the device
// under test reached from `before` with the other framing of the same records.
void RequireSameOnOtherPath(const TelemetryData& before, const Bytes& frame, FrameStatus status,
                            const TelemetryData& after, const char* what) {
    Device other(before);
    kor_fuzz::RequireSameState(*other.GetCurrentState(), before, "constructed from a state");
    Require(other.Update(frame) == status, what, "status");
    kor_fuzz::RequireSameState(*other.GetCurrentState(), after, what);
}

// State bookkeeping for a frame that finished with `status`: an error leaves the state as it
// was; an applied frame reports whether the timecode changed.
void RequireStateRule(FrameStatus status, const TelemetryData& before, const TelemetryData& now) {
    if (kor_fuzz::IsApplied(status)) {
        const bool moved = !kor_fuzz::SameTimecode(before, now);
        Require(moved == (status == FrameStatus::NewTimecode), "status and timecode change differ");
    } else {
        kor_fuzz::RequireSameState(before, now, "a frame that was not applied changed the state");
    }
}

// Feeds one serial byte to the byte-by-byte twin and checks it against the collector model.
FrameStatus FeedSerialByte(Device& twin, Collector& model, TelemetryData& prev, std::uint8_t x) {
    const FrameStatus status = twin.Update(Bytes{x});
    Require(kor_fuzz::IsValidStatus(status), "status out of range");
    const TelemetryData& now = *twin.GetCurrentState();
    RequireStateRule(status, prev, now);

    if (x == 0) {
        if (model.buffer.empty()) {
            Require(status == FrameStatus::Incomplete, "a lone delimiter finished a frame");
        } else {
            Bytes records;
            bool framed = false;
            const StatusSet allowed = ExpectSerial(model.buffer, records, framed);
            Require(In(status, allowed), "status of a serial frame");
            // The same records in a datagram give the same result.
            if (framed && records.size() >= kMinDatagram - kHeaderSize &&
                records.size() <= kMaxDatagram - kHeaderSize) {
                Bytes datagram(kHeaderSize + records.size(), 0x00);
                datagram[1] = 0xFF;
                std::copy(records.begin(), records.end(), datagram.begin() + kHeaderSize);
                RequireSameOnOtherPath(prev, datagram, status, now,
                                       "the serial frame's records as a datagram");
            }
        }
        model.buffer.clear();
        model.collecting = true;
    } else if (model.collecting && model.buffer.size() >= kMaxSerialFrame) {
        Require(status == FrameStatus::LengthError, "over-long serial frame not reported");
        model.buffer.clear();
        model.collecting = false;
    } else {
        Require(status == FrameStatus::Incomplete, "a non-delimiter byte finished a frame");
        if (model.collecting) {
            model.buffer.push_back(x);
        }
    }
    if (kor_fuzz::IsApplied(status)) {
        prev = now;
    }
    return status;
}

// A datagram handed to both devices: the two agree, and the status follows the model.
void CheckDatagram(Device& device, Device& twin, Collector& model, TelemetryData& prev,
                   const Bytes& datagram) {
    const FrameStatus status = device.Update(datagram);
    Require(kor_fuzz::IsValidStatus(status), "status out of range");
    Require(twin.Update(datagram) == status, "twin devices disagree on a datagram");
    const TelemetryData& now = *device.GetCurrentState();
    kor_fuzz::RequireSameState(now, *twin.GetCurrentState(), "twin devices differ");
    RequireStateRule(status, prev, now);

    Bytes records;
    Require(In(status, ExpectDatagram(datagram, records)), "status of a datagram");
    if (status != FrameStatus::LengthError) {
        model.buffer.clear();  // a partly collected serial frame is dropped
    }
    if (status != FrameStatus::LengthError && status != FrameStatus::HeaderError) {
        // The same records in a serial frame give the same result.
        Bytes raw = records;
        raw.push_back(kor_fuzz::Checksum(records));
        RequireSameOnOtherPath(prev, kor_fuzz::StuffFrame(raw), status, now,
                               "the datagram's records as a serial frame");
    }
    if (kor_fuzz::IsApplied(status)) {
        prev = now;
    }
}

// Any state a device reaches re-encodes to frames that a fresh device accepts, and the UDP
// and Serial frames decode alike.
void CheckReencode(const Device& device) {
    std::vector<MessageType> all;
    for (unsigned t = 0; t <= kLastType; ++t) {
        all.push_back(static_cast<MessageType>(t));
    }
    Device viaUdp;
    Device viaSerial;
    Require(kor_fuzz::IsApplied(viaUdp.Update(device.EncodeState(TransmissionType::UDP, all))),
            "re-encoded UDP frame not accepted");
    Require(
        kor_fuzz::IsApplied(viaSerial.Update(device.EncodeState(TransmissionType::Serial, all))),
        "re-encoded Serial frame not accepted");
    kor_fuzz::RequireSameState(*viaUdp.GetCurrentState(), *viaSerial.GetCurrentState(),
                               "re-encoded frames decode differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const Bytes rest(data + 1, data + size);
    const std::vector<Bytes> chunks = Chunk(data[0], rest);

    Device device;  // fed the chunks
    Device twin;    // fed the same bytes one at a time (datagrams whole)
    const TelemetryData* const address = device.GetCurrentState();
    Device shared(device);
    Collector model;
    TelemetryData prev = *address;

    for (const Bytes& chunk : chunks) {
        if (IsDatagram(chunk)) {
            CheckDatagram(device, twin, model, prev, chunk);
        } else {
            const FrameStatus status = device.Update(chunk);
            Require(kor_fuzz::IsValidStatus(status), "status out of range");
            // The serial path is a byte-wise state machine: the chunk's status is that of the
            // last frame or overflow it finished, and the state is the twin's.
            FrameStatus last = FrameStatus::Incomplete;
            for (std::uint8_t x : chunk) {
                const FrameStatus s = FeedSerialByte(twin, model, prev, x);
                if (s != FrameStatus::Incomplete) {
                    last = s;
                }
            }
            Require(status == last, "chunked and byte-wise statuses differ");
            kor_fuzz::RequireSameState(*device.GetCurrentState(), *twin.GetCurrentState(),
                                       "chunked and byte-wise states differ");
        }
        Require(device.GetCurrentState() == address, "state address moved");
    }

    // Copies share one decoder; a move hands it over.
    Require(shared.GetCurrentState() == address, "copy does not share the state");
    Device moved(std::move(shared));
    Require(moved.GetCurrentState() == address, "move did not hand over the state");
    Require(shared.GetCurrentState() == nullptr, "moved-from device still holds a state");
    Require(shared.Update(rest) == FrameStatus::Incomplete, "moved-from device decoded");
    Device assigned;
    assigned = device;
    Require(assigned.GetCurrentState() == address, "assignment does not share the state");

    CheckReencode(device);
    return 0;
}
