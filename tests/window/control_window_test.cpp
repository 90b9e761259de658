// Tests of the run controls, destination, message settings and lens file cell, drawn headless.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "imgui_harness.h"
#include "utf8.h"

namespace {

using Kor::Emulator::FileDialogResult;
using Kor::Protocol::MessageType;
using kor_test::Contains;

std::size_t Index(MessageType type) {
    return static_cast<std::size_t>(type);
}

class ControlWindowTest : public kor_test::PanelTest {
protected:
    std::string Destination() {
        const auto destination = model.transmitter.GetDestination();
        return destination.address + ":" + std::to_string(destination.port);
    }
};
using MessageSettingsTest = ControlWindowTest;

TEST(ControlWindowIp, NormalisesToFourNumbersUpTo255) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"300", "255.0.0.0"},
        {"10.1", "10.1.0.0"},
        {"1.2.3.4.5", "1.2.3.4"},
        {"-7.0.0.1", "0.0.0.1"},
        {"", "0.0.0.0"},
        {"1..3.", "1.0.3.0"},
        {"+5.3*4.007.1/2", "5.3.7.1"},
        {"99999999999.-99999999999", "255.0.0.0"}};
    for (const auto& [text, normalised] : cases) {
        EXPECT_EQ(Kor::Emulator::normaliseIp(text), normalised) << text;
    }
}

TEST_F(ControlWindowTest, TypedIpIsNormalisedAndAppliedOnlyBySet) {
    model.ipInput.clear();
    Frame();
    TypeInto("IP", 0.1F, "10.1");
    EXPECT_EQ(model.ipInput, "10.1.0.0");
    EXPECT_EQ(Destination(), "127.0.0.1:33322");
    Click("Set");
    EXPECT_EQ(Destination(), "10.1.0.0:47931");
}

TEST_F(ControlWindowTest, OutOfRangePortFallsBackToTheDefault) {
    for (const auto& [port, kept] :
         {std::pair{0, 33322}, {70000, 33322}, {-1, 33322}, {1, 1}, {65535, 65535}}) {
        model.portInput = port;
        Frame();
        EXPECT_EQ(model.portInput, kept) << port;
    }
    TypeInto("Port", 0.1F, "70000");
    Frame();
    EXPECT_EQ(model.portInput, 33322);
}

TEST_F(ControlWindowTest, RunControlsReachTheTransmitterAndTheSimulation) {
    model.ipInput = "127.0.0.2";  // never "Set": Start takes the fields as they stand
    Frame();
    Click("Start");
    ASSERT_TRUE(model.transmitter.IsRunning());
    EXPECT_EQ(Destination(), "127.0.0.2:47931");
    EXPECT_TRUE(Has("Sending to 127.0.0.2:47931"));
    Click("Open file");  // disabled: a lens file cannot play while sending
    EXPECT_EQ(dialog.calls, 0);

    // "Set Local Machine" while running redirects at once, with the current port.
    model.ipInput = "127.0.0.3";
    Click("Set Local Machine");
    EXPECT_EQ(model.ipInput, "127.0.0.1");
    EXPECT_EQ(Destination(), "127.0.0.1:47931");

    Click("Kor Emulator/Stop");
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_TRUE(Has("Start"));

    // The delay is never negative.
    for (const auto& [typed, stored] : {std::pair{"25", 25}, {"-5", 0}}) {
        TypeInto("Delay [ms]", 0.1F, typed);
        EXPECT_EQ(model.transmitter.delayMs.load(), stored) << typed;
    }
    Click("Start Simulation");
    EXPECT_TRUE(model.simulationRunning());
    Click("Stop Simulation");
    EXPECT_FALSE(model.simulationRunning());
}

TEST_F(MessageSettingsTest, CheckboxesAndAllButtonsReachTheModel) {
    Click("Send record flag");
    EXPECT_TRUE(state.recordFlag);
    Click("Timecode");
    EXPECT_EQ(model.messageEnabled[Index(MessageType::Timecode)], 0);

    Click("Disable All");
    for (std::size_t slot = 0; slot < 10; ++slot) {
        EXPECT_TRUE(model.transmitter.schedule.at(slot).empty()) << slot;
    }
    EXPECT_EQ(model.messageEnabled[Index(MessageType::IdList)], 1);  // not in the table

    Click("Enable All");
    EXPECT_EQ(model.messageEnabled[Index(MessageType::Timecode)], 1);
    EXPECT_TRUE(Contains(model.transmitter.schedule[0], MessageType::ClipName));
}

