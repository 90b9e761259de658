// Reader of lens correction files: a header of key:=value lines and a ';'-separated table.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include <kor/telemetry.h>

namespace Kor::LensFile {

// Where a load leaves its results (the Transmitter's lens file members).
struct LensFileTarget {
    Protocol::TelemetryData& header;               // header values; kept across loads
    std::vector<Protocol::TelemetryData>& frames;  // one record per frame line; reset per load
    std::vector<std::int32_t>& frameNumbers;       // the "frame" column; reset per load
    std::int32_t& clipDurationFrames;              // clip length in frames; set by every load
    const std::unordered_map<std::string, int>& projectFpsByName;
};

// Reads a lens correction file from `in` into `target`, line by line. Faulty lines are
// reported on `err` with their texts (control characters and bytes that are not UTF-8 text
// written as \xHH) and skipped. Does not write the closing line.
//
// Every load first empties `frames` and `frameNumbers` and sets `header.projectFps` to 2;
// every other header field keeps its value unless the file sets it.
//
// Lines end with LF or CRLF. Leading blanks (' ' only) are removed; '#' starts a comment
// line; "HEADER_START" / "HEADER_END" open and close the header section, whose lines are
// key:=value entries. Every other line belongs to the table: the first gives the column
// names, each later one with as many ';'-separated fields becomes one frame record.
//
// Numbers are read as by `operator>>` of the field's own type from a classic-locale string
// stream: leading white space skipped, the longest readable prefix taken, the rest ignored
// ("2.8" into an integer gives 2). An empty value leaves the field unchanged; text in which
// no number can be read stores 0. Out-of-range values store the type's nearest limit
// (saturation: "70000" as uint16 gives 65535, "1e99" as float gives the largest float).
// An unsigned type accepts a leading '-' and wraps modulo 2^N when the magnitude fits
// ("-1" as uint32 gives 4294967295) and saturates at its maximum otherwise. Floats never
// come out as NaN or infinite from a single number ("inf" and "nan" read as no number).
//
// Clip length: the header key "clipDurationFrames" with a non-empty value sets it. A file
// without one gets the last frame number, or, when the table has no "frame" column, the
// number of frame records minus one (-1 for a file without frame records).
//
// Frame numbers: the first "frame" column of the table feeds `frameNumbers` (a further
// column of that name is ignored), so `frameNumbers` holds either one entry per record or
// none. An empty "frame" value appends 0.
//
// Timecode ("tc", HH:MM:SS.FF): a part the value does not have leaves its field unchanged;
// each part present is read as a 32-bit signed integer and stored as its low 8 bits.
void ReadLensFile(std::istream& in, LensFileTarget& target, std::ostream& err);

// The file-name part of a path: after the last '/' or '\' (whole path if it has none;
// empty when the path ends with a separator).
std::string FileNameOf(const std::string& path);

}  // namespace Kor::LensFile
