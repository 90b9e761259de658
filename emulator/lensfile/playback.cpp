// Lens file loading and playback: Transmitter::LoadLensFile, StartZeiss and the playback loop.
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "lens_file_reader.h"
#include "numeric.h"
#include "transmitter.h"
#include "utf8.h"

namespace Kor::Engine {
namespace {

// How long the end of a clip waits, beyond the delay, for its last frame to be sent.
constexpr std::int64_t kLastFrameGraceNs = 1'000'000'000;

}  // namespace

bool Transmitter::LoadLensFile(std::string path) {
    // A file that cannot be opened reads as an empty one: no frames, header values kept. It
    // says why, so that it is not taken for a file without frame records.
    std::ifstream in(Platform::PathFromUtf8(path), std::ios::binary);
    if (!in.is_open()) {
        const int error = errno;
        messages.Failure("Cannot open the lens file " + path + ": " +
                         std::generic_category().message(error));
    }
    LensFile::LensFileTarget target{lensHeaderState, lensFrames, lensFrameNumbers,
                                    lensClipDurationFrames, projectFpsByName};
    // The reader reports faulty lines to a stream; each becomes one failure line.
    std::ostringstream faults;
    LensFile::ReadLensFile(in, target, faults);
    lensFileFaults = 0;
    std::istringstream faultLines(faults.str());
    for (std::string line; std::getline(faultLines, line);) {
        messages.Failure(line);
        ++lensFileFaults;
    }
    messages.Progress("Done reading " + std::to_string(lensFrames.size()) + " frames from " + path);
    lensFileLoaded = true;
    lensFileName = LensFile::FileNameOf(path);
    return !lensFrames.empty();
}

void Transmitter::StartZeiss() {
    if (IsRunning()) {
        return;
    }
    if (lensFrames.empty()) {
        messages.Failure("Cannot play the lens file: it holds no frame record.");
        return;
    }
    messages.Progress("StartZeiss() !IsRunning()");
    JoinThreads();
    ClearQueue();  // what the old run's threads queued after its stop

    // The header replaces clip, camera and lens values until the playback ends (see
    // RestoreAfterLensPlayback); focal lengths and focus only where the file gives them.
    savedLiveState = liveState;
    CopyLensHeaderFields(lensHeaderState, liveState, lensHeaderState.focus != 0);
    TelemetryData& live = liveState;

    const std::int64_t epoch = StartTimeBase();
    auto flag = std::make_shared<RunFlag>(true);
    runFlag = flag;
    lensFilePlaying = true;
    const int playbackSlot =
        live.projectFps < kRateSlotByProjectFps.size() ? kRateSlotByProjectFps[live.projectFps] : 9;
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        generatorThreads[static_cast<std::size_t>(slot)] =
            slot == playbackSlot
                ? std::thread(&Transmitter::LensPlaybackLoop, this, flag,
                              SlotOrigin(epoch, playbackSlot))
                : std::thread(&Transmitter::GeneratorLoop, this, slot, flag, epoch);
    }
    senderThread = std::thread(&Transmitter::SenderLoop, this, flag);
    messages.Progress("StartZeiss() threads started");
}

void Transmitter::LensPlaybackLoop(std::shared_ptr<RunFlag> flag, std::int64_t originThirds) {
    TightenTimerSlack();
    // The loaded file (header, records, frame numbers) is read only under the model lock
    // while this run's flag is set: a stopped run's thread may still be finishing while the
    // window loads the next file.
    Rate rate;
    {
        const auto lock = LockModel(*flag);
        if (!lock.owns_lock()) {
            return;  // stopped before the first frame
        }
        rate = ProjectRateOf(lensHeaderState.projectFps);
    }
    const std::int64_t period = PeriodThirds(rate);
    if (period <= 0) {
        return;  // a file without a frame rate plays in no slot (StartZeiss picks none)
    }
    SpinMargin margin = NewSpinMargin(rate);
    // The file's frames are due at the slot's first instant plus whole periods of its frame
    // rate, and each carries the PTP time and tick count of its instant (its timecode is the
    // file's).

    // k frames sent so far; record i is current; j indexes the frame number that makes the
    // next record current. Without a "frame" column the records are numbered 0, 1, 2, ...
    std::int32_t k = 0;
    std::size_t i = 0;
    std::size_t j = 1;
    std::uint64_t lastQueued = 0;
    bool clipEnded = false;
    LocalTimeReading reading = ReadLocalTime();  // checked as the next frame is built
    for (std::int64_t n = 0; flag->IsSet(); n = NextFrame(n, originThirds, period)) {
        const std::int64_t instant = originThirds + n * period;
        if (!WaitUntilInstant(instant, *flag, &margin)) {
            break;  // stopped
        }
        {
            const auto lock = LockModel(*flag);
            if (!lock.owns_lock()) {
                break;
            }
            const TelemetryData& record = lensFrames[i];
            TelemetryData& live = liveState;
            live.timecodeHours = record.timecodeHours;
            live.timecodeMinutes = record.timecodeMinutes;
            live.timecodeSeconds = record.timecodeSeconds;
            live.timecodeFrames = record.timecodeFrames;
            live.zeissZd = record.zeissZd;
            live.focus = record.zeissZd.focusDistance * 10U;
            UpdateRawLensEncoders();
            FollowWallClock(instant, reading);
            UpdateTickCount(instant);
            UpdatePtpTimestamp(instant);
            // Sent even when slot 9 is empty: the frame then holds no record.
            lastQueued = EnqueueFrame(live.Encode(transmissionType, schedule[9]));
            ++k;
            lensFramesSent.store(k);

            const bool numbered = !lensFrameNumbers.empty();
            if (i + 1 < lensFrames.size() &&
                (!numbered || (j < lensFrameNumbers.size() && k >= lensFrameNumbers[j]))) {
                ++i;
                ++j;
            }
            clipEnded = k > lensClipDurationFrames;
        }
        if (clipEnded) {
            break;
        }
        reading = ReadLocalTime();
    }

    // Give the sender the time to send the frames it holds back: the delay, and then until
    // the last file frame has left (a bounded wait, in case sending is stuck), so that
    // ending the run never discards the clip's last frame.
    WaitPeriod(static_cast<double>(delayMs.load()), clock.SteadyNs(), *flag);
    const std::int64_t giveUp = SaturatingAdd(clock.SteadyNs(), kLastFrameGraceNs);
    while (flag->IsSet() && SentSequence() < lastQueued && clock.SteadyNs() < giveUp) {
        flag->WaitUntil(std::chrono::steady_clock::now() + std::chrono::microseconds(200));
    }
    if (flag->IsSet()) {
        flag->Clear();
        lensFilePlaying = false;
        { std::lock_guard lock(queueMutex); }
        queueCondition.notify_all();
        ClearQueue();
    }
}

}  // namespace Kor::Engine