TEST_F(MessageSettingsTest, RateComboMovesOnlyItsTypeToTheChosenSlot) {
    PickComboItem("##0", 1);  // Timecode at "10 Hz"
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 1);
    EXPECT_TRUE(Contains(model.transmitter.schedule[1], MessageType::Timecode));
    EXPECT_FALSE(Contains(model.transmitter.schedule[0], MessageType::Timecode));
    EXPECT_EQ(model.messageRate[Index(MessageType::PtpTimestamp)], 10);
}

class LensFileCellTest : public ControlWindowTest {
protected:
    // Where a test writes its lens correction file.
    void TearDown() override { std::filesystem::remove(path); }
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("kor_window_" + std::to_string(::getpid()) + ".zlcf");
};

TEST_F(LensFileCellTest, OpeningAFileForcesTheRatesAndPlaysUntilStop) {
    model.messageRate[Index(MessageType::BasicLens)] = 0;  // "1 Hz", to be restored later
    // 2500 frames at 25 fps, from three frame lines: it plays on until stopped.
    std::ofstream(path)
        << "HEADER_START\ntcFps:=25\nclipDurationFrames:=2500\nHEADER_END\n"
           "frame;tc;focusDistance\n0;10:00:00.0;1\n1;10:00:00.1;2\n2;10:00:00.2;3\n";
    dialog.answer = FileDialogResult{FileDialogResult::Kind::Okay, path.string(), ""};
    testing::internal::CaptureStdout();  // the reader's and the playback's progress lines
    Click("Open file");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(model.transmitter.lensFilePlaying);
    EXPECT_EQ(Destination(), "127.0.0.1:47931");

    for (const MessageType type : {MessageType::Timecode, MessageType::BasicLens,
                                   MessageType::PtpTimestamp, MessageType::TickCount}) {
        EXPECT_EQ(model.messageRate[Index(type)], 9) << Index(type);
        EXPECT_TRUE(Widget("##" + std::to_string(Index(type))).disabled) << Index(type);
    }
    EXPECT_FALSE(Widget("##13").disabled);
    EXPECT_NE(Find("Sending frame ").find("/2500 "), std::string::npos);
    EXPECT_TRUE(Has("Zeiss file: " + path.filename().string()));
    EXPECT_TRUE(Contains(model.transmitter.schedule[9], MessageType::BasicLens));

    Click("Message settings/Stop");  // the rates come back in the frame after the stop
    EXPECT_FALSE(model.transmitter.lensFilePlaying);
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 10);
    EXPECT_EQ(model.messageRate[Index(MessageType::BasicLens)], 0);
    EXPECT_FALSE(Widget("##0").disabled);
    EXPECT_TRUE(Has("Open file"));
}

// A refused file (not readable, or without a frame line) starts nothing and leaves the
// rates and the saved rates alone: a later playback still gives back the rates of before.
TEST_F(LensFileCellTest, RefusedFileLeavesTheRates) {
    model.messageRate[Index(MessageType::BasicLens)] = 0;
    const std::filesystem::path missing = path.string() + ".missing";
    const auto expectRatesOfBefore = [&](const char* when) {
        EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 10) << when;
        EXPECT_EQ(model.messageRate[Index(MessageType::BasicLens)], 0) << when;
        EXPECT_FALSE(Widget("##0").disabled) << when;
    };
    for (const bool readable : {false, true}) {
        std::ofstream(path) << "HEADER_START\ntcFps:=25\nHEADER_END\nframe;tc;focusDistance\n";
        dialog.answer =
            FileDialogResult{FileDialogResult::Kind::Okay, (readable ? path : missing).string(), ""};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Click("Open file");
        Frame();
        testing::internal::GetCapturedStdout();
        EXPECT_NE(testing::internal::GetCapturedStderr().find("holds no frame record"),
                  std::string::npos);
        EXPECT_FALSE(model.transmitter.IsRunning());
        expectRatesOfBefore(readable ? "after a file without frames" : "after a missing file");
    }

    std::ofstream(path) << "HEADER_START\ntcFps:=25\nclipDurationFrames:=2500\nHEADER_END\n"
                           "frame;tc;focusDistance\n0;10:00:00.0;1\n";
    dialog.answer = FileDialogResult{FileDialogResult::Kind::Okay, path.string(), ""};
    testing::internal::CaptureStdout();
    Click("Open file");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(model.transmitter.lensFilePlaying);
    Click("Message settings/Stop");
    expectRatesOfBefore("after a playback");
}

