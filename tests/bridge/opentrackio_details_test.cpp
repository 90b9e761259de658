// OpenTrackIO 1.0.1 details: drop-frame, timecode labels per rate, frame-rate codes,
// identity strings, the camera sourceId and the camera label.
#include <gtest/gtest.h>

#include <string>

#include "opentrackio.h"
#include "opentrackio_identity.h"
#include "opentrackio_timing.h"

namespace {

using namespace Kor::Bridge;
using namespace std::string_literals;

TEST(OpenTrackTiming, DropFrameOnlyAt2997) {
    for (int code = 0; code < 256; ++code) {
        EXPECT_EQ(IsDropFrame(static_cast<std::uint8_t>(code)), code == 4) << code;
    }
}

// The writer of 1.0 let through every frame number up to 119, such as frame 29 at 24 fps.
TEST(OpenTrackTiming, LabelsThatExistAtTheRate) {
    struct Case {
        int h, m, s, f, code;
        bool valid;
    };
    const Case cases[] = {
        {1, 2, 3, 23, 2, true},   {1, 2, 3, 24, 2, false}, {1, 2, 3, 29, 2, false},
        {1, 2, 3, 23, 1, true},   {1, 2, 3, 24, 1, false}, {1, 2, 3, 24, 3, true},
        {1, 2, 3, 25, 3, false},  {1, 2, 3, 29, 5, true},  {1, 2, 3, 30, 5, false},
        {23, 59, 59, 29, 4, true}, {24, 0, 0, 0, 2, false}, {0, 60, 0, 0, 2, false},
        {0, 0, 60, 0, 2, false},  {0, 0, 0, 0, 0, false},  {0, 0, 0, 0, 6, false},
        // Drop-frame: 00:01:00;00 and ;01 do not exist, ;02 does; every tenth minute keeps
        // them, and so does every second but the first of a minute.
        {0, 1, 0, 0, 4, false},   {0, 1, 0, 1, 4, false},  {0, 1, 0, 2, 4, true},
        {0, 10, 0, 0, 4, true},   {0, 0, 0, 0, 4, true},   {0, 1, 1, 0, 4, true},
        {0, 1, 0, 0, 5, true},    {0, 1, 0, 30, 4, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimecodeValidAt(static_cast<std::uint8_t>(c.h), static_cast<std::uint8_t>(c.m),
                                  static_cast<std::uint8_t>(c.s), static_cast<std::uint8_t>(c.f),
                                  static_cast<std::uint8_t>(c.code)),
                  c.valid)
            << c.h << ':' << c.m << ':' << c.s << ':' << c.f << " code " << c.code;
    }
}

TEST(OpenTrackTiming, FrameRateCodes) {
    EXPECT_EQ(ProjectFpsOf(24000, 1001), 1);
    EXPECT_EQ(ProjectFpsOf(24, 1), 2);
    EXPECT_EQ(ProjectFpsOf(48, 2), 2);
    EXPECT_EQ(ProjectFpsOf(25, 1), 3);
    EXPECT_EQ(ProjectFpsOf(30000, 1001), 4);
    EXPECT_EQ(ProjectFpsOf(30000, 1001, true), 4);
    EXPECT_EQ(ProjectFpsOf(30, 1), 5);
    EXPECT_EQ(ProjectFpsOf(30, 1, false), 5);
    // Kor has no 29.97 non-drop, and no drop-frame at other rates.
    EXPECT_EQ(ProjectFpsOf(30000, 1001, false), std::nullopt);
    EXPECT_EQ(ProjectFpsOf(30, 1, true), std::nullopt);
    EXPECT_EQ(ProjectFpsOf(24000, 1001, true), std::nullopt);
    // Rates Kor cannot carry, and nonsense.
    for (const auto& [num, denom] : {std::pair{50U, 1U}, {60000U, 1001U}, {2997U, 100U},
                                     {24U, 0U}, {0U, 1U}, {4294967295U, 4294967295U}}) {
        EXPECT_EQ(ProjectFpsOf(num, denom), std::nullopt) << num << '/' << denom;
    }
}

// CleanText keeps NUL padding and surrounding blanks; identity strings lose them.
TEST(OpenTrackIdentity, IdentityStrings) {
    EXPECT_EQ(CleanText("A123\0\0\0"s), "A123\0\0\0"s);
    EXPECT_EQ(IdentityText("A123\0\0\0"s), "A123");
    EXPECT_EQ(IdentityText("  A123 \t\r\n"), "A123");
    EXPECT_EQ(IdentityText("Cam One"), "Cam One");
    EXPECT_EQ(IdentityText("A123 \0junk"s), "A123");
    EXPECT_EQ(IdentityText("A\xFF" "B"), "A\xEF\xBF\xBD" "B");
    EXPECT_EQ(IdentityText("\0A123"s), std::nullopt);
    EXPECT_EQ(IdentityText(" \t "), std::nullopt);
    EXPECT_EQ(IdentityText(""), std::nullopt);
}

TEST(OpenTrackIdentity, SourceIdOfCamera) {
    // Python: uuid.uuid5(UUID("6b3f2a51-9c0e-4d77-a158-2e904c13d68f"),
    //                    "camera\0Kor\0Cam One\0A123").urn
    const std::string expected = "urn:uuid:1098f960-6c51-5ea2-9650-29e1c87c7cc1";
    EXPECT_EQ(SourceIdOfCamera("Kor", "Cam One", "A123"), expected);
    // Padding and blanks do not change the identity.
    EXPECT_EQ(SourceIdOfCamera(" Kor\0\0"s, "Cam One  ", "A123\0\0\0\0"s), expected);
    // The same serial of another maker or model is another camera (it was not).
    EXPECT_NE(SourceIdOfCamera("Other", "Cam One", "A123"), expected);
    EXPECT_NE(SourceIdOfCamera("Kor", "Cam Two", "A123"), expected);
    // The separator keeps the parts apart.
    EXPECT_NE(SourceIdOfCamera("Kor", "Cam", "One A123"), SourceIdOfCamera("Kor", "Cam One", "A123"));
    EXPECT_NE(SourceIdOfCamera("", "Kor", "A123"), SourceIdOfCamera("Kor", "", "A123"));
    // Without a serial there is no camera identity.
    EXPECT_EQ(SourceIdOfCamera("Kor", "Cam One", " \0 A123"s), std::nullopt);
    ASSERT_TRUE(SourceIdOfCamera("", "", "A123"));
}

TEST(OpenTrackIdentity, CameraLabel) {
    Kor::Protocol::TelemetryData state;
    EXPECT_EQ(CameraLabel(state), std::nullopt);
    state.productSerial = "0042\0\0"s;
    EXPECT_EQ(CameraLabel(state), "0042");
    state.productName = " Cam One ";
    EXPECT_EQ(CameraLabel(state), "Cam One 0042");
    EXPECT_EQ(CameraLabel(state, "A"), "A");
    EXPECT_EQ(CameraLabel(state, " \t"), "Cam One 0042");
    state.productSerial.clear();
    EXPECT_EQ(CameraLabel(state), "Cam One");
    // At most 1023 characters, cut between characters (here two-byte ones).
    std::string longLabel;
    for (int i = 0; i < 1100; ++i) {
        longLabel += "\xC3\xA9";
    }
    const auto cut = CameraLabel(state, longLabel);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 2U * 1023U);
    EXPECT_EQ(*cut, longLabel.substr(0, 2 * 1023));
}

}  // namespace
