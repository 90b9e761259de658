// Fuzz target: Device::Update fed arbitrary bytes in arbitrary chunks, on the datagram and the
// serial path, checked against a byte-by-byte twin and a model of the framing rules; the
// frame reports checked against the frames the twin finished.
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
using Kor::Protocol::FrameReport;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_fuzz::Bytes;
using kor_fuzz::Require;
using kor_fuzz::RequireSameState;

constexpr std::size_t kHeaderSize = 8;  // 00 FF 00, then five zero bytes
constexpr std::size_t kMinDatagram = 11;
constexpr std::size_t kMaxDatagram = 261;
constexpr std::size_t kMaxSerialFrame = 256;  // stuffed bytes between two delimiters
constexpr std::size_t kMaxPayload = 65;
constexpr std::uint8_t kLastType = 27;

// Cuts `bytes` into the pieces handed to Update, as chosen by the control byte: bits 0-2 pick
// the scheme, bits 3-7 are its parameter.
std::vector<Bytes> Chunk(std::uint8_t control, const Bytes& bytes) {
    const unsigned scheme = control & 7U;
    const unsigned param = control >> 3;
    const std::size_t n = bytes.size();
    std::vector<Bytes> chunks;
    const auto take = [&](std::size_t from, std::size_t to) {
        chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                            bytes.begin() + static_cast<std::ptrdiff_t>(to));
    };
    std::size_t i = 0;
    switch (scheme) {
        case 0: break;  // everything in one call
        case 1:         // fixed size, 1 to 32 bytes
            for (; i + param + 1 < n; i += param + 1) {
                take(i, i + param + 1);
            }
            break;
        case 2:    // pseudo-random sizes, empty calls included
        case 3: {  // the same with small sizes
            std::uint32_t state = 0x9E3779B9U ^ (param * 0x85EBCA6BU);
            for (std::size_t calls = 0; i < n && calls < 4 * n + 8; ++calls) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                const std::size_t len =
                    std::min<std::size_t>(n - i, state % (scheme == 2 ? 48 : 4));
                take(i, i + len);
                i += len;
            }
            break;
        }
        case 4:  // a cut after every delimiter, as a line reader would deliver
        case 5:  // a cut before every delimiter
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t cut = scheme == 4 ? j + 1 : j;
                if (bytes[j] == 0 && cut > i) {
                    take(i, cut);
                    i = cut;
                }
            }
            break;
        case 6:  // length-prefixed pieces: a byte L, then L bytes (so datagrams can be mixed in)
            while (i < n) {
                const std::size_t len = bytes[i++];
                take(i, std::min(n, i + len));
                i = std::min(n, i + len);
            }
            return chunks;
        default:  // two pieces, cut at param / 32 of the length
            i = n * param / 32;
            take(0, i);
            break;
    }
    take(i, n);
    return chunks;
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
// A record cut short by the end of the frame is judged by its payload as far as it got.
class RecordModel {
public:
    explicit RecordModel(StatusSet pathErrors) : pathErrors_(pathErrors) {}

    // Takes the next byte; false once the parser has stopped with an error.
    bool Feed(std::uint8_t b) {
        if (error_) {
            return false;
        }
        if (remaining_ != 0) {
            --remaining_;
            if (records_.back().second.size() >= kMaxPayload) {
                error_ = FrameStatus::PayloadTooLong;
            } else {
                records_.back().second.push_back(b);
            }
        } else if (haveType_) {
            records_.emplace_back(type_, Bytes{});
            // A length byte of 255 announces 256 bytes, which no payload may hold: a decoder may
            // stop right here or let the counter wrap to 0; either way the frame is an error.
            remaining_ = (b + 1U) & 0xFFU;
            wrapped_ = wrapped_ || b == 0xFF;
            haveType_ = false;
        } else if (b > kLastType) {
            error_ = FrameStatus::BadMessageType;
        } else {
            type_ = b;
            haveType_ = true;
        }
        return !error_;
    }

    // The statuses allowed for a frame found in error `s` after the bytes fed so far.
    StatusSet Error(FrameStatus s) const { return wrapped_ ? pathErrors_ : Bit(s); }

    // The types of the records begun so far, in order: what an applied frame reports.
    std::vector<MessageType> Types() const {
        std::vector<MessageType> types;
        for (const auto& record : records_) {
            types.push_back(static_cast<MessageType>(record.first));
        }
        return types;
    }

