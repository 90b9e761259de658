// Tests of the control window, message settings panel and lens file cell, drawn headless.
#include <gtest/gtest.h>

#include <imgui.h>
#include <imgui_internal.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "imgui_harness.h"
#include "panels.h"

namespace {

using Kor::Emulator::EmulatorModel;
using Kor::Emulator::FileDialog;
using Kor::Emulator::FileDialogResult;
using Kor::Protocol::MessageType;

// Nobody listens here; sending to it over loopback is harmless.
constexpr std::int32_t kQuietPort = 47931;

// A file dialog that hands out a prepared answer and remembers what it was asked.
class TestDialog final : public FileDialog {
public:
    FileDialogResult OpenFile(const std::string& /*filterName*/,
                              const std::string& extension) override {
        ++calls;
        askedExtension = extension;
        return answer;
    }

    FileDialogResult answer;
    int calls = 0;
    std::string askedExtension;
};

bool IsRed(const ImVec4& colour) {
    return colour.x == 1.0F && colour.y == 0.0F && colour.z == 0.0F && colour.w == 1.0F;
}

std::size_t Index(MessageType type) {
    return static_cast<std::size_t>(type);
}

// The ImGui window `name` as {x, y, width, height} (all -1 if it was not drawn).
std::array<float, 4> Box(const char* name) {
    const ImGuiWindow* w = ImGui::FindWindowByName(name);
    if (w == nullptr) {
        return {-1, -1, -1, -1};
    }
    return {w->Pos.x, w->Pos.y, w->Size.x, w->Size.y};
}

// One model and one ImGui context; every frame draws the whole control window.
class PanelFixture : public testing::Test {
protected:
    PanelFixture() {
        model.portInput = kQuietPort;
        Frame();
    }

    void Frame() { ui.Frame(draw); }
    // Clicks a widget, then runs one more frame so that the panels show the result.
    void Click(const std::string& label) {
        ASSERT_TRUE(ui.Click(label, draw)) << label;
        Frame();
    }
    void ClickIn(const std::string& window, const std::string& label) {
        ASSERT_TRUE(ui.ClickIn(window, label, draw)) << window << "/" << label;
        Frame();
    }
    // Activates a text field and selects its whole text, so that typing replaces it. The
    // click goes near the left edge: the recorded rectangle includes the label on the right.
    void FocusAndSelectAll(const std::string& label) {
        const kor_test::WidgetInfo field = ui.Widget(label);
        ui.ClickAt(field.minX + 5.0F, (field.minY + field.maxY) / 2, draw);
        ui.PressKey(ImGuiKey_A, true, draw);
    }

    std::vector<MessageType> Slot(std::size_t slot) {
        std::lock_guard lock(model.transmitter.modelMutex);
        return model.transmitter.schedule.at(slot);
    }

    // Writes a lens correction file at 25 frames per second with `frames` frame lines.
    std::string WriteLensFile(const std::string& name, int durationFrames, int frames) {
        const std::filesystem::path path = directory / name;
        std::ofstream out(path);
        out << "HEADER_START\ntcFps:=25\nclipDurationFrames:=" << durationFrames
            << "\nHEADER_END\nframe;tc;focusDistance\n";
        for (int frame = 0; frame < frames; ++frame) {
            out << frame << ";10:00:00." << frame % 25 << ';' << 100 + frame << '\n';
        }
        return path.string();
    }

