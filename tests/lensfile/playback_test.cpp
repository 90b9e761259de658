// Lens file playback end to end on loopback: frames, timing, record selection, restore.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "emulator_model.h"

namespace {

using namespace std::chrono_literals;
using Kor::Emulator::EmulatorModel;
using Kor::Protocol::MessageType;
using MT = MessageType;

// A lens file in the test's scratch folder, removed at the end.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& content)
        : path_(std::filesystem::temp_directory_path() /
                ("kor-playback-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++) +
                 ".zlcf")) {
        std::ofstream(path_) << content;
    }
    ~ScratchFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

// A clip at `fps` whose record n has timecode 01:02:03 + n frames (wrapping per second
// count is not needed for short clips) and focus distance 100 + n.
std::string Clip(const std::string& fps, const std::vector<int>& frameNumbers, int clipFrames) {
    std::string text = "HEADER_START\ntcFps:=" + fps + "\nclipName:=Take 7\ncreator:=Rig\n" +
                       "clipDurationFrames:=" + std::to_string(clipFrames) + "\nHEADER_END\n" +
                       "frame;tc;focusDistance\n";
    for (std::size_t n = 0; n < frameNumbers.size(); ++n) {
        text += std::to_string(frameNumbers[n]) + ";01:02:" + std::to_string(3 + n / 20) + "." +
                std::to_string(n % 20) + ";" + std::to_string(100 + n) + "\n";
    }
    return text;
}

// Plays `path` the way the window's "Open file" does: only the lens-file-driven types are
// enabled, so every datagram is a playback frame.
void Play(EmulatorModel& model, const std::string& path, std::uint16_t port) {
    std::lock_guard lock(model.transmitter.modelMutex);
    std::fill(model.messageEnabled.begin(), model.messageEnabled.end(), 0);
    for (MT type : {MT::Timecode, MT::BasicLens, MT::PtpTimestamp, MT::TickCount}) {
        model.messageEnabled[static_cast<std::size_t>(type)] = 1;
    }
    model.transmitter.LoadLensFile(path);
    model.forceLensFileRates();
    model.transmitter.SetDestination("127.0.0.1", port);
    model.transmitter.StartZeiss();
    model.syncLensFileState();
    model.rebuildSchedule();
}

struct Received {
    std::vector<std::uint32_t> focus;
    std::vector<int> frames;  // timecode frames
    std::vector<std::chrono::steady_clock::time_point> arrivals;
};

// Every datagram of a playback: it ends when the stream has been quiet for a while.
Received Collect(kor_test::LoopbackReceiver& receiver, std::chrono::milliseconds limit) {
    Received r;
    for (const auto& d : receiver.ReceiveUntilQuiet(600ms, limit)) {
        Kor::Protocol::Device device;
        EXPECT_LE(device.Update(d.bytes), Kor::Protocol::FrameStatus::SameTimecode);
        r.focus.push_back(device.GetCurrentState()->focus);
        r.frames.push_back(device.GetCurrentState()->timecodeFrames);
        r.arrivals.push_back(d.arrival);
    }
    return r;
}

TEST(LensPlayback, EveryRecordOnceAtTheFileRate) {
    std::vector<int> numbers;
    for (int n = 0; n < 100; ++n) numbers.push_back(n);
    ScratchFile file(Clip("25", numbers, 99));
    kor_test::LoopbackReceiver receiver;
    EmulatorModel model;
    Play(model, file.path(), receiver.port());
    const Received r = Collect(receiver, 15s);

    ASSERT_EQ(r.focus.size(), 100U);
    for (std::size_t k = 0; k < r.focus.size(); ++k) {
        EXPECT_EQ(r.focus[k], (100 + k) * 10) << "frame " << k;  // focus = distance x 10
        EXPECT_EQ(r.frames[k], static_cast<int>(k % 20)) << "frame " << k;
    }
    const double spanMs =
        std::chrono::duration<double, std::milli>(r.arrivals.back() - r.arrivals.front()).count();
    EXPECT_NEAR(spanMs / 99.0, 40.0, 8.0);
    EXPECT_EQ(model.transmitter.lensFramesSent.load(), 100);
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_FALSE(model.transmitter.lensFilePlaying.load());
}

TEST(LensPlayback, GapsRepeatRecordsAndTheEndRestores) {
    ScratchFile file(Clip("30", {0, 10, 20}, 29));
    kor_test::LoopbackReceiver receiver;
    EmulatorModel model;
    Play(model, file.path(), receiver.port());
    EXPECT_EQ(model.transmitter.liveState.clipName, "Take 7");
    const Received r = Collect(receiver, 10s);

    ASSERT_EQ(r.focus.size(), 30U);
    for (std::size_t k = 0; k < 30; ++k) {
        EXPECT_EQ(r.focus[k], (100 + k / 10) * 10) << "frame " << k;
    }
    std::lock_guard lock(model.transmitter.modelMutex);
    model.syncLensFileState();  // the next window frame notices the end
    const auto& s = model.transmitter.liveState;
    EXPECT_EQ(s.clipName, "Kor Clip");
    EXPECT_EQ(s.productName, "Emulator");
    EXPECT_EQ(s.projectFps, 2);
    EXPECT_EQ(model.messageRate[static_cast<std::size_t>(MT::Timecode)], 10);
    EXPECT_EQ(s.zeissZd.focusDistance, 102U) << "the last frame's lens data stays";
}

TEST(LensPlayback, StopEndsAtOnce) {
    std::vector<int> numbers;
    for (int n = 0; n < 300; ++n) numbers.push_back(n);
    ScratchFile file(Clip("24", numbers, 299));
    kor_test::LoopbackReceiver receiver;
    EmulatorModel model;
    Play(model, file.path(), receiver.port());
    receiver.ReceiveFor(300ms);
    std::int32_t sent = 0;
    {
        std::lock_guard lock(model.transmitter.modelMutex);
        model.transmitter.Stop();
        sent = model.transmitter.lensFramesSent.load();
        EXPECT_FALSE(model.transmitter.lensFilePlaying.load());
    }
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 300);
    receiver.ReceiveFor(100ms);  // a frame that was already in flight
    EXPECT_TRUE(receiver.ReceiveFor(300ms).empty()) << "frames after Stop";
    EXPECT_EQ(model.transmitter.lensFramesSent.load(), sent);
}

TEST(LensPlayback, FileWithoutFramesStartsNothing) {
    ScratchFile file("HEADER_START\ntcFps:=25\nHEADER_END\n");
    EmulatorModel model;
    std::lock_guard lock(model.transmitter.modelMutex);
    model.transmitter.LoadLensFile(file.path());
    EXPECT_TRUE(model.transmitter.lensFrames.empty());
    testing::internal::CaptureStderr();
    model.transmitter.StartZeiss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot play the lens file: it holds no frame record.\n");
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_FALSE(model.transmitter.lensFilePlaying.load());
}

}  // namespace
