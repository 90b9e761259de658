// Lens file playback end to end on loopback: which records go out, the end, Stop, restore.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "emulator_model.h"

namespace {

using namespace std::chrono_literals;
using Kor::Emulator::EmulatorModel;
using MT = Kor::Protocol::MessageType;

// A clip at 30 fps with focal lengths and a focus in its header; record n has the frame
// number numbers[n], timecode 01:02:03 frame n and focus distance 100 + n. It is written
// to a scratch file, removed at the end.
class Clip {
public:
    explicit Clip(const std::vector<int>& numbers, int clipFrames, const char* header = "")
        : path_(std::filesystem::temp_directory_path() /
                ("kor-playback-" + std::to_string(::getpid()) + "-" + std::to_string(clipFrames) +
                 ".zlcf")) {
        std::ofstream file(path_);
        file << "HEADER_START\ntcFps:=30\nclipName:=Take 7\ncreator:=Rig\nclipDurationFrames:="
             << clipFrames << "\n"
             << header << "HEADER_END\nframe;tc;focusDistance\n";
        for (std::size_t n = 0; n < numbers.size(); ++n) {
            file << numbers[n] << ";01:02:03." << n << ";" << 100 + n << "\n";
        }
    }
    ~Clip() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

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

// A record stays current until the frame count reaches the next record's frame number;
// the run ends by itself after clip length + 1 frames, the last one sent too, and the
// next window frame puts back the header values and rates the playback replaced.
TEST(LensPlayback, FrameNumbersPickRecordsAndTheEndRestores) {
    Clip clip({0, 1, 2, 5, 6}, 7, "lensMinFocalLength:=25\naperture:=1200\n");
    kor_test::LoopbackReceiver receiver;
    EmulatorModel model;
    Play(model, clip.path(), receiver.port());
    std::vector<std::uint32_t> focus;
    std::vector<int> frames;
    for (const auto& d : receiver.ReceiveUntilQuiet(1s, 20s)) {
        Kor::Protocol::Device device;
        EXPECT_LE(device.Update(d.bytes), Kor::Protocol::FrameStatus::SameTimecode);
        focus.push_back(device.GetCurrentState()->focus);
        frames.push_back(device.GetCurrentState()->timecodeFrames);
    }
    // The focus sent is the record's focus distance x 10.
    EXPECT_EQ(focus, (std::vector<std::uint32_t>{1000, 1010, 1020, 1020, 1020, 1030, 1040, 1040}));
    EXPECT_EQ(frames, (std::vector<int>{0, 1, 2, 2, 2, 3, 4, 4}));
    EXPECT_EQ(model.transmitter.lensFramesSent.load(), 8);

    std::lock_guard lock(model.transmitter.modelMutex);
    EXPECT_FALSE(model.transmitter.IsRunning());
    EXPECT_FALSE(model.transmitter.lensFilePlaying.load());
    const auto& s = model.transmitter.liveState;
    EXPECT_EQ(s.clipName, "Take 7");
    EXPECT_FLOAT_EQ(s.minFocalLength, 25.0F);
    model.syncLensFileState();
    EXPECT_EQ(s.clipName, "Kor Clip");
    EXPECT_EQ(s.productName, "Emulator");
    EXPECT_EQ(s.projectFps, 2);
    EXPECT_FLOAT_EQ(s.minFocalLength, 3.0F);
    EXPECT_EQ(s.focus, 450U);
    EXPECT_EQ(model.messageRate[static_cast<std::size_t>(MT::Timecode)], 10);
    EXPECT_EQ(s.zeissZd.focusDistance, 104U) << "the last frame's lens data stays";
}

// Stop ends a playback at once (else joining its threads would wait for the whole clip),
// and nothing is sent after it. A file without frame records then starts nothing.
TEST(LensPlayback, StopEndsAtOnceAndNoRecordsStartNothing) {
    Clip clip({0}, 299);  // one record, sent 300 times at 30 fps
    kor_test::LoopbackReceiver receiver;
    EmulatorModel model;
    auto& t = model.transmitter;
    Play(model, clip.path(), receiver.port());
    ASSERT_TRUE(receiver.Receive(10s));
    {
        std::lock_guard lock(t.modelMutex);
        t.Stop();
        EXPECT_FALSE(t.lensFilePlaying.load());
    }
    t.JoinThreads();  // as the next Start does
    EXPECT_LT(t.lensFramesSent.load(), 300);
    receiver.ReceiveUntilQuiet(100ms, 2s);  // a frame that was already in flight
    EXPECT_FALSE(receiver.Receive(300ms)) << "a frame after Stop";

    Clip empty({}, 0);
    std::lock_guard lock(t.modelMutex);
    t.LoadLensFile(empty.path());
    testing::internal::CaptureStderr();
    t.StartZeiss();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot play the lens file: it holds no frame record.\n");
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.lensFilePlaying.load());

