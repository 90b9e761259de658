// Tests of the lens correction file reader: line handling, header keys, columns, numbers.
#include "lens_file_reader.h"

#include <array>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Kor::LensFile::FileNameOf;
using Kor::LensFile::LensFileTarget;
using Kor::LensFile::ReadLensFile;
using Kor::Protocol::TelemetryData;
using Six = std::array<float, 6>;

// The lens file members of one transmitter; Load reads a file into them and returns what
// the reader wrote to the error stream.
struct Reader {
    const std::unordered_map<std::string, int> fpsByName{
        {"23.98", 1}, {"24", 2}, {"25", 3}, {"29.97", 4}, {"30", 5}};
    TelemetryData header;
    std::vector<TelemetryData> frames;
    std::vector<std::int32_t> numbers;
    std::int32_t clipLength = 12345;

    std::string Load(const std::string& text) {
        std::istringstream in(text);
        std::ostringstream err;
        LensFileTarget target{header, frames, numbers, clipLength, fpsByName};
        ReadLensFile(in, target, err);
        return err.str();
    }
};

void ExpectSix(const Six& actual, const Six& expected) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_FLOAT_EQ(actual[i], expected[i]) << "entry " << i;
    }
}

// Keys match exactly, the value starts after the first ":=" and is stored whole.
TEST(LensFileReader, HeaderOnlyFileSetsEveryKeyAndNoFrames) {
    Reader r;
    r.header.lensManufacturer = "old";
    EXPECT_EQ(r.Load("HEADER_START\n"
                     "clipName:=A001 take 3 \n"
                     "clipName :=A\n"
                     "cameraManufacturer:=Brand\n"
                     "creator:=Model X\n"
                     "lensManufacturer:=\r\n"
                     "lensSerialNumber:=SN:=42\n"
                     "tcFps:=25\n"
                     "lensMinFocalLength:=18.5\n"
                     "lensMaxFocalLength:=80\n"
                     "aperture:=2.8\n"
                     "sensorWidth:=36.7\n"
                     "clipWidth:=4096\n"
                     "clipHeight:=2160\n"
                     "clipDurationFrames:=99\n"
                     "unknownKey:=1\n"
                     ":=\n"
                     "HEADER_END\n"),
              "");
    EXPECT_EQ(r.header.clipName, "A001 take 3 ");  // trailing blank kept, "clipName " ignored
    EXPECT_EQ(r.header.productBrand, "Brand");
    EXPECT_EQ(r.header.productName, "Model X");
    EXPECT_EQ(r.header.lensManufacturer, "");
    EXPECT_EQ(r.header.lensSerial, "SN:=42");
    EXPECT_EQ(r.header.projectFps, 3);
    EXPECT_FLOAT_EQ(r.header.minFocalLength, 18.5F);
    EXPECT_FLOAT_EQ(r.header.maxFocalLength, 80.0F);
    EXPECT_EQ(r.header.focus, 2U);  // "aperture" is read as an unsigned integer
    EXPECT_FLOAT_EQ(r.header.sensorWidth, 36.7F);
    EXPECT_EQ(r.header.clipWidth, 4096);
    EXPECT_EQ(r.header.clipHeight, 2160);
    EXPECT_EQ(r.clipLength, 99);
    EXPECT_TRUE(r.frames.empty());
    EXPECT_TRUE(r.numbers.empty());
}

// Every known column read from one record; unknown columns are skipped.
TEST(LensFileReader, FrameColumnsAndUnknownOnesIgnored) {
    Reader r;
    EXPECT_EQ(r.Load("frame;x;tc;focusDistance;horizontalFieldOfView;entrancePupilPosition;"
                     "shading;radialDistortion\n"
                     "7;junk;01:02:03.04;1500;47.5;-120;10,20,30,40,50,60;-5, 5,,15 ,25,35,45\n"),
              "");
    ASSERT_EQ(r.frames.size(), 1U);
    const TelemetryData& f = r.frames[0];
    EXPECT_EQ((std::array<int, 4>{f.timecodeHours, f.timecodeMinutes, f.timecodeSeconds,
                                  f.timecodeFrames}),
              (std::array<int, 4>{1, 2, 3, 4}));
    const auto& zd = f.zeissZd;
    EXPECT_EQ(zd.focusDistance, 1500U);
    EXPECT_FLOAT_EQ(zd.aperture, 14.0F);  // no aperture column: default kept
    EXPECT_FLOAT_EQ(zd.horizontalFieldOfView, 47.5F);
    EXPECT_EQ(zd.entrancePupilPosition, -120);
    ExpectSix(zd.shading, {1, 2, 3, 4, 5, 6});
    ExpectSix(zd.radialDistortion, {-0.5F, 0.5F, 1.5F, 2.5F, 3.5F, 4.5F});  // 45 ignored
    EXPECT_EQ(r.numbers, (std::vector<std::int32_t>{7}));

    // Only the first "frame" column gives numbers, so there is one per record.
    r.Load("frame;frame\n1;2\n3;4\n");
    EXPECT_EQ(r.numbers, (std::vector<std::int32_t>{1, 3}));
}

