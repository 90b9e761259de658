// The lens correction file reader: header keys, columns, and malformed or hostile files.
#include "lens_file_reader.h"

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Kor::LensFile::FileNameOf;
using Kor::Protocol::TelemetryData;

// The lens file members of one transmitter, with the header fields the tables watch set
// to 7 (and the frame rate to 5, which every load sets back to 2). Load reads a file into
// them and returns what the reader wrote to its error stream.
struct Reader {
    const std::unordered_map<std::string, int> fpsByName{
        {"23.98", 1}, {"24", 2}, {"25", 3}, {"29.97", 4}, {"30", 5}};
    TelemetryData header;
    std::vector<TelemetryData> frames;
    std::vector<std::int32_t> numbers;
    std::int32_t clipLength = 12345;

    Reader() {
        header.minFocalLength = 7;
        header.focus = 7;
        header.clipWidth = 7;
        header.projectFps = 5;
    }

    std::string Load(const std::string& text) {
        std::istringstream in(text);
        std::ostringstream err;
        Kor::LensFile::LensFileTarget target{header, frames, numbers, clipLength, fpsByName};
        Kor::LensFile::ReadLensFile(in, target, err);
        return err.str();
    }
};

template <typename Values>
std::string Join(const Values& values) {
    std::ostringstream out;
    const char* separator = "";
    for (const auto& value : values) {
        out << separator << +value;
        separator = ",";
    }
    return out.str();
}

// What a load left, as " key=value " words: the frame count, the header fields the tables
// watch, the clip length, the frame numbers, every entrance pupil position, and the first
// record's timecode, aperture and shading (a default record's when there is none).
std::string Summary(const Reader& r) {
    std::vector<int> pupils;
    for (const TelemetryData& frame : r.frames) {
        pupils.push_back(frame.zeissZd.entrancePupilPosition);
    }
    const TelemetryData& h = r.header;
    const TelemetryData f = r.frames.empty() ? TelemetryData{} : r.frames.front();
    std::ostringstream out;
    out << " n=" << r.frames.size() << " fps=" << +h.projectFps << " minF=" << h.minFocalLength
        << " focus=" << h.focus << " width=" << h.clipWidth << " clip=" << r.clipLength
        << " nums=" << Join(r.numbers) << " pupil=" << Join(pupils) << " tc="
        << Join(std::array<int, 4>{f.timecodeHours, f.timecodeMinutes, f.timecodeSeconds,
                                   f.timecodeFrames})
        << " ap=" << f.zeissZd.aperture << " shade=" << Join(f.zeissZd.shading) << ' ';
    return out.str();
}

TEST(LensFileReader, HeaderKeysColumnsAndASecondLoad) {
    Reader r;
    r.header.lensManufacturer = "old";
    EXPECT_EQ(r.Load("HEADER_START\n"
                     "clipName:=A001 take 3 \n"
                     "clipName :=A\n"
                     "cameraManufacturer:=Brand\n"
                     "creator:=Model X\n"
                     "lensManufacturer:=\r\n"
                     "lensSerialNumber:=SN:=42\n"
                     "lensMaxFocalLength:=80\n"
                     "aperture:=2.8\n"
                     "sensorWidth:=36.7\n"
                     "clipHeight:=2160\n"
                     "unknownKey:=1\n"
                     ":=\n"
                     "HEADER_END\n"
                     "frame;x;tc;focusDistance;horizontalFieldOfView;entrancePupilPosition;"
                     "radialDistortion\n"
                     "7;junk;01:02:03.04;1500;47.5;-120;-5, 5,,15 ,25,35,45\n"),
              "");
    const TelemetryData& h = r.header;
    // A trailing blank is kept, "clipName " is no key, the value starts after the first ":=".
    EXPECT_EQ((std::vector<std::string>{h.clipName, h.productBrand, h.productName,
                                        h.lensManufacturer, h.lensSerial}),
              (std::vector<std::string>{"A001 take 3 ", "Brand", "Model X", "", "SN:=42"}));
    EXPECT_FLOAT_EQ(h.maxFocalLength, 80.0F);
    EXPECT_EQ(h.focus, 2U);  // "aperture" is read as an unsigned integer
    EXPECT_FLOAT_EQ(h.sensorWidth, 36.7F);
    EXPECT_EQ(h.clipHeight, 2160);
    ASSERT_EQ(r.frames.size(), 1U);
    const auto& zd = r.frames[0].zeissZd;
    EXPECT_TRUE(Summary(r).find(" tc=1,2,3,4 ") != std::string::npos);
    EXPECT_EQ(zd.focusDistance, 1500U);
    EXPECT_FLOAT_EQ(zd.aperture, 14.0F);  // no aperture column: the default stays
    EXPECT_FLOAT_EQ(zd.horizontalFieldOfView, 47.5F);
    EXPECT_EQ(zd.entrancePupilPosition, -120);
    EXPECT_EQ(Join(zd.radialDistortion), "-0.5,0.5,1.5,2.5,3.5,4.5");  // 45 ignored
    EXPECT_EQ(r.clipLength, 7);

    // A second load replaces the frames and numbers, and keeps the header values it does
    // not set.
    r.Load("HEADER_START\nlensSerialNumber:=S2\nHEADER_END\nfocusDistance\n9\n");
    ASSERT_EQ(r.frames.size(), 1U);
    EXPECT_EQ(r.frames[0].zeissZd.focusDistance, 9U);
    EXPECT_TRUE(r.numbers.empty());
    EXPECT_EQ(h.clipName, "A001 take 3 ");
    EXPECT_EQ(h.lensSerial, "S2");
    EXPECT_EQ(r.clipLength, 0);
}

