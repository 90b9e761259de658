// EmulatorModel: defaults, combo lists, the send schedule and the value simulation.
#include "emulator_model.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <utility>

#include "numeric.h"

namespace Kor::Emulator {

const std::array<std::string_view, 3> kTickCountTypeNames{"Seconds", "Milliseconds",
                                                          "Microseconds"};
const std::array<std::string_view, 2> kTransmissionTypeNames{"UDP", "Serial"};

const std::array<MessageType, 19> kMessageOrder{
    MessageType::SubjectId,        MessageType::ChannelId,   MessageType::Timecode,
    MessageType::PtpTimestamp,     MessageType::TickCount,   MessageType::ProjectFps,
    MessageType::BasicLens,        MessageType::RawLensEncoderWithMask,
    MessageType::LensProperties,   MessageType::PositionalData, MessageType::AxesData,
    MessageType::ClipName,         MessageType::ProductBrand, MessageType::ProductName,
    MessageType::ProductSerial,    MessageType::LensManufacturer, MessageType::LensName,
    MessageType::LensSerial,       MessageType::ZeissZdData};
const std::array<MessageType, 3> kEveryPacketCapableTypes{
    MessageType::Timecode, MessageType::PtpTimestamp, MessageType::TickCount};
const std::array<MessageType, 2> kEveryPacketOnlyTypes{MessageType::ChannelId,
                                                       MessageType::SubjectId};

const std::array<float, 22> kTStops{1.8F,  3.2F,  3.5F,  4.0F,  4.5F,  5.0F,  5.6F,  6.3F,
                                    7.1F,  8.0F,  9.0F,  10.0F, 11.0F, 13.0F, 14.0F, 16.0F,
                                    18.0F, 20.0F, 22.0F, 32.0F, 45.0F, 64.0F};

namespace {

using MT = MessageType;

constexpr std::size_t Index(MessageType type) noexcept {
    return static_cast<std::size_t>(type);
}

std::string Version() {
    return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
           std::to_string(kVersionPatch);
}

// Moves `value` one step towards the end of [min, max] it is heading for and turns round
// at either end; a range with equal ends pins the value and flips the direction each time.
template <typename T>
void PingPong(T& value, T step, T min, T max, std::int32_t& direction) {
    value += step;
    if (value > max) {
        value = max;
        direction = -direction;
    }
    if (value < min) {
        value = min;
        direction = -direction;
    }
}

void Animate(float& value, float step, AnimatedRange& range) {
    PingPong(value, static_cast<float>(range.direction) * step, range.min, range.max,
             range.direction);
}

}  // namespace

std::string formatNumber(float value) {
    std::ostringstream out;
    out.precision(4);
    out << value;
    return out.str();
}

void AppendItem(std::string& items, std::string_view item) {
    items.append(item);
    items.push_back('\0');
}

void EndItems(std::string& items) {
    items.push_back('\0');
}

EmulatorModel::EmulatorModel(Engine::Clock& clock, Engine::MessageSink& messages)
    : messageEnabled(kMessageTypeCount, 1),
      messageRate(kMessageTypeCount, Engine::kRateChoiceFps),
      savedMessageRate(kMessageTypeCount, Engine::kRateChoiceFps),
      productLink("https://kor-telemetry.example/emulator"),
      simulationActive(std::make_shared<Engine::RunFlag>(false)),
      messageOrder(kMessageOrder.begin(), kMessageOrder.end()),
      groupStartTypes{MT::Timecode,   MT::ProductBrand, MT::PositionalData, MT::LensManufacturer,
                      MT::ProjectFps, MT::ClipName,     MT::ZeissZdData},
      everyPacketCapableTypes(kEveryPacketCapableTypes.begin(), kEveryPacketCapableTypes.end()),
      everyPacketOnlyTypes(kEveryPacketOnlyTypes.begin(), kEveryPacketOnlyTypes.end()),
      lensFileDrivenTypes{MT::Timecode, MT::BasicLens, MT::PtpTimestamp, MT::TickCount},
      transmitter(clock, messages),
      tStops(kTStops.begin(), kTStops.end()) {
    for (MT type : {MT::Timecode, MT::PtpTimestamp, MT::TickCount, MT::ChannelId, MT::SubjectId}) {
        messageRate[Index(type)] = Engine::kRateChoiceEveryPacket;
    }
    for (MT type : {MT::ProductBrand, MT::ProductName, MT::ProductSerial, MT::LensManufacturer,
                    MT::LensName, MT::LensSerial, MT::ClipName}) {
        messageRate[Index(type)] = 0;
    }
    buildComboItems();
    writeTransmitterDefaults();
}

EmulatorModel::~EmulatorModel() {
    simulationActive->Clear();
    if (simulationThread.joinable()) {
        simulationThread.join();
    }
    for (std::thread& thread : releasedSimulationThreads) {
        thread.join();
    }
}

void EmulatorModel::buildComboItems() {
    for (std::size_t choice = 0; choice < Engine::kGeneratorSlots; ++choice) {
        AppendItem(rateItems, formatNumber(kRateByChoice[choice]) + " Hz");
    }
    AppendItem(rateItems, "FPS");
    rateItemsEveryPacket = rateItems;
    EndItems(rateItems);

    AppendItem(everyPacketItems, "Every packet");
    EndItems(everyPacketItems);
    AppendItem(rateItemsEveryPacket, "Every packet");
    EndItems(rateItemsEveryPacket);

    for (int id = 0; id <= 10; ++id) {
        AppendItem(idItems, std::to_string(id));
    }
    EndItems(idItems);

    for (std::size_t code = 1; code < kFrameRateByProjectFps.size(); ++code) {
        AppendItem(projectFpsItems, formatNumber(kFrameRateByProjectFps[code]));
    }
    EndItems(projectFpsItems);

    for (std::string_view name : kTickCountTypeNames) {
        AppendItem(tickCountTypeItems, name);
    }
    EndItems(tickCountTypeItems);
    for (std::string_view name : kTransmissionTypeNames) {
        AppendItem(transmissionTypeItems, name);
    }
    EndItems(transmissionTypeItems);
}

void EmulatorModel::writeTransmitterDefaults() {
    Engine::Transmitter& t = transmitter;
    t.SetDestination("127.0.0.1", 33322);
    t.transmissionType = static_cast<Protocol::TransmissionType>(transmissionTypeChoice);

    Protocol::TelemetryData& s = t.liveState;
    s.projectFps = static_cast<std::uint8_t>(projectFpsChoice + 1);
    s.tickCountType = static_cast<std::uint8_t>(tickCountTypeChoice);
    s.focus = 450;
    s.zoom = 3.0F;
    s.minFocalLength = 3.0F;
    s.maxFocalLength = 200.0F;
    s.iris = tStops[0];
    s.minIris = tStops[static_cast<std::size_t>(irisMinIndex)];
    s.maxIris = tStops[static_cast<std::size_t>(irisMaxIndex)];
    const std::string serial = "v" + Version();
    s.productBrand = "Kor";
    s.productName = "Emulator";
    s.productSerial = serial;
    s.lensManufacturer = "Kor";
    s.lensName = "Emulator";
    s.lensSerial = serial;
    s.clipName = "Kor Clip";
    s.subjectId = static_cast<std::uint32_t>(subjectIdChoice);
    s.channelId = static_cast<std::uint8_t>(channelIdChoice);
}

Engine::SenderSettings EmulatorModel::senderSettings() const {
    Engine::SenderSettings s;
    const auto destinations = transmitter.GetDestinations();
    if (!destinations.empty()) {
        s.address = destinations.front().address;
        s.port = destinations.front().port;
        s.furtherDestinations.assign(destinations.begin() + 1, destinations.end());
    }
    s.transmissionType = transmitter.transmissionType;
    s.delayMs = transmitter.delayMs;
    s.projectFps = transmitter.liveState.projectFps;
    s.tickCountType = transmitter.liveState.tickCountType;
    s.recordFlag = transmitter.liveState.recordFlag;
    for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
        s.enabled[i] = messageEnabled[i] != 0;
        s.rate[i] = messageRate[i];
    }
    return s;
}

