// Writes the fuzz targets' seed corpora: kor_fuzz_make_corpus <corpus dir> fills its device/,
// roundtrip/ and lens/ folders with known frames, records and lens inputs (existing files of
// other names, such as kept findings, are left alone).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <kor/telemetry.h>

#include "frames.h"
#include "fuzz_support.h"
#include "record_input.h"

namespace {

namespace fs = std::filesystem;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_fuzz::Bytes;
using MT = MessageType;

fs::path gRoot;
std::size_t gWritten = 0;

void Write(const char* folder, const std::string& name, const Bytes& bytes) {
    const fs::path dir = gRoot / folder;
    fs::create_directories(dir);
    std::ofstream file(dir / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        std::fprintf(stderr, "cannot write %s/%s\n", folder, name.c_str());
        std::exit(1);
    }
    ++gWritten;
}

// "00 FF 0a" -> bytes.
Bytes Hex(const char* text) {
    Bytes out;
    std::string digits;
    for (const char* p = text; *p != 0; ++p) {
        if (*p != ' ' && *p != '|') {
            digits.push_back(*p);
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Repeat(std::uint8_t b, std::size_t n) {
    return Bytes(n, b);
}

const Bytes kHeader = Hex("00 FF 00 00 00 00 00 00");

Bytes Datagram(const Bytes& records) {
    return Cat({kHeader, records});
}

Bytes SerialFrame(const Bytes& records) {
    Bytes raw = records;
    raw.push_back(kor_fuzz::Checksum(records));
    return kor_fuzz::StuffFrame(raw);
}

// Piece [length][bytes], for the length-prefixed chunking.
Bytes Piece(const Bytes& bytes) {
    return Cat({Bytes{static_cast<std::uint8_t>(bytes.size())}, bytes});
}

// ---------------------------------------------------------------------------------------------
// device/: a control byte choosing the chunking, then the bytes.

namespace chunking {
constexpr std::uint8_t kWhole = 0x00;
constexpr std::uint8_t kBytewise = 0x01;          // fixed size 1
constexpr std::uint8_t kFives = (4U << 3) | 1U;   // fixed size 5
constexpr std::uint8_t kRandom = (9U << 3) | 2U;  // pseudo-random sizes
constexpr std::uint8_t kSmallRandom = (3U << 3) | 3U;
constexpr std::uint8_t kAfterDelimiter = 4;
constexpr std::uint8_t kBeforeDelimiter = 5;
constexpr std::uint8_t kPrefixed = 6;
constexpr std::uint8_t kHalves = (13U << 3) | 7U;
}  // namespace chunking

void DeviceSeed(const std::string& name, std::uint8_t control, const Bytes& bytes) {
    Write("device", name, Cat({Bytes{control}, bytes}));
}

Bytes Encoded(const TelemetryData& d, TransmissionType t, std::vector<MessageType> types) {
    return d.Encode(t, std::move(types));
}

void RequireBytes(const Bytes& got, const char* expected, const char* what) {
    if (got != Hex(expected)) {
        std::fprintf(stderr, "unexpected encoding: %s\n", what);
        std::exit(1);
    }
}

void WriteDeviceCorpus() {
    using namespace chunking;
    const TelemetryData def;

    // Frames of a default record and of the timecode-and-lens record.
    DeviceSeed("udp-channel-id", kWhole, Hex("00 FF 00 00 00 00 00 00 18 00 FF"));
    DeviceSeed("serial-channel-id", kWhole, Hex("00 02 18 03 FF E8 00"));
    DeviceSeed("udp-timecode-lens", kWhole,
               Hex("00 FF 00 00 00 00 00 00 | 00 03 10 20 30 12 | 01 07 00 05 DC 00 0D AC 01 18"));
    DeviceSeed("serial-timecode-lens", kFives,
               Hex("00 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF 00"));
    DeviceSeed("bare-records", kWhole, Hex("18 00 FF"));
    DeviceSeed("udp-empty", kWhole, kHeader);
    DeviceSeed("serial-empty", kWhole, Hex("00 02 FF 00"));

    TelemetryData zeroSum;
    zeroSum.channelId = 0xE7;  // records sum to 0xFF: the checksum is 0
    const Bytes zeroChecksum = Encoded(zeroSum, TransmissionType::Serial, {MT::ChannelId});
    RequireBytes(zeroChecksum, "00 02 18 02 E7 01 00", "zero checksum");
    DeviceSeed("serial-zero-checksum", kBytewise, zeroChecksum);

    // Framing and length faults.
    DeviceSeed("serial-no-leading-delimiter", kPrefixed,
               Cat({Piece(Hex("02 FF 00")), Piece(Hex("00 02 FF 00"))}));
    DeviceSeed("serial-framing-error", kWhole, Hex("00 05 00"));
    DeviceSeed("serial-checksum-error", kWhole, Hex("00 02 00"));
    // The 257th byte overflows; the next delimiter decodes nothing; the frame after it is fine.
    const Bytes overlong = Cat({Hex("00"), Repeat(0x41, 257), SerialFrame(Hex("18 00 07"))});
    DeviceSeed("serial-overlong", kRandom, overlong);
    DeviceSeed("udp-10-bytes", kWhole, Hex("00 FF 00 00 00 00 00 00 18 00"));
    DeviceSeed("udp-262-bytes", kWhole,
               Datagram(Cat({Hex("03 F9"), Repeat(0x41, 249), Hex("18 00 07")})));
    DeviceSeed("udp-11-bytes", kWhole, Hex("00 FF 00 00 00 00 00 00 18 00 07"));
    DeviceSeed("udp-header-error", kWhole, Hex("00 FF 00 01 00 00 00 00 18 00 07"));
    DeviceSeed("udp-header-error-byte-7", kWhole, Hex("00 FF 00 00 00 00 00 02 18 00 07"));

    // Record faults, after a valid record.
    DeviceSeed("udp-bad-type", kWhole, Datagram(Hex("18 00 07 1C 00 00")));
    DeviceSeed("serial-bad-type", kAfterDelimiter, SerialFrame(Hex("18 00 07 1C 00 00")));
    DeviceSeed("udp-reserved-type", kWhole, Datagram(Hex("18 00 07 11 00 00")));
    DeviceSeed("serial-reserved-type", kWhole, SerialFrame(Hex("18 00 07 16 00 00")));
    DeviceSeed("udp-project-fps-6", kWhole, Datagram(Hex("0D 00 06")));
    DeviceSeed("udp-payload-66", kWhole, Datagram(Cat({Hex("03 41"), Repeat(0x41, 66)})));
    DeviceSeed("udp-payload-65", kWhole, Datagram(Cat({Hex("03 40"), Repeat(0x41, 65)})));
    DeviceSeed("udp-length-255", kWhole, Datagram(Hex("03 FF 41 41 41 18 00 07")));
    DeviceSeed("udp-cut-record", kWhole, Datagram(Hex("18 00 07 04 05 41 42")));

    // Several frames in one stream.
    TelemetryData tc;
    tc.timecodeHours = 10;
    tc.timecodeMinutes = 20;
    tc.timecodeSeconds = 30;
    tc.timecodeFrames = 12;
    const Bytes tcFrame = Encoded(tc, TransmissionType::Serial, {MT::Timecode});
    DeviceSeed("serial-two-frames-bad-checksum", kWhole,
               Cat({tcFrame, Hex("02 18 03 FF E9 00")}));  // the delimiter is shared
    DeviceSeed("serial-same-timecode-twice", kAfterDelimiter, Cat({tcFrame, tcFrame}));

    // Payload layouts, as the encoder writes them and as hand-made faults.
    TelemetryData p;
    p.timecodeHours = 23;
    p.timecodeMinutes = 59;
    p.timecodeSeconds = 59;
    p.timecodeFrames = 29;
    p.recordFlag = true;
    p.roll = -12.345F;
    p.tickCountType = 1;
    p.tickCount = (1ULL << 32) + 5;
    p.minFocalLength = 700.0F;
    p.zeissZd.aperture = 2.2F;
    p.radioControl.radioMode = 0;
    p.focus = 0;
    p.iris = 2.8F;
    DeviceSeed("udp-payloads", kWhole,
               Encoded(p, TransmissionType::UDP,
                       {MT::Timecode, MT::AxesData, MT::TickCount, MT::LensProperties,
                        MT::ZeissZdData, MT::RadioControl, MT::BasicLens, MT::SensorSize}));
    DeviceSeed("serial-payloads", kSmallRandom,
               Encoded(p, TransmissionType::Serial,
                       {MT::Timecode, MT::AxesData, MT::TickCount, MT::LensProperties,
                        MT::ZeissZdData, MT::RadioControl, MT::BasicLens, MT::SensorSize}));
    DeviceSeed("udp-zeiss-default", kWhole, Encoded(def, TransmissionType::UDP, {MT::ZeissZdData}));
    Bytes badZeiss = Encoded(def, TransmissionType::UDP, {MT::ZeissZdData});
    badZeiss[10] = 0x80;  // payload byte 0 without its marker bits
    DeviceSeed("udp-zeiss-bad-marker", kWhole, badZeiss);
    DeviceSeed("udp-position-not-available", kWhole,
               Datagram(Hex("07 0B 80 00 00 00 00 00 00 64 FF FF FF 9C")));
    DeviceSeed("udp-subject-id-one-byte", kWhole, Datagram(Hex("1B 00 07")));
    DeviceSeed("udp-sensor-size-named", kWhole,
               Datagram(Hex("19 0A 0D 2F 0B 1F 0F 00 08 70 53 33 35")));

    // The emulator's default 24 Hz frame.
    const TelemetryData frame = kor_bench::DefaultFrameState();
    const auto types = kor_bench::DefaultFrameTypes();
    const Bytes udp = Encoded(frame, TransmissionType::UDP, types);
    const Bytes serial = Encoded(frame, TransmissionType::Serial, types);
    DeviceSeed("udp-default-frame", kWhole, udp);
    DeviceSeed("serial-default-frame", kWhole, serial);
    DeviceSeed("serial-default-frame-chunks", kSmallRandom, serial);
    TelemetryData next = frame;
    next.timecodeFrames = 0;
    next.timecodeSeconds = 8;
    const Bytes serialNext = Encoded(next, TransmissionType::Serial, types);
    DeviceSeed("serial-default-frames-stream", kRandom, Cat({serial, serialNext, serial}));
    DeviceSeed("serial-default-frames-halves", kHalves, Cat({serial, serialNext}));
    DeviceSeed("serial-default-frame-before-delimiters", kBeforeDelimiter, serial);
    // A datagram in the middle of a serial frame being collected.
    const auto middle = serial.begin() + static_cast<std::ptrdiff_t>(serial.size() / 2);
    const Bytes half(serial.begin(), middle);
    const Bytes otherHalf(middle, serial.end());
    DeviceSeed("mixed-datagram-inside-serial", kPrefixed,
               Cat({Piece(half), Piece(Encoded(next, TransmissionType::UDP, {MT::Timecode})),
                    Piece(otherHalf), Piece(Encoded(def, TransmissionType::Serial, {}))}));
}

// ---------------------------------------------------------------------------------------------
// roundtrip/: a list of types and a record, in the form ReadRecordInput reads.

void RoundtripSeed(const std::string& name, const kor_fuzz::RecordInput& input) {
    const Bytes bytes = kor_fuzz::WriteRecordInput(input);
    kor_fuzz::ByteReader reader(bytes.data(), bytes.size());
    const kor_fuzz::RecordInput back = kor_fuzz::ReadRecordInput(reader);
    if (back.types != input.types || kor_fuzz::FirstDifference(back.data, input.data) != nullptr) {
        std::fprintf(stderr, "record input %s does not read back\n", name.c_str());
        std::exit(1);
    }
    Write("roundtrip", name, bytes);
}

std::vector<MessageType> AllTypes(unsigned last) {
    std::vector<MessageType> types;
    for (unsigned t = 0; t <= last; ++t) {
        types.push_back(static_cast<MessageType>(t));
    }
    return types;
}

std::string Text(std::size_t n, char first) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>(first + static_cast<char>(i % 26)));
    }
    return s;
}

void WriteRoundtripCorpus() {
    Write("roundtrip", "empty", {});
    RoundtripSeed("default-channel-id", {{MT::ChannelId}, TelemetryData{}});

    kor_fuzz::RecordInput tcLens{{MT::Timecode, MT::BasicLens}, {}};
    tcLens.data.timecodeHours = 10;
    tcLens.data.timecodeMinutes = 20;
    tcLens.data.timecodeSeconds = 30;
    tcLens.data.timecodeFrames = 12;
    tcLens.data.focus = 1500;
    tcLens.data.zoom = 35.0F;
    tcLens.data.iris = 2.8F;
    RoundtripSeed("timecode-lens", tcLens);

    kor_fuzz::RecordInput frame{kor_bench::DefaultFrameTypes(), kor_bench::DefaultFrameState()};
    RoundtripSeed("default-frame", frame);

    // Every type, long strings: the frame fills up and later records are left out.
    kor_fuzz::RecordInput full{AllTypes(31), kor_bench::DefaultFrameState()};
    auto& f = full.data;
    f.productBrand = Text(70, 'A');
    f.productName = Text(66, 'a');
    f.productSerial = Text(65, '0');
    f.lensManufacturer = Text(1, 'L');
    f.lensName = Text(20, 'n');
    f.lensSerial = Text(64, 's');
    f.clipName = Text(70, 'c');
    f.sensorName = Text(57, 'S');
    f.zeissZd.aperture = 14.0F;  // base stop 11, six steps
    RoundtripSeed("all-types-full-frame", full);

    kor_fuzz::RecordInput strings{
        {MT::ProductBrand, MT::ProductName, MT::ProductSerial, MT::LensManufacturer, MT::LensName,
         MT::LensSerial, MT::SensorSize},
        {}};
    strings.data.productBrand = std::string("a\0b", 3);
    strings.data.productName = Text(65, 'N');
    strings.data.productSerial = Text(66, '1');
    strings.data.lensManufacturer = Text(56, 'M');
    strings.data.lensSerial = "x";
    strings.data.sensorName = Text(56, 'S');
    RoundtripSeed("strings", strings);

    kor_fuzz::RecordInput zeiss{{MT::ZeissZdData, MT::ZeissZdData, MT::IdList, MT::ZeissZdData},
                                {}};
    auto& z = zeiss.data.zeissZd;
    z.aperture = 2.37F;  // 4.6 steps above 2.0: rounds up
    z.focusDistance = 0xFFFFFFU;
    z.horizontalFieldOfView = 204.7F;
    z.entrancePupilPosition = -1023;
    z.shading = {0.0F, 100.0F, 0.05F, 50.0F, 99.9F, 0.0F};
    z.radialDistortion = {0.0F, -327.68F, 327.67F, 0.009F, -0.01F, 1.5F};
    RoundtripSeed("zeiss", zeiss);

    // Values at the edges of what the wire carries, and values that travel as "not available".
    kor_fuzz::RecordInput edges{
        {MT::BasicLens, MT::LensProperties, MT::PositionalData, MT::AxesData, MT::SensorSize,
         MT::TickCount, MT::RadioControl, MT::ProjectFps, MT::SubjectId, MT::FileTransferMd5,
         MT::ZeissZdData},
        {}};
    auto& e = edges.data;
    e.focus = 0x1000000U;  // only the low 24 bits travel: not available
    e.zoom = kor_fuzz::kMaxU24Hundredths;
    e.iris = 0.009F;
    e.minFocalLength = 700.0F;
    e.maxFocalLength = 0.01F;
    e.minIris = kor_fuzz::kMaxU16Hundredths;
    e.positionX = -kor_fuzz::kMaxI32Hundredths;
    e.positionY = 0.005F;
    e.positionZ = -1234.56F;
    e.roll = -12.345F;
    e.pitch = kor_fuzz::kMaxI16Hundredths;
    e.yaw = -kor_fuzz::kMaxI16Hundredths;
    e.sensorWidth = 36.0F;
    e.sensorHeight = 24.0F;
    e.clipWidth = 4096;
    e.clipHeight = 2160;
    e.tickCount = (1ULL << 32) + 5;
    e.tickCountType = 7;
    e.radioControl.radioMode = 0;
    e.radioControl.radioParamB = 3;
    e.projectFps = 6;
    e.subjectId = 0x12345;
    e.zeissZd.aperture = 2.2F;  // 2.5 steps above 2.0 in single precision: rounds up
    RoundtripSeed("edges", edges);

    kor_fuzz::RecordInput radio{{MT::RadioControl, MT::ProjectFps, MT::ClipName}, {}};
    radio.data.radioControl.radioValue = 0xABCDEFU;
    radio.data.radioControl.radioParamC = 9;  // mode 4: not sent
    radio.data.projectFps = 5;
    radio.data.clipName = "A001C003";
    RoundtripSeed("radio-short-form", radio);
}

// ---------------------------------------------------------------------------------------------
// lens/: six floats, then R, E, the distorted radius and k1, k2, k3 as doubles.

struct LensInput {
    std::array<float, 6> values{};
    double radius = 0;
    double extra = 0;
    double distorted = 0;
    std::array<double, 3> k{};
};

void LensSeed(const std::string& name, const LensInput& in) {
    kor_fuzz::ByteWriter out;
    for (float v : in.values) {
        out.RawFloat(v);
    }
    for (double v : {in.radius, in.extra, in.distorted, in.k[0], in.k[1], in.k[2]}) {
        out.RawDouble(v);
    }
    Write("lens", name, out.bytes());
}

// Percentages that follow D(r) = a r^2 + b r^4 + c r^6 at the five heights.
std::array<float, 6> Model(double a, double b, double c, double radius) {
    std::array<float, 6> values{};
    const std::array<double, 5> heights{5.0, 10.0, 15.0, 18.0, 21.4};
    for (std::size_t i = 0; i < 5; ++i) {
        const double r2 = (heights[i] / radius) * (heights[i] / radius);
        values[i + 1] = static_cast<float>(100.0 * (a * r2 + b * r2 * r2 + c * r2 * r2 * r2));
    }
    return values;
}

void WriteLensCorpus() {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr float kNaNF = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInfF = std::numeric_limits<float>::infinity();

    LensSeed("zero-percentages", {{0, 0, 0, 0, 0, 0}, 10.0, 0.0, 1.0, {0, 0, 0}});
    LensSeed("typical-lens", {{0, -0.5F, -1.2F, -2.0F, -2.4F, -2.9F}, 21.6, 0.0, 0.8, {0, 0, 0}});
    LensSeed("model-fit",
             {Model(0.01, -0.002, 0.0005, 21.4), 21.4, 0.0, 0.5, {0.01, -0.002, 0.0005}});
    LensSeed("extra-sample", {{7.0F, 0.1F, 0.3F, 0.6F, 0.9F, 1.2F}, 21.4, 30.0, 1.0, {0.1, 0, 0}});
    LensSeed("radius-0.001", {{0, 1, 2, 3, 4, 5}, 0.001, 0.0, 0.00009, {0, 0, 0}});
    LensSeed("radius-zero", {{0, 1, 2, 3, 4, 5}, 0.0, 1.0, -1.0, {0, 0, 0}});
    LensSeed("radius-negative", {{0, 1, 2, 3, 4, 5}, -5.0, 1.0, 0.0, {0, 0, 0}});
    LensSeed("undistort-k1", {{0, 0, 0, 0, 0, 0}, 1.0, 0.0, 1.0, {0.1, 0, 0}});
    LensSeed("not-a-number", {{kNaNF, kNaNF, 1, 2, 3, 4}, kNaN, kNaN, kNaN, {kNaN, 0, 0}});
    LensSeed("infinities", {{kInfF, -kInfF, kInfF, 0, 1, 2}, kInf, -kInf, kInf, {kInf, -kInf, 0}});
    LensSeed(
        "huge-and-tiny",
        {{0, 3e38F, -3e38F, 1e-45F, 1e-38F, 1}, 1e300, 1e-300, 1e200, {1e300, -1e-300, 1e-320}});
    LensSeed("small-radius", {{0, -1, -2, -3, -4, -5}, 0.0011, 1e10, 0.0001, {-1.0, 0.5, -0.25}});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR (the fuzz/corpus folder)\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    WriteDeviceCorpus();
    WriteRoundtripCorpus();
    WriteLensCorpus();
    std::printf("wrote %zu files under %s\n", gWritten, gRoot.c_str());
    return 0;
}