// Each case loads one file into a fresh reader and names the error lines and the words of
// the Summary it must leave.
TEST(LensFileReader, MalformedAndHostileFiles) {
    struct Case {
        const char* text;
        const char* err;
        const char* expected;
    };
    const std::string kBadFrame = "Frame data incorrect format: ";
    const std::string kBadHeader = "ERROR  Header data incorrect format in: ";
    const std::string kBadFps = "ERROR  Wrong project fps value: ";
    const Case cases[] = {
        // Lines with a wrong field count are reported and skipped, the others read.
        {"a;b\n1;2\n1;2;3\n1\n1;2;\n3;4\n", "1;2;3|1|1;2;", "n=2"},
        {"a;b\n\n1;2\n", "|", "n=1"},
        {"a\n\n1\n", "", "n=2"},
        {"\na;b\n1\n", "a;b", "n=1"},  // the first table line names the columns, even empty
        // Leading blanks go (also before '#'); tabs and trailing blanks stay.
        {"  HEADER_START\n  # c\nx\nHEADER_END\na\n1\n", "!x", "n=1"},
        {"HEADER_START \na\n1\n", "", "n=2"},
        {"\tHEADER_START\na\n1\n", "", "n=2"},
        {"# c\na\n#1\n1\nHEADER_START\n#k\nHEADER_END\n", "", "n=1"},
        {"HEADER_END\nHEADER_START\nHEADER_START\nk:=v\nHEADER_END\nheader_start\n1\n", "", "n=1"},
        {"HEADER_START\n\nx\nclipName : = A\n:\nHEADER_END\n", "!|!x|!clipName : = A|!:", "n=0"},
        {"HEADER_START\r\nbad\r\nHEADER_END\r\na;b\r\n1;2\r\n1\r2\r\n3;4", "!bad|1\\x0D2", "n=2"},
        // Faulty lines reach the terminal with control characters and bytes that are not
        // UTF-8 text escaped; printable text, UTF-8 and backslashes included, stays.
        {"a;b\n\x1B[2J\x07z\n", "\\x1B[2J\\x07z", "n=0"},
        {"a;b\n\xFF\xFE\xC3\x28\xC2\x85\xE2\x82\n", "\\xFF\\xFE\\xC3(\\xC2\\x85\\xE2\\x82", "n=0"},
        {"a;b\nObjektiv \xC3\x9C \xE2\x82\xAC \\x41\tz\x7F\n", "Objektiv \xC3\x9C \xE2\x82\xAC \\x41\\x09z\\x7F", "n=0"},
        {"HEADER_START\n\x01\x02\nclipName:=ok\ntcFps:=2\x1B" "5\n", "!\\x01\\x02|?2\\x1B5", "n=0"},
        {"", "", "n=0 clip=-1 fps=2"},
        // Frame rate names match exactly; a wrong one keeps the rate.
        {"HEADER_START\ntcFps:=25\n", "", "fps=3 n=0"},
        {"HEADER_START\ntcFps:=25.00\n", "?25.00", "fps=2"},
        {"HEADER_START\ntcFps:=30\ntcFps:=\n", "?", "fps=5"},
        // Numbers: the longest readable prefix; no number stores 0, an empty value nothing;
        // out-of-range values saturate, unsigned ones wrap a leading '-'.
        {"HEADER_START\nlensMinFocalLength:=N/A\n", "", "minF=7"},
        {"HEADER_START\nlensMinFocalLength:=N/A mm\n", "", "minF=0"},
        {"HEADER_START\nlensMinFocalLength:=\n", "", "minF=7"},
        {"HEADER_START\nlensMinFocalLength:= \t\n", "", "minF=0"},
        {"HEADER_START\nlensMinFocalLength:= 2.5e1mm\n", "", "minF=25"},
        {"HEADER_START\nlensMinFocalLength:=1e99\n", "", "minF=3.40282e+38"},
        {"HEADER_START\nlensMinFocalLength:=inf\n", "", "minF=0"},
        {"HEADER_START\naperture:=-1\n", "", "focus=4294967295"},
        {"HEADER_START\nclipWidth:=N/A\n", "", "width=0"},
        {"HEADER_START\nclipWidth:=70000\n", "", "width=65535"},
        {"HEADER_START\nclipDurationFrames:=3000000000\n", "", "clip=2147483647"},
        {"entrancePupilPosition;frame\n40000;3000000000\n-40000;-9\n;\n", "",
         "pupil=32767,-32768,0 nums=2147483647,-9,0"},
        // Only the first "frame" column gives numbers.
        {"frame;frame\n1;2\n3;4\n", "", "nums=1,3"},
        // Clip length: the header's, else the last frame number, else records minus one.
        {"HEADER_START\nclipDurationFrames:=1\nHEADER_END\nframe\n0\n10\n", "", "clip=1"},
        {"frame\n30\n10\n", "", "clip=10"},
        {"tc\n\n\n\n", "", "n=3 clip=2"},
        {"frame;tc\n1\n", "1", "n=0 clip=-1"},
        {"HEADER_START\nclipDurationFrames:=\nHEADER_END\nframe\n4\n", "", "clip=4"},
        {"HEADER_START\nclipDurationFrames:=5\nclipDurationFrames:=\n", "", "clip=5"},
        // The aperture column pair; an empty value of either leaves 0.
        {"apertureF;apertureFraction\n2;8\n", "", "ap=2.8"},
        {"apertureFraction\n5\n", "", "ap=0.5"},
        {"apertureFraction;apertureF\n5;1.5\n", "", "ap=2"},
        {"apertureF;apertureFraction\n;\n", "", "ap=0"},
        // Six numbers, divided by 10: a second column reads over the first one's values and
        // stops at text or an out-of-range number; empty items are skipped.
        {"shading\n10,20\n", "", "shade=1,2,0,0,0,0"},
        {"shading;shading\n1000,2000,3000,4000,5000,6000;100,x,300\n", "",
         "shade=10,0,30,40,50,60"},
        {"shading;shading\n1000,2000,3000,4000,5000,6000;1e99,5\n", "",
         "shade=3.40282e+37,20,30,40,50,60"},
        {"shading;shading\n1000,2000,3000,4000,5000,6000;,, 10 ,,\n", "", "shade=1,20,30,40,50,60"},
        {"shading;shading\n1000,2000,3000,4000,5000,6000;\n", "", "shade=10,20,30,40,50,60"},
        {"shading\n1 2 3 4 5 6 7\n", "", "shade=0.1,0.2,0.3,0.4,0.5,0.6"},
        // Timecode: a second column sets only the parts it has, each as the low 8 bits of
        // a saturated 32-bit number.
        {"tc;tc\n01:02:03.04;10:20:30\n", "", "tc=10,20,30,4"},
        {"tc;tc\n01:02:03.04;::.\n", "", "tc=1,2,3,4"},
        {"tc;tc\n01:02:03.04;5:6:7:8.9.10\n", "", "tc=5,6,7,9"},
        {"tc;tc\n01:02:03.04;300:-1:x.258\n", "", "tc=44,255,0,2"},
        {"tc;tc\n01:02:03.04;99999999999:1:1.1\n", "", "tc=255,1,1,1"},
    };
    for (const Case& c : cases) {
        // The error lines, '|'-separated: '!' marks a header fault, '?' a frame rate one.
        std::string err;
        std::istringstream faults(c.err);
        for (std::string fault; *c.err != '\0' && std::getline(faults, fault, '|');) {
            err += fault.starts_with('!')   ? kBadHeader + fault.substr(1) + "\n"
                   : fault.starts_with('?') ? kBadFps + fault.substr(1) + "\n"
                                            : kBadFrame + fault + "\n";
        }
        Reader r;
        EXPECT_EQ(r.Load(c.text), err) << c.text;
        const std::string summary = Summary(r);
        std::istringstream expected(c.expected);
        for (std::string word; expected >> word;) {
            EXPECT_TRUE(summary.find(' ' + word + ' ') != std::string::npos)
                << word << " after " << c.text << "\nleft" << summary;
        }
    }
}

TEST(LensFileReader, FileNameOf) {
    for (const auto& [path, name] : {std::pair{"D:\\clips\\take1.zlcf", "take1.zlcf"},
                                     {"a/b\\c.zlcf", "c.zlcf"},
                                     {"a\\b/c.zlcf", "c.zlcf"},
                                     {"take3.zlcf", "take3.zlcf"},
                                     {"dir\\", ""}}) {
        EXPECT_EQ(FileNameOf(path), name) << path;
    }
}

}  // namespace