void EmulatorModel::applySenderSettings(const Engine::SenderSettings& s) {
    Engine::Transmitter& t = transmitter;
    ipInput = s.address;
    portInput = s.port;
    std::vector<Engine::Destination> destinations{{s.address, s.port}};
    destinations.insert(destinations.end(), s.furtherDestinations.begin(),
                        s.furtherDestinations.end());
    t.SetDestinations(std::move(destinations));
    transmissionTypeChoice = s.transmissionType == Protocol::TransmissionType::Serial ? 1 : 0;
    t.transmissionType = s.transmissionType;
    t.delayMs = s.delayMs;
    t.liveState.projectFps = s.projectFps;
    projectFpsChoice = s.projectFps - 1;
    t.liveState.tickCountType = s.tickCountType;
    tickCountTypeChoice = s.tickCountType;
    t.liveState.recordFlag = s.recordFlag;
    for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
        messageEnabled[i] = s.enabled[i] ? 1 : 0;
        messageRate[i] = s.rate[i];
    }
    rebuildSchedule();
}

void EmulatorModel::rebuildSchedule() {
    auto& schedule = transmitter.schedule;
    for (auto& list : schedule) {
        list.clear();
    }
    const bool lensPlaying = transmitter.lensFilePlaying;
    const std::uint8_t projectFps = transmitter.liveState.projectFps;
    const std::int32_t fpsSlot =
        projectFps < kRateSlotByProjectFps.size() ? kRateSlotByProjectFps[projectFps] : 9;

    for (MT type : messageOrder) {
        const std::int32_t rate = messageRate[Index(type)];
        if (messageEnabled[Index(type)] != 1 || rate == Engine::kRateChoiceEveryPacket) {
            continue;
        }
        const std::int32_t slot = rate == Engine::kRateChoiceFps && !lensPlaying ? fpsSlot : rate;
        if (slot >= 0 && slot < Engine::kScheduleSlots) {
            schedule[static_cast<std::size_t>(slot)].push_back(type);
        }
    }

    // "Every packet" types ride along with every list that has something to send.
    for (auto& list : schedule) {
        if (list.empty()) {
            continue;
        }
        for (MT type : messageOrder) {
            if (messageEnabled[Index(type)] == 1 &&
                messageRate[Index(type)] == Engine::kRateChoiceEveryPacket) {
                list.push_back(type);
            }
        }
    }
}