    // A file that cannot be opened says why, and is refused like one without frames.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(t.LoadLensFile(empty.path() + ".missing"));
    const std::string missing = testing::internal::GetCapturedStderr();
    EXPECT_EQ(missing.rfind("Cannot open the lens file " + empty.path() + ".missing: ", 0), 0U)
        << missing;
    EXPECT_EQ(std::count(missing.begin(), missing.end(), '\n'), 1) << missing;
}

// A file opened while a playback runs, or after one ended by itself but before the window's
// next frame noticed (a click on "Stop" as the clip ends lands on "Open file"), replaces
// it; once that one ends too, the rates and header values of before the first come back,
// not the first playback's.
TEST(LensPlayback, AFileOpenedAfterAnotherRestoresTheStateOfBeforeBoth) {
    const Clip first({0}, 1, "lensMinFocalLength:=25\n");
    const Clip second({0}, 1'000);
    kor_test::LoopbackReceiver receiver;
    for (const bool firstEnded : {false, true}) {
        SCOPED_TRACE(firstEnded ? "after the first ended" : "while the first plays");
        EmulatorModel model;
        auto& t = model.transmitter;
        std::unique_lock lock(t.modelMutex);
        model.messageRate[static_cast<std::size_t>(MT::BasicLens)] = 0;
        t.SetDestination("127.0.0.1", receiver.port());
        testing::internal::CaptureStdout();
        ASSERT_TRUE(model.playLensFile(firstEnded ? first.path() : second.path()));
        model.syncLensFileState();  // the window's next frame
        if (firstEnded) {
            lock.unlock();
            const auto giveUp = std::chrono::steady_clock::now() + 10s;
            while (t.lensFilePlaying.load() && std::chrono::steady_clock::now() < giveUp) {
                std::this_thread::sleep_for(5ms);
            }
            lock.lock();
            ASSERT_FALSE(t.lensFilePlaying.load());
        }
        ASSERT_TRUE(model.playLensFile(second.path()));
        model.syncLensFileState();
        t.Stop();
        model.syncLensFileState();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(model.messageRate[static_cast<std::size_t>(MT::BasicLens)], 0);
        EXPECT_EQ(model.messageRate[static_cast<std::size_t>(MT::Timecode)], 10);
        EXPECT_EQ(t.liveState.clipName, "Kor Clip");
        EXPECT_FLOAT_EQ(t.liveState.minFocalLength, 3.0F);
    }
}

// Moves a second on at every reading: the playback's waits end at once, so its thread
// spends nearly all its time around the model lock.
class RacingClock final : public Kor::Engine::Clock {
public:
    std::int64_t SteadyNs() override { return now_.fetch_add(1'000'000'000); }
    std::int64_t SystemTicks() override { return 0; }
    std::int64_t LocalTicks() override { return 0; }

private:
    std::atomic<std::int64_t> now_{0};
};

// The window stops a playback and loads the next file at once, under the model lock and
// without joining the stopped run's threads: those must not read the records and frame
// numbers being replaced (a data race for ThreadSanitizer, a read past the end of a
// shorter file's records).
TEST(LensPlayback, TheNextFileLoadsWhileTheStoppedRunEnds) {
    const Clip longer({0, 1, 2, 3, 4, 5, 6, 7}, 1'000'000);
    const Clip shorter({0, 3}, 1'000'001);
    kor_test::LoopbackReceiver receiver;
    RacingClock clock;
    EmulatorModel model(clock);
    auto& t = model.transmitter;
    Play(model, longer.path(), receiver.port());
    for (int round = 0; round < 20; ++round) {
        std::lock_guard lock(t.modelMutex);
        t.Stop();
        t.LoadLensFile((round % 2 != 0 ? longer : shorter).path());
        t.StartZeiss();
        ASSERT_TRUE(t.lensFilePlaying.load());
    }
    ASSERT_TRUE(receiver.Receive(10s));
    std::lock_guard lock(t.modelMutex);
    t.Stop();
    EXPECT_GT(t.lensFramesSent.load(), 0);
}

// Collects the engine's lines, marked by kind.
class RecordedMessages final : public Kor::Engine::MessageSink {
public:
    void Progress(std::string_view line) override { Add("out: ", line); }
    void Failure(std::string_view line) override { Add("err: ", line); }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    void Add(const char* kind, std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(kind + std::string(line));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The engine writes its console lines, progress and failures, to the sink its owner gives,
// and nothing to standard output or error.
TEST(LensPlayback, TheEngineWritesItsLinesToTheSinkItIsGiven) {
    const Clip clip({0}, 30, "tcFps:=26\n");
    const Clip empty({}, 31);
    RecordedMessages messages;
    kor_test::LoopbackReceiver receiver;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool played = false;
    bool refused = false;
    {
        EmulatorModel model(Kor::Engine::DefaultClock(), messages);
        auto& t = model.transmitter;
        std::lock_guard lock(t.modelMutex);
        t.SetDestination("127.0.0.1", receiver.port());
        played = model.playLensFile(clip.path());
        refused = !model.playLensFile(empty.path());  // stops the first playback
        t.JoinThreads();
        t.SetDestination("999.1.1.1", 1);
        t.SendDatagram({0x00, 0xFF, 0x00});
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(played);
    EXPECT_TRUE(refused);
    EXPECT_EQ(
        messages.Lines(),
        (std::vector<std::string>{
            "out: Creating socket...", "out: Binding to source port  0 ...",
            "err: ERROR  Wrong project fps value: 26",
            "out: Done reading 1 frames from " + clip.path(), "out: StartZeiss() !IsRunning()",
            "out: StartZeiss() threads started", "out: Done reading 0 frames from " + empty.path(),
            "err: Cannot play the lens file: it holds no frame record.",
            "err: Failed to send UDP message.", "out: Closing UDP socket!"}));
}

}  // namespace