TEST(LensFileReader, LineHandlingAndFaultTexts) {
    struct Case {
        const char* text;
        std::size_t frames;
        const char* err;
    };
    const std::vector<Case> cases = {
        // Wrong field counts are reported and skipped; good lines around them are read.
        {"a;b\n1;2\n1;2;3\n1\n1;2;\n3;4\n", 2,
         "Frame data incorrect format: 1;2;3\nFrame data incorrect format: 1\n"
         "Frame data incorrect format: 1;2;\n"},
        // An empty line after the column line has one field.
        {"a;b\n\n1;2\n", 1, "Frame data incorrect format: \n"},
        {"a\n\n1\n", 2, ""},
        // The first table line gives the column names, even an empty one.
        {"\na;b\n1\n", 1, "Frame data incorrect format: a;b\n"},
        // Leading blanks go (also before '#'); tabs and trailing blanks stay.
        {"  HEADER_START\n  # c\nx\nHEADER_END\na\n1\n", 1,
         "ERROR  Header data incorrect format in: x\n"},
        {"HEADER_START \na\n1\n", 2, ""},
        {"\tHEADER_START\na\n1\n", 2, ""},
        // Comments anywhere; a comment is never the column line.
        {"# c\na\n#1\n1\nHEADER_START\n#k\nHEADER_END\n", 1, ""},
        // Header markers are idempotent; the line equals the marker exactly.
        {"HEADER_END\nHEADER_START\nHEADER_START\nk:=v\nHEADER_END\nheader_start\n1\n", 1, ""},
        // Malformed header entries, empty line included.
        {"HEADER_START\n\nx\nclipName : = A\n:\nHEADER_END\n", 0,
         "ERROR  Header data incorrect format in: \n"
         "ERROR  Header data incorrect format in: x\n"
         "ERROR  Header data incorrect format in: clipName : = A\n"
         "ERROR  Header data incorrect format in: :\n"},
        // CRLF endings, a lone '\r' inside a line stays; last line without a line feed.
        {"HEADER_START\r\nbad\r\nHEADER_END\r\na;b\r\n1;2\r\n1\r2\r\n3;4", 2,
         "ERROR  Header data incorrect format in: bad\nFrame data incorrect format: 1\r2\n"},
        {"", 0, ""},
    };
    for (const Case& c : cases) {
        Reader r;
        EXPECT_EQ(r.Load(c.text), c.err) << c.text;
        EXPECT_EQ(r.frames.size(), c.frames) << c.text;
    }
}

TEST(LensFileReader, TcFpsLookup) {
    struct Case {
        const char* lines;
        int fps;
        const char* err;
    };
    const std::vector<Case> cases = {
        {"tcFps:=25\n", 3, ""},
        {"tcFps:=25.00\n", 2, "ERROR  Wrong project fps value: 25.00\n"},
        {"tcFps:= 25\n", 2, "ERROR  Wrong project fps value:  25\n"},
        {"tcFps:=30\ntcFps:=\n", 5, "ERROR  Wrong project fps value: \n"},
        {"", 2, ""},
    };
    for (const Case& c : cases) {
        Reader r;
        r.header.projectFps = 5;  // every load starts from 2
        EXPECT_EQ(r.Load(std::string("HEADER_START\n") + c.lines), c.err) << c.lines;
        EXPECT_EQ(r.header.projectFps, c.fps) << c.lines;
    }
}

