// Reader of lens correction files: header entries into a record, table lines into frames.
#include "lens_file_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <locale>
#include <sstream>
#include <string_view>

namespace Kor::LensFile {

namespace {

using Protocol::TelemetryData;

constexpr std::string_view kHeaderStart = "HEADER_START";
constexpr std::string_view kHeaderEnd = "HEADER_END";
constexpr std::string_view kNotAvailable = "N/A";
constexpr std::string_view kHeaderFault = "ERROR  Header data incorrect format in: ";
constexpr std::string_view kFrameFault = "Frame data incorrect format: ";
constexpr std::string_view kFpsFault = "ERROR  Wrong project fps value: ";

// Length of the well-formed UTF-8 sequence of a printable character (U+00A0 and up) that
// starts `text`, or 0 when there is none.
std::size_t PrintableUtf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(0);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07U;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0U) != 0x80U) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3FU);
    }
    // Overlong forms, surrogates, code points beyond U+10FFFF and the C1 controls.
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
        code < 0xA0) {
        return 0;
    }
    return length;
}

// A line of the file as it may be written to a terminal: control characters and bytes
// that are not well-formed UTF-8 text become \xHH; everything else is kept as it is.
std::string Printable(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = c >= 0x80 ? PrintableUtf8Length(line.substr(i)) : 0;
        if (length != 0) {
            out.append(line.substr(i, length));
            i += length;
            continue;
        }
        out += "\\x";
        out += "0123456789ABCDEF"[c >> 4];
        out += "0123456789ABCDEF"[c & 15];
        ++i;
    }
    return out;
}

// A string stream reading numbers with '.' as the decimal point, whatever the global locale.
std::istringstream NumberStream(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    return in;
}

// Reads `value` into `field` by the stream extraction of T. Empty text leaves the field as
// it is; otherwise the field receives what the extraction stores: the number read, 0 when
// there is none, or the type's nearest limit when the number is out of range.
template <typename T>
void ReadNumber(const std::string& value, T& field) {
    if (value.empty()) {
        return;
    }
    std::istringstream in = NumberStream(value);
    T parsed{};  // stays 0 when only white space is there to read
    in >> parsed;
    field = parsed;
}

// Reads `value` as a 32-bit signed integer and keeps its low 8 bits (a timecode field).
void ReadTimecodeByte(const std::string& value, std::uint8_t& field) {
    if (value.empty()) {
        return;
    }
    std::int32_t number = 0;
    ReadNumber(value, number);
    field = static_cast<std::uint8_t>(static_cast<std::uint32_t>(number) & 0xFFU);
}