    // The statuses allowed once feeding has stopped (at an error or after every byte).
    StatusSet Outcome() const {
        if (wrapped_ || error_) {
            return wrapped_ ? pathErrors_ : Bit(*error_);
        }
        const bool accepted = std::all_of(records_.begin(), records_.end(), [](const auto& r) {
            return PayloadAccepted(r.first, r.second);
        });
        return accepted ? kApplied : Bit(FrameStatus::MessageRejected);
    }

private:
    StatusSet pathErrors_;
    std::vector<std::pair<std::uint8_t, Bytes>> records_;
    unsigned remaining_ = 0;
    bool haveType_ = false;
    std::uint8_t type_ = 0;
    bool wrapped_ = false;
    std::optional<FrameStatus> error_;
};

// The statuses a datagram may have. `records` receives its record bytes, `types` the types of
// its records (meaningful when it is applied).
StatusSet ExpectDatagram(const Bytes& d, Bytes& records, std::vector<MessageType>& types) {
    if (d.size() < kMinDatagram || d.size() > kMaxDatagram) {
        return Bit(FrameStatus::LengthError);
    }
    if (std::any_of(d.begin() + 3, d.begin() + kHeaderSize,
                    [](std::uint8_t b) { return b != 0; })) {
        return Bit(FrameStatus::HeaderError);
    }
    records.assign(d.begin() + kHeaderSize, d.end());
    RecordModel model(kRecordErrors);
    for (std::uint8_t b : records) {
        if (!model.Feed(b)) break;
    }
    types = model.Types();
    return model.Outcome();
}

// The statuses a serial frame may have, given the K stuffed bytes collected between two
// delimiters (1 <= K <= 256, none zero). The bytes before the last are unstuffed on the fly
// and parsed as they come, so a parser error wins over the framing and checksum checks; the
// last byte is the checksum's place. `types` receives the types of its records.
StatusSet ExpectSerial(const Bytes& buf, std::vector<MessageType>& types) {
    RecordModel model(kSerialErrors);
    Bytes records;
    unsigned code = buf[0];
    for (std::size_t i = 1; i + 1 < buf.size(); ++i) {
        std::uint8_t decoded = buf[i];
        if (--code == 0) {
            decoded = 0;
            code = buf[i];
        }
        records.push_back(decoded);
        if (!model.Feed(decoded)) {
            return model.Outcome();
        }
    }
    types = model.Types();
    const std::uint8_t last = buf.back();
    // The checksum is the last byte, or a zero that the final code byte stands for.
    if (code != 2 && !(code == 1 && last == 1)) {
        return model.Error(FrameStatus::FramingError);
    }
    if ((code == 2 ? last : 0) != kor_fuzz::Checksum(records)) {
        return model.Error(FrameStatus::ChecksumError);
    }
    return model.Outcome();
}

// ---------------------------------------------------------------------------------------------
// The twin: a device fed byte by byte (datagrams whole), checked against the model as it goes.

// One finished frame: what its report holds and the state right after it.
struct Finished {
    FrameStatus status;
    std::vector<MessageType> messages;
    TelemetryData state;
};

bool SameMessages(const Kor::Protocol::MessageTypes& got, const std::vector<MessageType>& want) {
    return std::equal(got.begin(), got.end(), want.begin(), want.end());
}

class Twin {
public:
    const TelemetryData& State() const { return *device_.GetCurrentState(); }

    // The frames finished since the last call, in order.
    std::vector<Finished> TakeFinished() { return std::exchange(finished_, {}); }

    FrameStatus Serial(std::uint8_t x) {
        const FrameStatus status = device_.Update(Bytes{x});
        const bool overflow = x != 0 && collecting_ && buffer_.size() >= kMaxSerialFrame;
        std::vector<MessageType> types;
        if (x == 0 && !buffer_.empty()) {
            Require((Bit(status) & ExpectSerial(buffer_, types)) != 0, "status of a serial frame");
        } else {
            Require(status == (overflow ? FrameStatus::LengthError : FrameStatus::Incomplete),
                    "status of a serial byte that ends no frame");
        }
        if (x == 0 || overflow) {
            buffer_.clear();
            collecting_ = x == 0;
        } else if (collecting_) {
            buffer_.push_back(x);
        }
        Settle(status, types);
        return status;
    }

