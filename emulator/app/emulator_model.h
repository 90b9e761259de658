// EmulatorModel: everything the control window edits and shows, and the engine it drives.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "clocks.h"
#include "run_flag.h"
#include "sender_settings.h"
#include "tables.h"
#include "transmitter.h"

namespace Kor::Emulator {

using Engine::kFrameRateByProjectFps;
using Engine::kRateByChoice;
using Engine::kRateSlotByProjectFps;
using Protocol::MessageType;

using Engine::kMessageTypeCount;

extern const std::array<std::string_view, 3> kTickCountTypeNames;
extern const std::array<std::string_view, 2> kTransmissionTypeNames;

// The message table's types in its order, the types that may be sent "Every packet" and
// those that are always sent so (the model's messageOrder, everyPacketCapableTypes and
// everyPacketOnlyTypes start from these).
extern const std::array<MessageType, 19> kMessageOrder;
extern const std::array<MessageType, 3> kEveryPacketCapableTypes;
extern const std::array<MessageType, 2> kEveryPacketOnlyTypes;

// The T-stops the iris editor offers, ascending (the model's tStops start from these).
extern const std::array<float, 22> kTStops;

// The emulator's own version, shown in the about line and sent as the serial numbers.
inline constexpr int kVersionMajor = 2;
inline constexpr int kVersionMinor = 1;
inline constexpr int kVersionPatch = 0;

// A number as an output stream writes it with precision 4 in the general format:
// 23.976024 gives "23.98", 24 gives "24", 1.8 gives "1.8".
std::string formatNumber(float value);

// Appends one item to a combo item list (the item, then a zero byte); EndItems closes it.
void AppendItem(std::string& items, std::string_view item);
void EndItems(std::string& items);

// One simulated position or angle: it moves between min and max and turns at the ends.
struct AnimatedRange {
    float min;
    float max;
    std::int32_t direction;
};

class EmulatorModel {
public:
    // Builds every field with its default, then the combo lists, then writes the defaults
    // into the transmitter. The transmitter opens its socket here (std::system_error) and
    // writes the engine's console lines to `messages`, which must outlive the model.
    explicit EmulatorModel(Engine::Clock& clock = Engine::DefaultClock(),
                           Engine::MessageSink& messages = Engine::ConsoleMessages());
    // Ends the simulation and joins its threads before any member goes.
    ~EmulatorModel();
    EmulatorModel(const EmulatorModel&) = delete;
    EmulatorModel& operator=(const EmulatorModel&) = delete;

    // The operations below expect transmitter.modelMutex to be held by the caller.

    // The sender settings the window shows: destination, framing, delay, project frame
    // rate, tick unit, record flag and each type's check box and rate.
    Engine::SenderSettings senderSettings() const;
    // Shows `settings` in the window's fields, gives them to the transmitter and rebuilds
    // the schedule.
    void applySenderSettings(const Engine::SenderSettings& settings);

    // Rebuilds transmitter.schedule from the enabled types, their rates and the project
    // frame rate: each type goes to the list of its rate slot ("FPS" types to the slot of
    // the project frame rate, or to slot 9 while a lens file plays), then every "Every
    // packet" type is appended to every list that is not empty.
    void rebuildSchedule();
    // Notices the end of a lens file playback and restores what it forced.
    void syncLensFileState();
    void forceLensFileRates();
    void restoreLensFileRates();
    // Loads a lens correction file and plays it (after stopping a playback that runs and
    // putting back what an ended one replaced):
    // the lens-file-driven types are forced to the playback's pace first. A file that is
    // refused (unreadable, or without a frame) leaves the rates and the saved rates as
    // they were. A playback started here is noted at once, so that syncLensFileState puts
    // back what it replaced even when it has ended before the next call. Returns whether
    // the playback runs.
    bool playLensFile(const std::string& path);
    // Plays the lens file the transmitter has loaded, as playLensFile does after loading;
    // nothing while a run goes on. Returns whether the playback runs.
    bool playLoadedLensFile();
    void startSimulation();
    void stopSimulation();
    bool simulationRunning() const { return simulationActive->IsSet(); }

    // One step of the value simulation (the simulation thread calls it every 10 ms).
    void simulationTick();

    std::vector<std::uint8_t> messageEnabled;
    std::vector<std::int32_t> messageRate;
    std::vector<std::int32_t> savedMessageRate;
    bool lensFilePlayingBefore = false;
    std::string rateItems;
    std::string rateItemsEveryPacket;
    std::string everyPacketItems;
    std::string idItems;
    std::string projectFpsItems;
    std::string tickCountTypeItems;
    std::string transmissionTypeItems;
    std::string productLink;
    std::string ipInput = "127.0.0.1";
    std::int32_t portInput = 33322;
    std::int32_t subjectIdChoice = 0;
    std::int32_t channelIdChoice = 0;
    std::int32_t projectFpsChoice = 1;
    std::int32_t tickCountTypeChoice = 0;
    std::int32_t transmissionTypeChoice = 0;
    std::shared_ptr<Engine::RunFlag> simulationActive;
    std::thread simulationThread;
    std::vector<MessageType> messageOrder;
    std::unordered_set<MessageType> groupStartTypes;
    std::unordered_set<MessageType> everyPacketCapableTypes;
    std::unordered_set<MessageType> everyPacketOnlyTypes;
    std::unordered_set<MessageType> lensFileDrivenTypes;
    Engine::Transmitter transmitter;
    std::vector<float> tStops;
    std::int32_t irisIndex = 0;
    std::int32_t irisMinIndex = 0;
    std::int32_t irisMaxIndex = 21;
    float irisPosition = 0.0F;
    std::uint32_t focusMin = 450;
    std::uint32_t focusMax = 10000;
    std::int32_t focusDirection = 1;
    std::int32_t zoomDirection = 1;
    std::int32_t irisDirection = 1;
    AnimatedRange xRange{-100.0F, 100.0F, 1};
    AnimatedRange yRange{-100.0F, 100.0F, 1};
    AnimatedRange zRange{-100.0F, 100.0F, 1};
    AnimatedRange rollRange{-180.0F, 180.0F, 1};
    AnimatedRange pitchRange{-180.0F, 180.0F, 1};
    AnimatedRange yawRange{-180.0F, 180.0F, 1};
    std::int32_t windowWidth = 900;
    std::int32_t windowHeight = 950;
    std::int32_t settingsPanelWidth = 350;
    std::int32_t wideLayoutMinWidth = 815;

private:
    void runSimulation(std::shared_ptr<Engine::RunFlag> flag);
    void buildComboItems();
    void writeTransmitterDefaults();

    // Simulation threads released by stopSimulation; joined by the next start and at the
    // end (each notices its cleared flag at once, so joining is quick).
    std::vector<std::thread> releasedSimulationThreads;
};

}  // namespace Kor::Emulator