// Splits at every `separator`, keeping empty pieces: k separators give k + 1 pieces.
std::vector<std::string> SplitAll(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// HH:MM:SS.FF. Parts the value lacks leave their fields unchanged; parts beyond the four
// are ignored.
void ReadTimecode(const std::string& value, TelemetryData& frame) {
    const std::vector<std::string> dotParts = SplitAll(value, '.');  // never empty
    const std::vector<std::string> clockParts = SplitAll(dotParts[0], ':');
    std::array<std::uint8_t*, 3> clockFields = {&frame.timecodeHours, &frame.timecodeMinutes,
                                                &frame.timecodeSeconds};
    for (std::size_t i = 0; i < clockFields.size() && i < clockParts.size(); ++i) {
        ReadTimecodeByte(clockParts[i], *clockFields[i]);
    }
    if (dotParts.size() > 1) {
        ReadTimecodeByte(dotParts[1], frame.timecodeFrames);
    }
}

// Six numbers separated by ',' (blanks around them allowed), each then divided by 10. The
// numbers are read one after another from one stream: when the text runs out, that entry
// and the following ones keep their values; text that is not a number gives that entry 0
// (the stream's failure value) and stops the reading, so the rest keep theirs too; so does
// an out-of-range number, after storing the largest float of its sign.
void ReadSixNumbers(const std::string& value, std::array<float, 6>& entries) {
    std::string joined;
    joined.reserve(value.size() + 1);
    for (const std::string& piece : SplitAll(value, ',')) {
        joined += piece;
        joined += ' ';
    }
    std::istringstream in = NumberStream(joined);
    for (float& entry : entries) {
        in >> entry;  // a failed stream leaves every later entry alone
    }
    for (float& entry : entries) {
        entry /= 10.0F;
    }
}

enum class Column {
    Ignored,
    Frame,
    Tc,
    FocusDistance,
    ApertureF,
    ApertureFraction,
    HorizontalFieldOfView,
    EntrancePupilPosition,
    Shading,
    RadialDistortion,
};

Column ColumnOf(const std::string& name) {
    static const std::unordered_map<std::string, Column> kColumns = {
        {"frame", Column::Frame},
        {"tc", Column::Tc},
        {"focusDistance", Column::FocusDistance},
        {"apertureF", Column::ApertureF},
        {"apertureFraction", Column::ApertureFraction},
        {"horizontalFieldOfView", Column::HorizontalFieldOfView},
        {"entrancePupilPosition", Column::EntrancePupilPosition},
        {"shading", Column::Shading},
        {"radialDistortion", Column::RadialDistortion},
    };
    const auto it = kColumns.find(name);
    return it == kColumns.end() ? Column::Ignored : it->second;
}

// The column layout of the table being read: one handling per field position.
struct Table {
    std::vector<Column> columns;
    bool hasAperture = false;  // an "apertureF" or "apertureFraction" column exists

    void SetColumnNames(const std::vector<std::string>& names) {
        bool haveFrame = false;
        columns.clear();
        hasAperture = false;
        for (const std::string& name : names) {
            Column column = ColumnOf(name);
            if (column == Column::Frame) {
                // Only one column feeds the frame numbers, so that they stay one per record.
                if (haveFrame) {
                    column = Column::Ignored;
                }
                haveFrame = true;
            }
            if (column == Column::ApertureF || column == Column::ApertureFraction) {
                hasAperture = true;
            }
            columns.push_back(column);
        }
    }
};

TelemetryData ReadFrame(const Table& table, const std::vector<std::string>& fields,
                        std::vector<std::int32_t>& frameNumbers) {
    TelemetryData frame;
    float apertureF = 0;
    float apertureFraction = 0;
    for (std::size_t i = 0; i < fields.size() && i < table.columns.size(); ++i) {
        const std::string& value = fields[i];
        TelemetryData::ZeissZdValues& zd = frame.zeissZd;
        switch (table.columns[i]) {
            case Column::Ignored: break;
            case Column::Frame: {
                std::int32_t number = 0;
                ReadNumber(value, number);
                frameNumbers.push_back(number);
                break;
            }
            case Column::Tc: ReadTimecode(value, frame); break;
            case Column::FocusDistance: ReadNumber(value, zd.focusDistance); break;
            case Column::ApertureF: ReadNumber(value, apertureF); break;
            case Column::ApertureFraction: ReadNumber(value, apertureFraction); break;
            case Column::HorizontalFieldOfView: ReadNumber(value, zd.horizontalFieldOfView); break;
            case Column::EntrancePupilPosition: ReadNumber(value, zd.entrancePupilPosition); break;
            case Column::Shading: ReadSixNumbers(value, zd.shading); break;
            case Column::RadialDistortion: ReadSixNumbers(value, zd.radialDistortion); break;
        }
    }
    if (table.hasAperture) {
        frame.zeissZd.aperture = apertureF + apertureFraction / 10.0F;
    }
    return frame;
}

// One key:=value entry of the header. `clipLengthGiven` records whether the file set the
// clip length.
void ApplyHeaderEntry(const std::string& key, const std::string& value, LensFileTarget& target,
                      bool& clipLengthGiven, std::ostream& err) {
    TelemetryData& header = target.header;
    if (key == "clipName") {
        header.clipName = value;
    } else if (key == "cameraManufacturer") {
        header.productBrand = value;
    } else if (key == "creator") {
        header.productName = value;
    } else if (key == "lensManufacturer") {
        header.lensManufacturer = value;
    } else if (key == "lensSerialNumber") {
        header.lensSerial = value;
    } else if (key == "tcFps") {
        const auto it = target.projectFpsByName.find(value);
        if (it == target.projectFpsByName.end()) {
            err << kFpsFault << Printable(value) << '\n';
        } else {
            header.projectFps = static_cast<std::uint8_t>(it->second);
        }
    } else if (key == "lensMinFocalLength") {
        if (value != kNotAvailable) {
            ReadNumber(value, header.minFocalLength);
        }
    } else if (key == "lensMaxFocalLength") {
        if (value != kNotAvailable) {
            ReadNumber(value, header.maxFocalLength);
        }
    } else if (key == "aperture") {
        if (value != kNotAvailable) {
            ReadNumber(value, header.focus);
        }
    } else if (key == "sensorWidth") {
        ReadNumber(value, header.sensorWidth);
    } else if (key == "clipWidth") {
        ReadNumber(value, header.clipWidth);
    } else if (key == "clipHeight") {
        ReadNumber(value, header.clipHeight);
    } else if (key == "clipDurationFrames") {
        if (!value.empty()) {
            ReadNumber(value, target.clipDurationFrames);
            clipLengthGiven = true;
        }
    }
    // Every other key ("shadingGamma", "videoFileName", "tcDrop", ...) carries nothing the
    // emulator sends and is ignored.
}

// The clip length of a file that does not give one: the last frame number, or, without
// frame numbers, the index of the last record (-1 when there is none).
std::int32_t DerivedClipLength(const LensFileTarget& target) {
    if (!target.frameNumbers.empty()) {
        return target.frameNumbers.back();
    }
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const std::size_t count = target.frames.size();
    return count > kMax ? std::numeric_limits<std::int32_t>::max()
                        : static_cast<std::int32_t>(count) - 1;
}

}  // namespace

void ReadLensFile(std::istream& in, LensFileTarget& target, std::ostream& err) {
    target.frames.clear();
    target.frameNumbers.clear();
    target.header.projectFps = 2;

    bool inHeader = false;
    bool columnNamesExpected = true;
    bool clipLengthGiven = false;
    Table table;

    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        line.erase(0, line.find_first_not_of(' '));  // npos: a line of blanks becomes empty

        if (!line.empty() && line.front() == '#') {
            continue;
        }
        if (line == kHeaderStart) {
            inHeader = true;
            continue;
        }
        if (line == kHeaderEnd) {
            inHeader = false;
            continue;
        }

        if (inHeader) {
            // A line shorter than two characters cannot hold ":=" either.
            const std::size_t assign = line.find(":=");
            if (assign == std::string::npos) {
                err << kHeaderFault << Printable(line) << '\n';
            } else {
                ApplyHeaderEntry(line.substr(0, assign), line.substr(assign + 2), target,
                                 clipLengthGiven, err);
            }
            continue;
        }

        const std::vector<std::string> fields = SplitAll(line, ';');
        if (columnNamesExpected) {
            table.SetColumnNames(fields);
            columnNamesExpected = false;
        } else if (fields.size() == table.columns.size()) {
            target.frames.push_back(ReadFrame(table, fields, target.frameNumbers));
        } else {
            err << kFrameFault << Printable(line) << '\n';
        }
    }

    if (!clipLengthGiven) {
        target.clipDurationFrames = DerivedClipLength(target);
    }
}

std::string FileNameOf(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace Kor::LensFile