TEST(LensFileReader, NumberRule) {
    constexpr auto kFloatMax = std::numeric_limits<float>::max();
    struct Case {
        const char* line;
        float minFocal;
        std::uint32_t focus;
        std::uint16_t width;
        std::int32_t clip;
    };
    // Starting values: minFocal 7, focus 7, width 7 (the clip length derives to -1).
    const std::vector<Case> cases = {
        {"lensMinFocalLength:=N/A", 7, 7, 7, -1},
        {"lensMinFocalLength:=N/A mm", 0, 7, 7, -1},
        {"lensMinFocalLength:=", 7, 7, 7, -1},
        {"lensMinFocalLength:= \t", 0, 7, 7, -1},
        {"lensMinFocalLength:= 2.5e1mm", 25, 7, 7, -1},
        {"lensMinFocalLength:=1,5", 1, 7, 7, -1},
        {"lensMinFocalLength:=1e99", kFloatMax, 7, 7, -1},
        {"lensMinFocalLength:=inf", 0, 7, 7, -1},
        {"aperture:=N/A", 7, 7, 7, -1},
        {"aperture:=-1", 7, 4294967295U, 7, -1},
        {"aperture:=99999999999", 7, 4294967295U, 7, -1},
        {"clipWidth:=N/A", 7, 7, 0, -1},
        {"clipWidth:=70000", 7, 7, 65535, -1},
        {"clipDurationFrames:=3000000000", 7, 7, 7, 2147483647},
        {"clipDurationFrames:=x", 7, 7, 7, 0},
    };
    for (const Case& c : cases) {
        Reader r;
        r.header.minFocalLength = 7;
        r.header.focus = 7;
        r.header.clipWidth = 7;
        EXPECT_EQ(r.Load(std::string("HEADER_START\n") + c.line + "\n"), "");
        EXPECT_EQ(r.header.minFocalLength, c.minFocal) << c.line;
        EXPECT_EQ(r.header.focus, c.focus) << c.line;
        EXPECT_EQ(r.header.clipWidth, c.width) << c.line;
        EXPECT_EQ(r.clipLength, c.clip) << c.line;
    }
}

TEST(LensFileReader, SignedColumnsSaturate) {
    Reader r;
    EXPECT_EQ(r.Load("entrancePupilPosition;frame\n40000;3000000000\n-40000;-9\n;\n"), "");
    ASSERT_EQ(r.frames.size(), 3U);
    EXPECT_EQ(r.frames[0].zeissZd.entrancePupilPosition, 32767);
    EXPECT_EQ(r.frames[1].zeissZd.entrancePupilPosition, -32768);
    EXPECT_EQ(r.frames[2].zeissZd.entrancePupilPosition, 0);
    // An empty frame value appends 0, so there is one number per record.
    EXPECT_EQ(r.numbers, (std::vector<std::int32_t>{2147483647, -9, 0}));
}

TEST(LensFileReader, Aperture) {
    struct Case {
        const char* text;
        float aperture;
    };
    const std::vector<Case> cases = {
        {"apertureF;apertureFraction\n2;8\n", 2.8F},
        {"apertureFraction\n5\n", 0.5F},
        {"apertureFraction;apertureF\n5;1.5\n", 2.0F},
        {"apertureF;apertureFraction\n;\n", 0.0F},
    };
    for (const Case& c : cases) {
        Reader r;
        r.Load(c.text);
        ASSERT_EQ(r.frames.size(), 1U) << c.text;
        EXPECT_FLOAT_EQ(r.frames[0].zeissZd.aperture, c.aperture) << c.text;
    }
}