void EmulatorModel::syncLensFileState() {
    const bool playing = transmitter.lensFilePlaying;
    if (lensFilePlayingBefore && !playing) {
        restoreLensFileRates();
        transmitter.RestoreAfterLensPlayback();
    }
    lensFilePlayingBefore = playing;
}

void EmulatorModel::forceLensFileRates() {
    for (MT type : lensFileDrivenTypes) {
        savedMessageRate[Index(type)] = messageRate[Index(type)];
        messageRate[Index(type)] = Engine::kRateChoiceFps;
    }
}

bool EmulatorModel::playLensFile(const std::string& path) {
    if (transmitter.IsRunning() && transmitter.lensFilePlaying) {
        transmitter.Stop();
    }
    // A playback that was stopped here, or that ended by itself since the last frame, gives
    // back its rates and header values first: else the next one would save its forced ones
    // and restore those at its end.
    syncLensFileState();
    transmitter.LoadLensFile(path);
    return playLoadedLensFile();
}

bool EmulatorModel::playLoadedLensFile() {
    if (transmitter.IsRunning()) {
        return false;
    }
    if (!transmitter.lensFrames.empty()) {
        forceLensFileRates();
    }
    transmitter.StartZeiss();  // reports a file without a frame and starts nothing
    // Noted now, not at the next frame: a short clip may have ended by then, and its end
    // must still give back the rates and header values it replaced.
    lensFilePlayingBefore = transmitter.lensFilePlaying;
    return transmitter.IsRunning();
}

void EmulatorModel::restoreLensFileRates() {
    for (MT type : lensFileDrivenTypes) {
        messageRate[Index(type)] = savedMessageRate[Index(type)];
    }
}

void EmulatorModel::startSimulation() {
    if (simulationActive->IsSet()) {
        return;
    }
    // Threads released earlier saw their flag cleared and end within microseconds.
    for (std::thread& thread : releasedSimulationThreads) {
        thread.join();
    }
    releasedSimulationThreads.clear();
    simulationActive = std::make_shared<Engine::RunFlag>(true);
    simulationThread = std::thread(&EmulatorModel::runSimulation, this, simulationActive);
}

void EmulatorModel::stopSimulation() {
    if (!simulationActive->IsSet()) {
        return;
    }
    simulationActive->Clear();
    if (simulationThread.joinable()) {
        releasedSimulationThreads.push_back(std::move(simulationThread));
    }
}

void EmulatorModel::runSimulation(std::shared_ptr<Engine::RunFlag> flag) {
    while (flag->IsSet()) {
        {
            const auto lock = transmitter.LockModel(*flag);
            if (!lock.owns_lock()) {
                return;
            }
            simulationTick();
        }
        if (!flag->WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(10))) {
            return;
        }
    }
}

void EmulatorModel::simulationTick() {
    Protocol::TelemetryData& s = transmitter.liveState;
    if (!transmitter.lensFilePlaying) {
        // Unsigned arithmetic, as the focus field is: moving down from 0 wraps and then
        // clamps to the top of the range, exactly like any other overshoot.
        s.focus += static_cast<std::uint32_t>(focusDirection * 5);
        if (s.focus > focusMax) {
            s.focus = focusMax;
            focusDirection = -focusDirection;
        }
        if (s.focus < focusMin) {
            s.focus = focusMin;
            focusDirection = -focusDirection;
        }
    }
    PingPong(s.zoom, static_cast<float>(zoomDirection) * 0.1F, s.minFocalLength,
             s.maxFocalLength, zoomDirection);
    PingPong(irisPosition, static_cast<float>(irisDirection) * 0.05F,
             static_cast<float>(irisMinIndex) + 0.5F, static_cast<float>(irisMaxIndex) + 0.5F,
             irisDirection);
    irisIndex = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(Engine::SaturateToInt64(irisPosition), 0,
                                 static_cast<std::int64_t>(tStops.size()) - 1));
    s.iris = tStops[static_cast<std::size_t>(irisIndex)];
    Animate(s.positionX, 0.17F, xRange);
    Animate(s.positionY, 0.15F, yRange);
    Animate(s.positionZ, 0.13F, zRange);
    Animate(s.yaw, 0.25F, yawRange);
    Animate(s.pitch, 0.23F, pitchRange);
    Animate(s.roll, 0.2F, rollRange);
}

}  // namespace Kor::Emulator
