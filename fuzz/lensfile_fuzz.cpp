// Fuzz target: the lens correction file reader with arbitrary file content: no undefined
// behaviour, and the counts, texts and values the reader promises hold.
//
// Input: the file's bytes. Each input is read twice into one target whose header starts with
// non-default values; a load does not depend on the previous one, so the second leaves
// everything as the first did.
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
    bool clipLengthGiven = false;
};

bool HasField(std::string_view line, std::string_view name) {
    return (';' + std::string(line) + ';').find(';' + std::string(name) + ';') != std::string::npos;
}

Expected Walk(std::string_view text) {
    Expected e;
    bool inHeader = false;
    std::ptrdiff_t columns = -1;  // fields of the column line, once seen
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        if (line.starts_with('#')) {
            continue;
        }
        const std::ptrdiff_t fields = std::count(line.begin(), line.end(), ';') + 1;
        if (line == "HEADER_START" || line == "HEADER_END") {
            inHeader = line == "HEADER_START";
        } else if (inHeader) {
            const std::size_t assign = line.find(":=");
            if (assign == std::string_view::npos) {
                ++e.headerFaults;
                continue;
            }
            const std::string_view key = line.substr(0, assign);
            const std::string_view value = line.substr(assign + 2);
            e.fpsFaults += key == "tcFps" && !kFpsByName.contains(std::string(value)) ? 1 : 0;
            e.clipLengthGiven =
                e.clipLengthGiven || (key == "clipDurationFrames" && !value.empty());
        } else if (columns < 0) {
            columns = fields;
            e.frameColumn = HasField(line, "frame");
        } else {
            ++(fields == columns ? e.frames : e.frameFaults);
        }
    }
    return e;
}

// The lines of `err` that start with `prefix`.
std::size_t CountReports(const std::string& err, const std::string& prefix) {
    const std::string text = '\n' + err;
    std::size_t n = 0;
    for (std::size_t pos = text.find('\n' + prefix); pos != std::string::npos; ++n) {
        pos = text.find('\n' + prefix, pos + 1);
    }
    return n;
}

void CheckLoad(const Load& load, const Expected& e) {
    Require(load.frames.size() == e.frames, "one record per frame line of the right width");
    Require(load.numbers.size() == (e.frameColumn ? load.frames.size() : 0),
            "one frame number per record with a frame column, none without");
    Require(CountReports(load.err, "Frame data incorrect format: ") == e.frameFaults,
            "frame line reports");
    Require(CountReports(load.err, "ERROR  Header data incorrect format in: ") == e.headerFaults,
            "header line reports");
    Require(CountReports(load.err, "ERROR  Wrong project fps value: ") == e.fpsFaults,
            "fps value reports");
    Require(load.err.empty() || load.err.back() == '\n', "every report ends with a line feed");
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
    for (const TelemetryData& frame : load.frames) {
        // Only the timecode and the lens data block come from the file.
        TelemetryData expected;
        expected.timecodeHours = frame.timecodeHours;
        expected.timecodeMinutes = frame.timecodeMinutes;
        expected.timecodeSeconds = frame.timecodeSeconds;
        expected.timecodeFrames = frame.timecodeFrames;
        expected.zeissZd = frame.zeissZd;
        RequireSameState(frame, expected, "frame record field outside the file's columns");
        // A number out of range is stored as the largest float of its sign, never as infinity
        // or NaN; only the aperture, the sum of two columns, may overflow.
        const auto& zd = frame.zeissZd;
        bool finite = !std::isnan(zd.aperture) && std::isfinite(zd.horizontalFieldOfView);
        for (std::size_t i = 0; i < zd.shading.size(); ++i) {
            finite =
                finite && std::isfinite(zd.shading[i]) && std::isfinite(zd.radialDistortion[i]);
        }
        Require(finite, "lens data numbers are finite");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(data, data + size);
    const Expected expected = Walk(text);

    Load kept;
    kept.header.clipName = "earlier";
    kept.header.projectFps = 5;
    kept.Read(text);
    CheckLoad(kept, expected);
    const Load first = kept;
    kept.Read(text);
    Require(first.frames.size() == kept.frames.size(), "frame count repeats");
    for (std::size_t i = 0; i < first.frames.size(); ++i) {
        RequireSameState(first.frames[i], kept.frames[i], "frame record repeats");
    }
    Require(first.numbers == kept.numbers && first.clipLength == kept.clipLength &&
                first.err == kept.err,
            "frame numbers, clip length and reports repeat");
    RequireSameState(first.header, kept.header, "header repeats");
    return 0;
}