    void SetUp() override { std::filesystem::create_directories(directory); }
    void TearDown() override {
        model.transmitter.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    EmulatorModel model;
    TestDialog dialog;
    kor_test::ImGuiHarness ui{900.0F, 950.0F};
    std::function<void()> draw = [this] { Kor::Emulator::drawControlWindow(model, dialog); };
    std::filesystem::path directory =
        std::filesystem::temp_directory_path() /
        ("kor_window_test_" + std::to_string(::getpid()) + "_" +
         testing::UnitTest::GetInstance()->current_test_info()->name());
};

class ControlWindowTest : public PanelFixture {};
class MessageSettingsTest : public PanelFixture {};
class LensFileCellTest : public PanelFixture {
protected:
    // Opens `path` through the cell with the test dialog answering Okay.
    void OpenLensFile(const std::string& path) {
        dialog.answer = FileDialogResult{FileDialogResult::Kind::Okay, path, ""};
        testing::internal::CaptureStdout();  // the reader's and the playback's progress lines
        Click("Open file");
        testing::internal::GetCapturedStdout();
    }
};

// --- Layout -------------------------------------------------------------------------------

// From 815 pixels the panels stand side by side at full height; below, they are stacked,
// two thirds and one third.
TEST_F(ControlWindowTest, LayoutSwitchesAt815Pixels) {
    model.windowWidth = 815;
    ui.Resize(815.0F, 950.0F);
    Frame();
    EXPECT_EQ(Box("Kor Emulator"), (std::array<float, 4>{0, 0, 465, 950}));
    EXPECT_EQ(Box("Message settings"), (std::array<float, 4>{465, 0, 350, 950}));
    EXPECT_EQ(ui.Widget("Start").window, "Kor Emulator");
    EXPECT_LT(ui.Widget("Start").maxX, 465.0F);
    EXPECT_EQ(ui.Widget("Enable All").window, "Message settings");
    EXPECT_GE(ui.Widget("Enable All").minX, 465.0F);
    // Both panels are fixed in place; only the settings panel has a title bar.
    const ImGuiWindow* main = ImGui::FindWindowByName("Kor Emulator");
    const ImGuiWindow* settings = ImGui::FindWindowByName("Message settings");
    ASSERT_TRUE(main != nullptr && settings != nullptr);
    const ImGuiWindowFlags fixed =
        ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse;
    EXPECT_EQ(main->Flags & (fixed | ImGuiWindowFlags_NoTitleBar),
              fixed | ImGuiWindowFlags_NoTitleBar);
    EXPECT_EQ(settings->Flags & (fixed | ImGuiWindowFlags_NoTitleBar), fixed);

    model.windowWidth = 814;
    ui.Resize(814.0F, 950.0F);
    Frame();
    const float upper = static_cast<float>(950.0 / 1.5);  // two thirds, rounded once to float
    // ImGui places windows on whole pixels: 633.33 and 316.67 become 633 and 316.
    EXPECT_EQ(Box("Kor Emulator"), (std::array<float, 4>{0, 0, 814, std::floor(upper)}));
    EXPECT_EQ(Box("Message settings"),
              (std::array<float, 4>{0, std::floor(upper), 814, std::floor(950.0F - upper)}));
    EXPECT_GE(ui.Widget("Enable All").minY, upper);
    EXPECT_LT(ui.Widget("Start").maxY, upper);
}

// --- About line and helpers ---------------------------------------------------------------

TEST_F(ControlWindowTest, AboutLineShowsBothVersionsAndAReadOnlyLink) {
    EXPECT_TRUE(ui.Has("Kor Emulator 2.1.0  |  Kor Library 1.6.0  |"));
    const std::string link = model.productLink;
    Click("##link");
    ui.Type("xyz", draw);
    EXPECT_EQ(model.productLink, link);
}

TEST(ControlWindowSpinner, CyclesTwiceIn400Milliseconds) {
    std::string seen;
    for (int step = 0; step < 8; ++step) {
        seen.push_back(Kor::Emulator::spinnerAt(0.01 + 0.05 * step));
    }
    EXPECT_EQ(seen, "|/-\\|/-\\");
    // The divisor is the float 0.05 (a little above 0.05): 0.05 s is still the first step.
    EXPECT_EQ(Kor::Emulator::spinnerAt(0.05), '|');
    EXPECT_EQ(Kor::Emulator::spinnerAt(1000.06), '/');
}

// --- Destination --------------------------------------------------------------------------

TEST(ControlWindowIp, NormalisesToFourNumbersUpTo255) {
    using Kor::Emulator::normaliseIp;
    EXPECT_EQ(normaliseIp("300"), "255.0.0.0");
    EXPECT_EQ(normaliseIp("10.1"), "10.1.0.0");
    EXPECT_EQ(normaliseIp("1.2.3.4.5"), "1.2.3.4");
    EXPECT_EQ(normaliseIp("-7.0.0.1"), "0.0.0.1");
    EXPECT_EQ(normaliseIp(""), "0.0.0.0");
    EXPECT_EQ(normaliseIp("1..3."), "1.0.3.0");
    EXPECT_EQ(normaliseIp("+5.3*4.007.1/2"), "5.3.7.1");
    EXPECT_EQ(normaliseIp("99999999999.-99999999999"), "255.0.0.0");
}

TEST_F(ControlWindowTest, TypedIpIsNormalisedAndAppliedOnlyBySet) {
    FocusAndSelectAll("IP");
    ui.Type("300", draw);
    Frame();
    EXPECT_EQ(model.ipInput, "255.0.0.0");
    EXPECT_EQ(model.transmitter.GetDestination().address, "127.0.0.1");

    FocusAndSelectAll("IP");
    ui.Type("10.1", draw);
    Click("Set");
    EXPECT_EQ(model.ipInput, "10.1.0.0");
    EXPECT_EQ(model.transmitter.GetDestination().address, "10.1.0.0");
    EXPECT_EQ(model.transmitter.GetDestination().port, kQuietPort);
}

TEST_F(ControlWindowTest, OutOfRangePortFallsBackAndIsRedForOneFrame) {
    for (const std::int32_t port : {0, 70000, -1}) {
        model.portInput = port;
        Frame();
        EXPECT_EQ(model.portInput, 33322) << port;
        EXPECT_TRUE(IsRed(ui.Widget("Port").textColor)) << port;
        EXPECT_FALSE(IsRed(ui.Widget("Set").textColor)) << port;
        EXPECT_FALSE(IsRed(ui.Widget("IP").textColor)) << port;
        Frame();
        EXPECT_FALSE(IsRed(ui.Widget("Port").textColor)) << port;
    }
    for (const std::int32_t port : {1, 65535}) {
        model.portInput = port;
        Frame();
        EXPECT_EQ(model.portInput, port);
        EXPECT_FALSE(IsRed(ui.Widget("Port").textColor)) << port;
    }

    // Typed into the field: once the field is left, the default stands.
    FocusAndSelectAll("Port");
    ui.Type("70000", draw);
    Frame();
    EXPECT_EQ(model.portInput, 33322);
    EXPECT_FALSE(IsRed(ui.Widget("Port").textColor));
}

// --- Run controls -------------------------------------------------------------------------

TEST_F(ControlWindowTest, StartSendsToTheFieldsAndStopEndsTheRun) {
    model.ipInput = "127.0.0.2";  // never "Set": Start takes the fields as they stand
    Frame();
    Click("Start");
    ASSERT_TRUE(model.transmitter.IsRunning());
    EXPECT_EQ(model.transmitter.GetDestination().address, "127.0.0.2");
    EXPECT_EQ(model.transmitter.GetDestination().port, kQuietPort);
    EXPECT_FALSE(ui.Has("Start"));
    EXPECT_TRUE(ui.FindPrefix("Running ").has_value());
    EXPECT_FALSE(ui.FindPrefix("Sending frame").has_value());
    EXPECT_TRUE(ui.Has("Sending to 127.0.0.2:47931"));

    // "Set Local Machine" while running redirects at once, with the current port.
    model.ipInput = "127.0.0.3";
    Click("Set Local Machine");
    EXPECT_EQ(model.ipInput, "127.0.0.1");
    EXPECT_EQ(model.transmitter.GetDestination().address, "127.0.0.1");
    EXPECT_EQ(model.transmitter.GetDestination().port, kQuietPort);
    EXPECT_TRUE(ui.Has("Sending to 127.0.0.1:47931"));

    ClickIn("Kor Emulator", "Stop");
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_TRUE(ui.Has("Start"));
    EXPECT_FALSE(ui.FindPrefix("Sending to").has_value());
}

TEST_F(ControlWindowTest, DelayIsNeverNegative) {
    FocusAndSelectAll("Delay [ms]");
    ui.Type("25", draw);
    EXPECT_EQ(model.transmitter.delayMs.load(), 25);

    FocusAndSelectAll("Delay [ms]");
    ui.Type("-5", draw);
    EXPECT_EQ(model.transmitter.delayMs.load(), 0);
}

TEST_F(ControlWindowTest, SimulationButtonsStartAndStopTheSimulation) {
    Click("Start Simulation");
    EXPECT_TRUE(model.simulationRunning());
    EXPECT_FALSE(ui.Has("Start Simulation"));
    EXPECT_TRUE(ui.FindPrefix("Simulating ").has_value());

    Click("Stop Simulation");
    EXPECT_FALSE(model.simulationRunning());
    EXPECT_TRUE(ui.Has("Start Simulation"));
    EXPECT_FALSE(ui.FindPrefix("Simulating").has_value());
}

// --- Message settings ---------------------------------------------------------------------

TEST_F(MessageSettingsTest, EveryListedRowHasItsOwnWidgets) {
    for (const MessageType type : model.messageOrder) {
        EXPECT_TRUE(ui.Has(std::string(Kor::Emulator::kMessageTypeNames[Index(type)])));
        if (type != MessageType::ZeissZdData) {
            const std::string combo = "##" + std::to_string(Index(type));
            ASSERT_TRUE(ui.Has(combo)) << combo;
            // Only the two fixed "Every packet" combos are disabled while idle.
            const bool fixed = type == MessageType::SubjectId || type == MessageType::ChannelId;
            EXPECT_EQ(ui.Widget(combo).disabled, fixed) << combo;
        }
    }
    EXPECT_FALSE(ui.Has("IdList"));
    EXPECT_FALSE(ui.Widget("Open file").disabled);

    Click("Send record flag");
    EXPECT_TRUE(model.transmitter.liveState.recordFlag);
    Click("Timecode");
    EXPECT_EQ(model.messageEnabled[Index(MessageType::Timecode)], 0);
}

TEST_F(MessageSettingsTest, DisableAllEmptiesTheScheduleAndEnableAllRefillsIt) {
    Click("Disable All");
    for (std::size_t slot = 0; slot < 10; ++slot) {
        EXPECT_TRUE(Slot(slot).empty()) << slot;
    }
    for (const MessageType type : model.messageOrder) {
        EXPECT_EQ(model.messageEnabled[Index(type)], 0);
    }
    EXPECT_EQ(model.messageEnabled[Index(MessageType::IdList)], 1);  // not in the table

    Click("Enable All");
    EXPECT_EQ(Slot(0).size(), 12U);
    EXPECT_EQ(Slot(3).size(), 12U);
}

TEST_F(MessageSettingsTest, TimecodeAt10HzMovesToSlot1) {
    ASSERT_TRUE(ui.PickComboItem("##0", 1, draw));
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 1);
    EXPECT_EQ(Slot(1), (std::vector<MessageType>{MessageType::Timecode, MessageType::SubjectId,
                                                 MessageType::ChannelId, MessageType::PtpTimestamp,
                                                 MessageType::TickCount}));
    for (const std::size_t slot : {0U, 3U}) {
        const std::vector<MessageType> list = Slot(slot);
        EXPECT_EQ(std::count(list.begin(), list.end(), MessageType::Timecode), 0) << slot;
    }
    // The other rows kept their own choices.
    EXPECT_EQ(model.messageRate[Index(MessageType::PtpTimestamp)], 10);
    EXPECT_EQ(model.messageRate[Index(MessageType::SubjectId)], 10);
}

// --- Lens file cell -----------------------------------------------------------------------

TEST_F(LensFileCellTest, OpeningAFileForcesTheRatesAndPlaysUntilStop) {
    model.messageRate[Index(MessageType::BasicLens)] = 0;  // "1 Hz", to be restored later
    OpenLensFile(WriteLensFile("clip.zlcf", 2500, 3));
    EXPECT_EQ(dialog.calls, 1);
    EXPECT_EQ(dialog.askedExtension, "zlcf");
    ASSERT_TRUE(model.transmitter.lensFilePlaying);
    EXPECT_EQ(model.transmitter.GetDestination().address, "127.0.0.1");
    EXPECT_EQ(model.transmitter.GetDestination().port, kQuietPort);

    Frame();
    for (const MessageType type : {MessageType::Timecode, MessageType::BasicLens,
                                   MessageType::PtpTimestamp, MessageType::TickCount}) {
        EXPECT_EQ(model.messageRate[Index(type)], 9) << Index(type);
        EXPECT_TRUE(ui.Widget("##" + std::to_string(Index(type))).disabled) << Index(type);
    }
    EXPECT_FALSE(ui.Widget("##13").disabled);
    EXPECT_FALSE(ui.Has("Open file"));
    EXPECT_TRUE(ui.HasIn("Message settings", "Stop"));
    EXPECT_TRUE(ui.HasIn("Kor Emulator", "Stop"));
    const auto status = ui.FindPrefix("Sending frame ");
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(status->find("/2500 "), std::string::npos) << *status;
    EXPECT_FALSE(ui.FindPrefix("Running").has_value());
    EXPECT_TRUE(ui.Has("Zeiss file: clip.zlcf"));
    {
        const std::vector<MessageType> fps = Slot(9);  // the playback's pace
        EXPECT_EQ(std::count(fps.begin(), fps.end(), MessageType::BasicLens), 1);
        EXPECT_EQ(std::count(fps.begin(), fps.end(), MessageType::Timecode), 1);
    }

    ASSERT_TRUE(ui.ClickIn("Message settings", "Stop", draw));
    EXPECT_FALSE(model.transmitter.lensFilePlaying);
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 9);
    Frame();  // the restore happens at the start of the frame after the stop
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 10);
    EXPECT_EQ(model.messageRate[Index(MessageType::BasicLens)], 0);
    EXPECT_FALSE(ui.Widget("##0").disabled);
    EXPECT_TRUE(ui.Has("Open file"));
    EXPECT_FALSE(ui.FindPrefix("Zeiss file").has_value());
}

TEST_F(LensFileCellTest, CancelOnlyPrintsAndErrorGoesToStandardError) {
    dialog.answer = FileDialogResult{FileDialogResult::Kind::Cancel, "", ""};
    testing::internal::CaptureStdout();
    Click("Open file");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "User pressed cancel.\n");
    EXPECT_EQ(dialog.calls, 1);
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_FALSE(model.transmitter.lensFilePlaying);
    EXPECT_EQ(model.messageRate[Index(MessageType::Timecode)], 10);

    dialog.answer = FileDialogResult{FileDialogResult::Kind::Error, "", "no display"};
    testing::internal::CaptureStderr();
    Click("Open file");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in file dialog: no display\n");
    EXPECT_EQ(dialog.calls, 2);
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_TRUE(ui.Has("Open file"));
}

TEST_F(LensFileCellTest, OpenFileIsDisabledWhileSending) {
    Click("Start");
    ASSERT_TRUE(model.transmitter.IsRunning());
    EXPECT_TRUE(ui.Widget("Open file").disabled);
    Click("Open file");
    EXPECT_EQ(dialog.calls, 0);
    EXPECT_FALSE(model.transmitter.lensFilePlaying);
}

}  // namespace
