// Fuzz target: the lens correction file reader with arbitrary file content: no undefined
// behaviour, and the counts, texts and values the reader promises hold.
//
// Input: the file's bytes. Each input is read three times: twice into one target whose header
// starts with non-default values (a load does not depend on the previous one, so the second
// leaves everything as the first did), and once into a fresh target (frames, frame numbers,
// clip length and messages the same as before).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fuzz_support.h"
#include "lens_file_reader.h"

namespace {

using Kor::Protocol::TelemetryData;
using kor_fuzz::Require;
using kor_fuzz::RequireSameState;

const std::unordered_map<std::string, int> kFpsByName{
    {"23.98", 1}, {"24", 2}, {"25", 3}, {"29.97", 4}, {"30", 5}};

constexpr std::string_view kHeaderFault = "ERROR  Header data incorrect format in: ";
constexpr std::string_view kFrameFault = "Frame data incorrect format: ";
constexpr std::string_view kFpsFault = "ERROR  Wrong project fps value: ";

struct Load {
    TelemetryData header;
    std::vector<TelemetryData> frames;
    std::vector<std::int32_t> numbers;
    std::int32_t clipLength = -12345;
    std::string err;

    void Read(const std::string& text) {
        std::istringstream in(text);
        std::ostringstream errStream;
        Kor::LensFile::LensFileTarget target{header, frames, numbers, clipLength, kFpsByName};
        Kor::LensFile::ReadLensFile(in, target, errStream);
        err = errStream.str();
    }
};

// What a file must produce, worked out by a plain walk over its lines.
struct Expected {
    std::size_t frames = 0;
    std::size_t frameFaults = 0;
    std::size_t headerFaults = 0;
    std::size_t fpsFaults = 0;
    bool frameColumn = false;
    bool hasAperture = false;
    bool clipLengthGiven = false;
};

std::size_t FieldCount(std::string_view line) {
    std::size_t n = 1;
    for (char c : line) {
        n += c == ';' ? 1 : 0;
    }
    return n;
}

bool HasField(std::string_view line, std::string_view name) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(';', start);
        if (line.substr(start, end == std::string_view::npos ? end : end - start) == name) {
            return true;
        }
        if (end == std::string_view::npos) {
            return false;
        }
        start = end + 1;
    }
}

Expected Walk(std::string_view text) {
    Expected e;
    bool inHeader = false;
    bool haveColumns = false;
    std::size_t columns = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        while (!line.empty() && line.front() == ' ') {
            line.remove_prefix(1);
        }
        if (!line.empty() && line.front() == '#') {
            continue;
        }
        if (line == "HEADER_START" || line == "HEADER_END") {
            inHeader = line == "HEADER_START";
            continue;
        }
        if (inHeader) {
            const std::size_t assign = line.find(":=");
            if (assign == std::string_view::npos) {
                ++e.headerFaults;
                continue;
            }
            const std::string_view key = line.substr(0, assign);
            const std::string_view value = line.substr(assign + 2);
            if (key == "tcFps" && !kFpsByName.contains(std::string(value))) {
                ++e.fpsFaults;
            }
            if (key == "clipDurationFrames" && !value.empty()) {
                e.clipLengthGiven = true;
            }
        } else if (!haveColumns) {
            haveColumns = true;
            columns = FieldCount(line);
            e.frameColumn = HasField(line, "frame");
            e.hasAperture = HasField(line, "apertureF") || HasField(line, "apertureFraction");
        } else if (FieldCount(line) == columns) {
            ++e.frames;
        } else {
            ++e.frameFaults;
        }
    }
    return e;
}

std::size_t CountReports(const std::string& err, std::string_view prefix) {
    std::size_t n = 0;
    std::size_t pos = 0;
    while (pos < err.size()) {
        const std::size_t end = err.find('\n', pos);
        Require(end != std::string::npos, "every report ends with a line feed");
        n += std::string_view(err).substr(pos, end - pos).starts_with(prefix) ? 1 : 0;
        pos = end + 1;
    }
    return n;
}

void CheckLoad(const Load& load, const Expected& e) {
    Require(load.frames.size() == e.frames, "one record per frame line of the right width");
    Require(load.numbers.size() == (e.frameColumn ? load.frames.size() : 0),
            "one frame number per record with a frame column, none without");
    Require(CountReports(load.err, kFrameFault) == e.frameFaults, "frame line reports");
    Require(CountReports(load.err, kHeaderFault) == e.headerFaults, "header line reports");
    Require(CountReports(load.err, kFpsFault) == e.fpsFaults, "fps value reports");
    Require(e.frameFaults + e.headerFaults + e.fpsFaults ==
                static_cast<std::size_t>(std::count(load.err.begin(), load.err.end(), '\n')),
            "nothing else is reported");
    Require(load.header.projectFps >= 1 && load.header.projectFps <= 5, "projectFps is a code");
    if (!e.clipLengthGiven) {
        const std::int32_t derived = !load.numbers.empty()
                                         ? load.numbers.back()
                                         : static_cast<std::int32_t>(load.frames.size()) - 1;
        Require(load.clipLength == derived, "clip length derived from the frames");
    }
    for (float v :
         {load.header.minFocalLength, load.header.maxFocalLength, load.header.sensorWidth}) {
        Require(std::isfinite(v), "header numbers are finite");
    }
    for (const TelemetryData& frame : load.frames) {
        // Only the timecode and the lens data block come from the file.
        TelemetryData expected;
        expected.timecodeHours = frame.timecodeHours;
        expected.timecodeMinutes = frame.timecodeMinutes;
        expected.timecodeSeconds = frame.timecodeSeconds;
        expected.timecodeFrames = frame.timecodeFrames;
        expected.zeissZd = frame.zeissZd;
        RequireSameState(frame, expected, "frame record field outside the file's columns");
        const auto& zd = frame.zeissZd;
        Require(e.hasAperture || zd.aperture == 14.0F, "aperture default without its columns");
        Require(!std::isnan(zd.aperture), "aperture is a number");
        Require(std::isfinite(zd.horizontalFieldOfView), "field of view is finite");
        for (std::size_t i = 0; i < zd.shading.size(); ++i) {
            Require(std::isfinite(zd.shading[i]) && std::isfinite(zd.radialDistortion[i]),
                    "six-number entries are finite");
        }
    }
}

void RequireSameLoad(const Load& a, const Load& b, bool sameHeader) {
    Require(a.frames.size() == b.frames.size(), "frame count repeats");
    for (std::size_t i = 0; i < a.frames.size(); ++i) {
        RequireSameState(a.frames[i], b.frames[i], "frame record repeats");
    }
    Require(a.numbers == b.numbers, "frame numbers repeat");
    Require(a.clipLength == b.clipLength, "clip length repeats");
    Require(a.err == b.err, "reports repeat");
    if (sameHeader) {
        RequireSameState(a.header, b.header, "header repeats");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(data, data + size);
    const Expected expected = Walk(text);

    Load kept;
    kept.header.clipName = "earlier";
    kept.header.focus = 77;
    kept.header.minFocalLength = 1.5F;
    kept.header.clipWidth = 640;
    kept.header.projectFps = 5;
    kept.Read(text);
    CheckLoad(kept, expected);
    const Load first = kept;
    kept.Read(text);
    CheckLoad(kept, expected);
    RequireSameLoad(first, kept, true);

    Load fresh;
    fresh.Read(text);
    CheckLoad(fresh, expected);
    RequireSameLoad(first, fresh, false);
    return 0;
}