// A clip of one frame is sent and ended in well under a millisecond, before the window's next
// frame: its end still gives back the rates and the header values it replaced, so that the
// next file saves the user's rates rather than the forced ones.
TEST_F(LensFileCellTest, AClipEndedBeforeTheNextFrameGivesBackWhatItReplaced) {
    model.messageRate[Index(MessageType::BasicLens)] = 0;
    const std::string clipName = model.transmitter.liveState.clipName;
    const std::uint8_t projectFps = model.transmitter.liveState.projectFps;
    std::ofstream(path) << "HEADER_START\nclipName:=One frame\ntcFps:=25\nclipDurationFrames:=0\n"
                           "HEADER_END\nframe;tc;focusDistance\n0;10:00:00.0;150\n";
    for (int play = 1; play <= 2; ++play) {
        SCOPED_TRACE(play);
        dialog.answer = FileDialogResult{FileDialogResult::Kind::Okay, path.string(), ""};
        const kor_test::WidgetInfo open = Widget("Open file");
        testing::internal::CaptureStdout();
        ClickAt((open.minX + open.maxX) / 2, (open.minY + open.maxY) / 2);  // plays on release
        // The clip ends by itself before the next frame is drawn.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (model.transmitter.lensFilePlaying && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        testing::internal::GetCapturedStdout();
        ASSERT_FALSE(model.transmitter.lensFilePlaying);
        EXPECT_EQ(model.transmitter.lensFramesSent.load(), 1);
        Frame();
        EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 10);
        EXPECT_EQ(model.messageRate[Index(MessageType::BasicLens)], 0);
        std::lock_guard lock(model.transmitter.modelMutex);
        EXPECT_EQ(model.transmitter.liveState.clipName, clipName);
        EXPECT_EQ(model.transmitter.liveState.projectFps, projectFps);
    }
}

// The dialog hands over the chosen path in UTF-8; a folder and a file named in Cyrillic and
// Japanese open as any other (on Windows, whatever the ANSI code page can spell).
TEST_F(LensFileCellTest, OpensAFileWhoseNameIsNotAscii) {
    const std::string folder = Kor::Platform::Utf8FromPath(std::filesystem::temp_directory_path()) +
                               "/kor " + std::to_string(::getpid()) + " Съёмка 撮影";
    const std::string file = folder + "/дубль 1.zlcf";
    std::filesystem::create_directories(Kor::Platform::PathFromUtf8(folder));
    std::ofstream(Kor::Platform::PathFromUtf8(file))
        << "HEADER_START\ntcFps:=25\nclipDurationFrames:=2500\nHEADER_END\n"
           "frame;tc;focusDistance\n0;10:00:00.0;1\n";
    dialog.answer = FileDialogResult{FileDialogResult::Kind::Okay, file, ""};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Click("Open file");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(out.find("Done reading 1 frames from " + file + "\n"), std::string::npos) << out;
    EXPECT_TRUE(model.transmitter.lensFilePlaying);
    EXPECT_TRUE(Has("Zeiss file: дубль 1.zlcf"));
    Click("Message settings/Stop");
    std::filesystem::remove_all(Kor::Platform::PathFromUtf8(folder));
}

TEST_F(LensFileCellTest, CancelAndErrorOnlyReport) {
    using Kind = FileDialogResult::Kind;
    for (const auto& [kind, out, err] :
         {std::tuple{Kind::Cancel, "User pressed cancel.\n", ""},
          std::tuple{Kind::Error, "", "Error in file dialog: no display\n"}}) {
        dialog.answer = FileDialogResult{kind, "", "no display"};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Click("Open file");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        EXPECT_FALSE(model.transmitter.IsRunning());
        EXPECT_TRUE(Has("Open file"));
    }
    EXPECT_EQ(dialog.calls, 2);
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 10);
}

}  // namespace