TEST(LensFileReader, SixNumbers) {
    struct Case {
        const char* value;
        Six expected;
    };
    // A first "shading" column sets 100..600; the second reads over those values, and all
    // six are divided by 10 again. An out-of-range number stops the reading like text does.
    const std::vector<Case> cases = {
        {"10,20", {1, 2, 30, 40, 50, 60}},
        {"100,x,300", {10, 0, 30, 40, 50, 60}},
        {"1e99,5", {std::numeric_limits<float>::max() / 10, 20, 30, 40, 50, 60}},
        {",, 10 ,,", {1, 20, 30, 40, 50, 60}},
        {"", {10, 20, 30, 40, 50, 60}},  // an empty field still divides by 10
        {"1 2 3 4 5 6 7", {0.1F, 0.2F, 0.3F, 0.4F, 0.5F, 0.6F}},
    };
    for (const Case& c : cases) {
        Reader r;
        r.Load(std::string("shading;shading\n1000,2000,3000,4000,5000,6000;") + c.value + "\n");
        ASSERT_EQ(r.frames.size(), 1U) << c.value;
        SCOPED_TRACE(c.value);
        ExpectSix(r.frames[0].zeissZd.shading, c.expected);
    }
    Reader single;
    single.Load("shading\n10,20\n");
    ASSERT_EQ(single.frames.size(), 1U);
    ExpectSix(single.frames[0].zeissZd.shading, {1, 2, 0, 0, 0, 0});
}

TEST(LensFileReader, TimecodePartsPresentOnly) {
    struct Case {
        const char* value;
        std::array<int, 4> hmsf;
    };
    // A first "tc" column sets 1:2:3.4; the second sets only the parts it has.
    const std::vector<Case> cases = {
        {"10:20:30", {10, 20, 30, 4}},
        {".7", {1, 2, 3, 7}},
        {"::.", {1, 2, 3, 4}},
        {"5:6:7:8.9.10", {5, 6, 7, 9}},
        {"300:-1:x.258", {44, 255, 0, 2}},
        {"99999999999:1:1.1", {255, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        Reader r;
        r.Load(std::string("tc;tc\n01:02:03.04;") + c.value + "\n");
        ASSERT_EQ(r.frames.size(), 1U) << c.value;
        const TelemetryData& f = r.frames[0];
        EXPECT_EQ((std::array<int, 4>{f.timecodeHours, f.timecodeMinutes, f.timecodeSeconds,
                                      f.timecodeFrames}),
                  c.hmsf)
            << c.value;
    }
}

TEST(LensFileReader, ClipLengthSetByEveryLoad) {
    struct Case {
        const char* text;
        std::int32_t clip;
    };
    const std::vector<Case> cases = {
        {"HEADER_START\nclipDurationFrames:=1\nHEADER_END\nframe\n0\n10\n", 1},
        {"frame\n30\n10\n", 10},
        {"tc\n\n\n\n", 2},
        {"tc\n", -1},
        {"frame;tc\n1\n", -1},
        {"HEADER_START\nclipDurationFrames:=\nHEADER_END\nframe\n4\n", 4},
        {"HEADER_START\nclipDurationFrames:=5\nclipDurationFrames:=\n", 5},
    };
    for (const Case& c : cases) {
        Reader r;
        r.Load(c.text);
        EXPECT_EQ(r.clipLength, c.clip) << c.text;
    }
}

TEST(LensFileReader, SecondLoadReplacesFramesAndKeepsHeader) {
    Reader r;
    r.Load(
        "HEADER_START\nclipName:=first\nlensSerialNumber:=S1\ntcFps:=30\n"
        "clipDurationFrames:=77\nHEADER_END\nframe;focusDistance\n0;1\n1;2\n");
    ASSERT_EQ(r.frames.size(), 2U);
    EXPECT_EQ(r.clipLength, 77);

    r.Load("HEADER_START\nlensSerialNumber:=S2\nHEADER_END\nfocusDistance\n9\n");
    ASSERT_EQ(r.frames.size(), 1U);
    EXPECT_EQ(r.frames[0].zeissZd.focusDistance, 9U);
    EXPECT_TRUE(r.numbers.empty());
    EXPECT_EQ(r.header.clipName, "first");
    EXPECT_EQ(r.header.lensSerial, "S2");
    EXPECT_EQ(r.header.projectFps, 2);
    EXPECT_EQ(r.clipLength, 0);
}

TEST(LensFileReader, FileNameOf) {
    const std::array<std::array<const char*, 2>, 5> cases = {{
        {"D:\\clips\\take1.zlcf", "take1.zlcf"},
        {"a/b\\c.zlcf", "c.zlcf"},
        {"a\\b/c.zlcf", "c.zlcf"},
        {"take3.zlcf", "take3.zlcf"},
        {"dir\\", ""},
    }};
    for (const auto& [path, name] : cases) {
        EXPECT_EQ(FileNameOf(path), name) << path;
    }
}

}  // namespace