    FrameStatus Datagram(const Bytes& datagram) {
        const FrameStatus status = device_.Update(datagram);
        Bytes records;
        std::vector<MessageType> types;
        Require((Bit(status) & ExpectDatagram(datagram, records, types)) != 0,
                "status of a datagram");
        Require(status != FrameStatus::Incomplete, "a datagram finished no frame");
        if (status != FrameStatus::LengthError) {
            buffer_.clear();  // a partly collected serial frame is dropped
        }
        if (status != FrameStatus::LengthError && status != FrameStatus::HeaderError) {
            // A device holding the state from before decodes the same records as a serial
            // frame to the same status and state.
            Device other(prev_);
            const char* what = "the datagram's records as a serial frame";
            Require(other.Update(kor_fuzz::SerialFrame(records)) == status, what, "status");
            RequireSameState(*other.GetCurrentState(), State(), what);
            Require(SameMessages(other.GetLastFrame().messages,
                                 kor_fuzz::IsApplied(status) ? types : std::vector<MessageType>{}),
                    what, "report");
        }
        Settle(status, types);
        return status;
    }

private:
    // An error leaves the state as it was; an applied frame reports whether the timecode
    // changed. The device's last report is the frame just finished, if any, with the types
    // of its records when it was applied and none otherwise.
    void Settle(FrameStatus status, const std::vector<MessageType>& types) {
        const FrameReport last = device_.GetLastFrame();
        Require(last.status == status, "the last report's status is not the one returned");
        const bool applied = kor_fuzz::IsApplied(status);
        Require(SameMessages(last.messages, applied ? types : std::vector<MessageType>{}),
                "the report's types are not the frame's records");
        if (status != FrameStatus::Incomplete) {
            finished_.push_back({status, applied ? types : std::vector<MessageType>{}, State()});
        }
        if (!applied) {
            RequireSameState(prev_, State(), "a frame that was not applied changed the state");
            return;
        }
        Require(kor_fuzz::SameTimecode(prev_, State()) == (status == FrameStatus::SameTimecode),
                "status and timecode change differ");
        prev_ = State();
    }

    Device device_;
    TelemetryData prev_;  // the state after the last applied frame
    bool collecting_ = false;
    Bytes buffer_;  // stuffed bytes since the last delimiter
    std::vector<Finished> finished_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Device device;  // fed the chunks, with a report for each frame they finish
    Twin twin;
    for (const Bytes& chunk : Chunk(data[0], Bytes(data + 1, data + size))) {
        std::vector<Finished> reported;
        const FrameStatus status = device.Update(chunk, [&](const FrameReport& report) {
            Require(report.status != FrameStatus::Incomplete, "a report of no frame");
            Require(report.Applied() || report.messages.empty(), "types of a refused frame");
            const FrameReport last = device.GetLastFrame();
            Require(last.status == report.status && last.messages.data() == report.messages.data() &&
                        last.messages.size() == report.messages.size(),
                    "the last frame is not the one being reported");
            reported.push_back({report.status,
                                std::vector<MessageType>(report.messages.begin(),
                                                         report.messages.end()),
                                *device.GetCurrentState()});
        });
        FrameStatus expected = FrameStatus::Incomplete;
        if (chunk.size() >= 3 && chunk[0] == 0x00 && chunk[1] == 0xFF && chunk[2] == 0x00) {
            expected = twin.Datagram(chunk);
        } else {
            // The status of a chunk is that of the last frame or overflow it finished.
            for (std::uint8_t x : chunk) {
                const FrameStatus s = twin.Serial(x);
                expected = s != FrameStatus::Incomplete ? s : expected;
            }
        }
        Require(status == expected, "chunked and byte-wise statuses differ");
        RequireSameState(*device.GetCurrentState(), twin.State(),
                         "chunked and byte-wise states differ");

        // One report per frame the byte-wise twin finished, in order, each with that frame's
        // status, types and state; the status returned is that of the last report.
        const std::vector<Finished> finished = twin.TakeFinished();
        Require(reported.size() == finished.size(), "not one report per finished frame");
        for (std::size_t i = 0; i < finished.size(); ++i) {
            Require(reported[i].status == finished[i].status, "reported status differs");
            Require(reported[i].messages == finished[i].messages, "reported types differ");
            RequireSameState(reported[i].state, finished[i].state,
                             "the state seen with a report differs");
        }
        Require(status == (reported.empty() ? FrameStatus::Incomplete : reported.back().status),
                "the status returned is not that of the last report");
        Require(device.GetLastFrame().status == status, "the last frame is not the last report");
    }

    // Any state a device reaches re-encodes to frames that a fresh device accepts.
    std::vector<MessageType> all;
    for (unsigned t = 0; t <= kLastType; ++t) {
        all.push_back(static_cast<MessageType>(t));
    }
    for (TransmissionType type : {TransmissionType::UDP, TransmissionType::Serial}) {
        Require(kor_fuzz::IsApplied(Device().Update(device.EncodeState(type, all))),
                "re-encoded state not accepted");
    }
    return 0;
}
