// kor-send's several cameras, several destinations, --set and --state: the parse, what
// reaches each camera's model, and the program end to end on loopback.
#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "json_frame.h"
#include "options.h"
#include "programs.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using MT = Kor::Protocol::MessageType;
using Kor::Emulator::EmulatorModel;

Kor::Tools::Parsed<Kor::Send::Options> Parse(const std::vector<std::string>& words) {
    std::vector<const char*> argv{"kor-send"};
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    return Kor::Send::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

Kor::Tools::Parsed<Kor::Send::Options> Parse(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return Parse(words);
}

// Refused in one line, status 2, naming what is wrong.
void ExpectRefused(const Kor::Tools::Parsed<Kor::Send::Options>& parsed, const std::string& line,
                   const std::string& expected) {
    EXPECT_FALSE(parsed.settings) << line;
    EXPECT_EQ(parsed.exit.status, 2) << line;
    EXPECT_EQ(parsed.exit.output.rfind("kor-send: ", 0), 0U) << parsed.exit.output;
    EXPECT_EQ(parsed.exit.output.find('\n'), std::string::npos) << parsed.exit.output;
    EXPECT_NE(parsed.exit.output.find(expected), std::string::npos) << parsed.exit.output;
}

TEST(SendCameras, CameraCountsOutsideOneToThirtyTwoAreRefused) {
    for (const std::string count : {"0", "33", "-1", "1.5", "x"}) {
        ExpectRefused(Parse("--cameras " + count), count,
                      "--cameras: needs a whole number from 1 to 32, not '" + count + "'");
    }
    for (const int count : {1, 2, 32}) {
        const auto parsed = Parse("--cameras " + std::to_string(count));
        ASSERT_TRUE(parsed.settings) << parsed.exit.output;
        EXPECT_EQ(parsed.settings->cameras, count);
    }
    kor_test::TempFile capture;
    std::ofstream(capture.path) << 'x';
    ExpectRefused(Parse("--replay " + capture.path + " --cameras 2"), "replay", "--cameras");
    ExpectRefused(Parse("--replay " + capture.path + " --to 127.0.0.1:1 --to 127.0.0.1:2"),
                  "replay", "give --to once");
}

TEST(SendCameras, BadFieldSettingsAreRefusedNamingTheField) {
    for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
             {"--set fokus=1", "--set fokus: unknown field (settable: subjectId,"},
             {"--set tickCount=5", "--set tickCount: cannot be set"},
             {"--set timecodeHours=5", "--set timecodeHours: cannot be set"},
             {"--set sensorWidth=36",
              "--set sensorWidth: cannot be set, the emulator sends no SensorSize record"},
             {"--set focus", "--set needs FIELD=VALUE, not 'focus'"},
             {"--set focus=abc", "--set focus: needs a whole number from 0 to 16777215, not 'abc'"},
             {"--set focus=12.5", "--set focus: needs a whole number"},
             {"--set focus=-1", "--set focus: needs a whole number from 0"},
             {"--set focus=16777216", "to 16777215, not '16777216'"},
             {"--set zoom=167773", "--set zoom: needs a number from 0 to 167772.16, not '167773'"},
             {"--set zoom=nan", "--set zoom: needs a number"},
             {"--set roll=-360.5", "--set roll: needs a number from -360 to 360"},
             {"--set positionY=3e7", "--set positionY: needs a number from -21474836 to 21474836"},
             {"--set iris=-0.5", "--set iris: needs a number from 0 to 655.35"},
             {"--set maxIris=656", "--set maxIris: needs a number from 0 to 655.35"},
             {"--set subjectId=65536", "--set subjectId: needs a whole number from 0 to 65535"},
             {"--set channelId=-1", "--set channelId: needs a whole number from 0 to 255"},
             {"--set projectFps=0", "--set projectFps: needs a whole number from 1 to 5"},
             {"--set projectFps=6", "--set projectFps: needs a whole number from 1 to 5"},
             {"--set tickCountType=3", "--set tickCountType: needs a whole number from 0 to 2"},
             {"--set lensName=" + std::string(66, 'x'), "--set lensName: at most 65 bytes"},
             // Each camera appends -k: a serial with no room for it would be cut to one
             // serial for all.
             {"--cameras 2 --set productSerial=" + std::string(64, 's'),
              "productSerial: at most 63 bytes with --cameras 2, which appends -1 to -2, not 64"},
             {"--cameras 10 --set productSerial=" + std::string(63, 's'),
              "productSerial: at most 62 bytes with --cameras 10"},
             {"--cameras 3 --set subjectId=4", "--set subjectId cannot go with --cameras 3"}}) {
        ExpectRefused(Parse(line), line, expected);
    }
}

// --state: one object, or kor-monitor's lines; refusals name the file, the line and the field.
TEST(SendCameras, BadStateFilesAreRefusedNamingTheField) {
    kor_test::TempFile file(".json");
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {R"({"fokus": 1})", ": fokus: unknown field"},
             {R"({"focus": "x"})", ": focus: needs a whole number from 0 to 16777215, not \"x\""},
             {R"({"lensName": 5})", ": lensName: needs a text, not 5"},
             {R"({"zoom": true})", ": zoom: needs a number from 0 to 167772.16, not true"},
             {R"({"subjectId": 70000})", ": subjectId: needs a whole number from 0 to 65535"},
             {R"([1, 2])", ": needs a JSON object of fields, not array"},
             {"{\"focus\": 500}\n{\"zoom\": 2e5}\n", ": line 2: zoom: needs a number"},
             {"{\"focus\": 500}\nnot json\n", ": line 2 is not JSON"}}) {
        std::ofstream(file.path, std::ios::trunc) << text;
        ExpectRefused(Parse(std::vector<std::string>{"--state", file.path}), text,
                      "--state " + file.path + expected);
    }
    ExpectRefused(Parse("--state /nonexistent/state.json"), "missing", "--state");
}

// The values of --set reach the record and the editors' own state: the id combos, the
// T-stop indices and the simulation's ranges, which take a value outside them in.
TEST(SendCameras, SetValuesReachTheModel) {
    const auto parsed = Parse(std::vector<std::string>{"--set", "lensName=Prime 50 mm",
                                                       "--set", "focus=20000",
                                                       "--set", "positionX=500",
                                                       "--set", "yaw=-270.5",
                                                       "--set", "iris=5.6",
                                                       "--set", "maxFocalLength=90",
                                                       "--set", "zoom=50",
                                                       "--set", "channelId=7",
                                                       "--set", "projectFps=3",
                                                       "--set", "subjectId=12",
                                                       "--set", "lensName=Prime 35 mm"});
    ASSERT_TRUE(parsed.settings) << parsed.exit.output;
    EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard lock(model.transmitter.modelMutex);
    ASSERT_TRUE(Kor::Send::ApplyOptions(*parsed.settings, model).Ok());
    const auto& s = model.transmitter.liveState;
    EXPECT_EQ(s.lensName, "Prime 35 mm");  // the later --set wins
    EXPECT_EQ(s.focus, 20000U);
    EXPECT_EQ(model.focusMax, 20000U);
    EXPECT_FLOAT_EQ(s.positionX, 500.0F);
    EXPECT_FLOAT_EQ(model.xRange.max, 500.0F);
    EXPECT_FLOAT_EQ(s.yaw, -270.5F);
    EXPECT_FLOAT_EQ(model.yawRange.min, -270.5F);
    EXPECT_FLOAT_EQ(s.iris, 5.6F);
    EXPECT_FLOAT_EQ(model.tStops[static_cast<std::size_t>(model.irisIndex)], 5.6F);
    EXPECT_FLOAT_EQ(s.zoom, 50.0F);
    EXPECT_FLOAT_EQ(s.maxFocalLength, 90.0F);
    EXPECT_EQ(s.channelId, 7);
    EXPECT_EQ(model.channelIdChoice, 7);
    EXPECT_EQ(s.subjectId, 12U);  // one camera sends the subject it is given
    EXPECT_EQ(s.projectFps, 3);
    EXPECT_EQ(model.projectFpsChoice, 2);
    EXPECT_EQ(s.productSerial, "v2.1.0");
    // "FPS" types go to the slot of 25 fps.
    EXPECT_FALSE(model.transmitter.schedule[Kor::Engine::kRateSlotByProjectFps[3]].empty());

    // --fps is said for the frame rate alone, and wins over --set.
    const auto fps = Parse("--set projectFps=3 --fps 30");
    EmulatorModel other(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard otherLock(other.transmitter.modelMutex);
    ASSERT_TRUE(Kor::Send::ApplyOptions(fps.settings.value(), other).Ok());
    EXPECT_EQ(other.transmitter.liveState.projectFps, 5);
}

// Lens values that do not fit together are refused once they meet the defaults.
TEST(SendCameras, LensValuesThatDoNotFitTogetherAreRefused) {
    for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
             {"--set zoom=300", "zoom 300 lies outside the focal length range 3 to 200"},
             {"--set minFocalLength=250", "minFocalLength 250 lies above maxFocalLength 200"},
             {"--set minIris=8", "iris 1.8 lies outside the iris range 8 to 64"},
             {"--set maxIris=2 --set minIris=4", "minIris 4 lies above maxIris 2"}}) {
        const auto parsed = Parse(line);
        ASSERT_TRUE(parsed.settings) << parsed.exit.output;
        EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
        std::lock_guard lock(model.transmitter.modelMutex);
        const Kor::Checked applied = Kor::Send::ApplyOptions(*parsed.settings, model);
        EXPECT_FALSE(applied.Ok()) << line;
        EXPECT_NE(applied.Message().find(expected), std::string::npos) << applied.Message();
    }
    const auto widened = Parse("--set zoom=300 --set maxFocalLength=400");
    EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard lock(model.transmitter.modelMutex);
    EXPECT_TRUE(Kor::Send::ApplyOptions(widened.settings.value(), model).Ok());
}

// kor-monitor's --json output loads: its frame lines in order (with its own keys and the
// fields that follow the clock skipped), its summary line skipped; every settable field
// comes back as the sender had it.
TEST(SendCameras, KorMonitorLinesLoadAsState) {
    Kor::Protocol::TelemetryData sent;
    sent.subjectId = 9;
    sent.channelId = 4;
    sent.projectFps = 4;
    sent.tickCountType = 1;
    sent.focus = 1234;
    sent.iris = 8.0F;
    sent.zoom = 35.5F;
    sent.minFocalLength = 18.0F;
    sent.maxFocalLength = 80.0F;
    sent.minIris = 3.2F;
    sent.maxIris = 22.0F;
    sent.positionX = -12.25F;
    sent.positionY = 3.5F;
    sent.positionZ = 1000.0F;
    sent.roll = 1.5F;
    sent.pitch = -2.75F;
    sent.yaw = 359.0F;
    sent.clipName = "Take 7";
    sent.productBrand = "Brand";
    sent.productName = "Camera";
    sent.productSerial = "SN-1";
    sent.lensManufacturer = "Glass";
    sent.lensName = "Zoom 18-80";
    sent.lensSerial = "L-2";
    sent.tickCount = 77;
    const auto at = std::chrono::system_clock::now();
    // Two frames as the emulator's slots send them: identity strings, then the lens.
    const std::vector<MT> strings{MT::ClipName,      MT::ProductBrand,     MT::ProductName,
                                  MT::ProductSerial, MT::LensManufacturer, MT::LensName,
                                  MT::LensSerial,    MT::SubjectId,        MT::ChannelId};
    const std::vector<MT> lens{MT::ProjectFps,     MT::BasicLens,    MT::LensProperties,
                               MT::PositionalData, MT::AxesData,     MT::Timecode,
                               MT::TickCount,      MT::PtpTimestamp, MT::RawLensEncoderWithMask,
                               MT::ZeissZdData};
    const KorMonitor::Origin origin{"127.0.0.1:40000", 1};
    const auto first =
        KorMonitor::FrameJson(Kor::Protocol::FrameStatus::NewTimecode, at, origin, strings, sent);
    Kor::Protocol::TelemetryData before = sent;
    before.focus = 999;  // overridden by the later line
    kor_test::TempFile file(".jsonl");
    {
        std::ofstream out(file.path);
        out << KorMonitor::DumpLine(
                   KorMonitor::FrameJson(Kor::Protocol::FrameStatus::NewTimecode, at, origin, lens, before))
            << "\n"
            << KorMonitor::DumpLine(first) << "\n"
            << KorMonitor::DumpLine(
                   KorMonitor::FrameJson(Kor::Protocol::FrameStatus::SameTimecode, at, origin, lens, sent))
            << "\n"
            << R"({"summary":{"elapsedSeconds":1.5,"frames":3}})"
            << "\n";
    }
    const auto parsed = Parse(std::vector<std::string>{"--state", file.path});
    ASSERT_TRUE(parsed.settings) << parsed.exit.output;
    EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard lock(model.transmitter.modelMutex);
    ASSERT_TRUE(Kor::Send::ApplyOptions(*parsed.settings, model).Ok());
    const auto& s = model.transmitter.liveState;
    std::size_t compared = 0;
    for (const Kor::Tools::RecordField& field : Kor::Tools::RecordFields()) {
        if (Kor::Send::IsSettable(field)) {
            EXPECT_EQ(Kor::Tools::FieldJson(field, s), Kor::Tools::FieldJson(field, sent))
                << field.name;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 24U);
    EXPECT_EQ(s.tickCount, 0U);        // follows the clock: not loaded
    EXPECT_EQ(model.irisMinIndex, 1);  // 3.2
}

// Lines from cameras the window's editors could not stand in for still load: the "none"
// ids and frame rate, a T1.3 prime focused at 300 mm, a crane 50 m out, a lens that sends
// no focal length range. The ids' "none" is sent as it came; a frame rate of "none" leaves
// the emulator's own, which paces its messages.
TEST(SendCameras, LinesOfCamerasOutsideTheEditorsRangesLoad) {
    Kor::Protocol::TelemetryData sent;
    sent.subjectId = 0xFFFF;
    sent.channelId = 255;
    sent.projectFps = 0;
    sent.focus = 300;
    sent.iris = 1.3F;
    sent.zoom = 50.0F;
    sent.minFocalLength = 0;  // "not available": no range to hold the zoom to
    sent.maxFocalLength = 0;
    sent.minIris = 1.3F;
    sent.maxIris = 22.0F;
    sent.positionX = 50000.0F;
    sent.positionY = -1.5e6F;
    sent.productSerial = std::string(65, 'S');
    const KorMonitor::Origin origin{"192.168.1.20:5000", 1};
    kor_test::TempFile file(".jsonl");
    std::ofstream(file.path)
        << KorMonitor::DumpLine(KorMonitor::FrameJson(
               Kor::Protocol::FrameStatus::NewTimecode, std::chrono::system_clock::now(), origin,
               std::vector<MT>{MT::SubjectId, MT::ChannelId, MT::ProjectFps, MT::BasicLens,
                               MT::LensProperties, MT::PositionalData, MT::ProductSerial},
               sent))
        << "\n";
    const auto parsed = Parse(std::vector<std::string>{"--state", file.path});
    ASSERT_TRUE(parsed.settings) << parsed.exit.output;
    EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard lock(model.transmitter.modelMutex);
    const Kor::Checked applied = Kor::Send::ApplyOptions(*parsed.settings, model);
    ASSERT_TRUE(applied.Ok()) << applied.Message();
    const auto& s = model.transmitter.liveState;
    EXPECT_EQ(s.subjectId, 0xFFFFU);
    EXPECT_EQ(s.channelId, 255);
    EXPECT_EQ(s.projectFps, 2);  // the emulator's 24 fps
    EXPECT_FALSE(model.transmitter.schedule[Kor::Engine::kRateSlotByProjectFps[2]].empty());
    EXPECT_EQ(s.focus, 300U);
    EXPECT_EQ(model.focusMin, 300U);
    EXPECT_FLOAT_EQ(s.iris, 1.3F);
    EXPECT_FLOAT_EQ(s.minIris, 1.3F);
    EXPECT_EQ(model.irisMinIndex, 0);  // the nearest stop of the editor's table
    EXPECT_FLOAT_EQ(s.zoom, 50.0F);
    EXPECT_FLOAT_EQ(s.maxFocalLength, 0.0F);
    EXPECT_FLOAT_EQ(s.positionX, 50000.0F);
    EXPECT_FLOAT_EQ(model.yRange.min, -1.5e6F);
    EXPECT_EQ(s.productSerial, sent.productSerial);
    // The ids' "none" goes out as it came in.
    Kor::Protocol::Device device;
    const auto status = device.Update(
        s.Encode(Kor::Protocol::TransmissionType::UDP, {MT::SubjectId, MT::ChannelId}));
    ASSERT_TRUE((Kor::Protocol::FrameReport{status, {}}.Applied()));
    EXPECT_EQ(device.GetCurrentState()->subjectId, 0xFFFFU);
    EXPECT_EQ(device.GetCurrentState()->channelId, 255);

    // The same 65-byte serial leaves no room for the cameras' -k.
    const auto three = Parse(std::vector<std::string>{"--state", file.path, "--cameras", "3"});
    ExpectRefused(three, "--cameras 3", "productSerial: at most 63 bytes with --cameras 3");
}

// The longest serial that leaves room for -k keeps every camera's serial its own.
TEST(SendCameras, TheLongestSerialKeepsEachCamerasSuffix) {
    const std::string serial(62, 's');
    const auto parsed = Parse("--cameras 10 --set productSerial=" + serial);
    ASSERT_TRUE(parsed.settings) << parsed.exit.output;
    std::set<std::string> sent;
    for (const int camera : {1, 10}) {
        EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
        std::lock_guard lock(model.transmitter.modelMutex);
        ASSERT_TRUE(Kor::Send::ApplyOptions(*parsed.settings, model, camera).Ok());
        Kor::Protocol::Device device;
        device.Update(model.transmitter.liveState.Encode(Kor::Protocol::TransmissionType::UDP,
                                                         {MT::ProductSerial}));
        sent.insert(device.GetCurrentState()->productSerial);
    }
    EXPECT_EQ(sent, (std::set<std::string>{serial + "-1", serial + "-10"}));
}

// Each camera has its own engine: source port, subject k, serial with -k, simulation phase.
// One camera keeps subject 0 and the serial as it is.
TEST(SendCameras, EachCameraHasItsOwnIdentityAndPhase) {
    const auto parsed = Parse(
        "--cameras 3 --simulate --set productSerial=CAM --to 127.0.0.1:4000 --to 127.0.0.1:4001");
    ASSERT_TRUE(parsed.settings) << parsed.exit.output;
    std::vector<std::unique_ptr<EmulatorModel>> models;
    std::set<std::uint16_t> ports;
    std::set<float> zooms;
    for (int camera = 1; camera <= 3; ++camera) {
        models.push_back(std::make_unique<EmulatorModel>(Kor::Engine::DefaultClock(),
                                                         Kor::Engine::NoMessages()));
        auto& model = *models.back();
        std::lock_guard lock(model.transmitter.modelMutex);
        ASSERT_TRUE(Kor::Send::ApplyOptions(*parsed.settings, model, camera).Ok());
        const auto& s = model.transmitter.liveState;
        EXPECT_EQ(s.subjectId, static_cast<std::uint32_t>(camera));
        EXPECT_EQ(s.productSerial, "CAM-" + std::to_string(camera));
        EXPECT_EQ(s.lensSerial, "v2.1.0");
        const auto destinations = model.transmitter.GetDestinations();
        ASSERT_EQ(destinations.size(), 2U);
        EXPECT_EQ(destinations[1].port, 4001);
        ports.insert(model.transmitter.SourcePort());
        zooms.insert(s.zoom);
    }
    EXPECT_EQ(ports.size(), 3U);
    EXPECT_EQ(zooms.size(), 3U) << "the simulations start at the same phase";

    const auto one = Parse("--set productSerial=CAM --simulate");
    EmulatorModel model(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    std::lock_guard lock(model.transmitter.modelMutex);
    ASSERT_TRUE(Kor::Send::ApplyOptions(one.settings.value(), model).Ok());
    EXPECT_EQ(model.transmitter.liveState.subjectId, 0U);
    EXPECT_EQ(model.transmitter.liveState.productSerial, "CAM");
}

// What one receiver got from one sender.
struct SenderSeen {
    Kor::Protocol::Device device;
    std::vector<double> lensFramePtp;        // PTP time of each frame with BasicLens, seconds
    std::vector<long long> lensFrameLabels;  // its timecode as frames since midnight
    std::size_t datagrams = 0;
};

// Datagrams until the sender has been quiet a while (bounded).
std::vector<kor_test::Datagram> ReceiveRun(kor_test::LoopbackReceiver& receiver) {
    std::vector<kor_test::Datagram> all;
    if (auto first = receiver.Receive(kor_test::kPatience)) {
        all.push_back(std::move(*first));
        auto rest = receiver.ReceiveUntilQuiet(1500ms, kor_test::kPatience);
        std::move(rest.begin(), rest.end(), std::back_inserter(all));
    }
    return all;
}

std::map<std::uint16_t, SenderSeen> BySender(const std::vector<kor_test::Datagram>& datagrams) {
    std::map<std::uint16_t, SenderSeen> senders;
    for (const auto& d : datagrams) {
        SenderSeen& seen = senders[d.sourcePort];
        ++seen.datagrams;
        seen.device.Update(d.bytes);
        const auto types = kor_test::RecordTypes(d.bytes);
        if (std::find(types.begin(), types.end(), MT::BasicLens) != types.end()) {
            const auto* s = seen.device.GetCurrentState();
            seen.lensFramePtp.push_back(static_cast<double>(s->ptpSeconds) +
                                        static_cast<double>(s->ptpNanoseconds) / 1e9);
            seen.lensFrameLabels.push_back(
                ((s->timecodeHours * 60LL + s->timecodeMinutes) * 60 + s->timecodeSeconds) * 24 +
                s->timecodeFrames);
        }
    }
    return senders;
}

// `kor-send --cameras 3 --simulate` with two destinations: each receiver sees three senders
// (three source ports) with subjects 1 to 3 and three serials, each at the project rate of
// 24 frames a second by its own time stamps and labels, and each gets every datagram.
TEST(SendProgram, ThreeCamerasReachEveryDestination) {
    kor_test::LoopbackReceiver a;
    kor_test::LoopbackReceiver b;
    kor_test::ChildProgram run(KOR_SEND_PATH, "--cameras 3 --simulate --duration 2" +
                                                  kor_test::To(a.port()) + kor_test::To(b.port()));
    std::vector<kor_test::Datagram> atB;
    std::thread other([&] { atB = ReceiveRun(b); });
    const auto atA = ReceiveRun(a);
    other.join();
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_NE(run.Out().find("Sending 3 cameras (subjects 1 to 3 from source ports "),
              std::string::npos)
        << run.Out();
    EXPECT_EQ(kor_test::NumberAfter(run.Out(), "datagrams sent: "),
              static_cast<long long>(atA.size() + atB.size()));

    const auto fromA = BySender(atA);
    const auto fromB = BySender(atB);
    ASSERT_EQ(fromA.size(), 3U);
    std::set<std::uint32_t> subjects;
    std::set<std::string> serials;
    std::set<float> zooms;
    for (const auto& [port, seen] : fromA) {
        ASSERT_EQ(fromB.count(port), 1U) << "source port " << port << " missing at the second";
        EXPECT_EQ(fromB.at(port).datagrams, seen.datagrams);
        const auto* s = seen.device.GetCurrentState();
        ASSERT_NE(s, nullptr);
        subjects.insert(s->subjectId);
        serials.insert(s->productSerial);
        zooms.insert(s->zoom);
        ASSERT_GE(seen.lensFramePtp.size(), 24U) << "port " << port;
        const double span = seen.lensFramePtp.back() - seen.lensFramePtp.front();
        const double rate = static_cast<double>(seen.lensFramePtp.size() - 1) / span;
        EXPECT_NEAR(rate, 24.0, 0.1) << "port " << port;
        // Each camera's time base labels its frames one after another: none repeated or
        // skipped (a run across midnight aside).
        for (std::size_t i = 1; i < seen.lensFrameLabels.size(); ++i) {
            if (seen.lensFrameLabels[i] != 0) {
                EXPECT_EQ(seen.lensFrameLabels[i], seen.lensFrameLabels[i - 1] + 1)
                    << "port " << port << ", frame " << i;
            }
        }
    }
    EXPECT_EQ(subjects, (std::set<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(serials, (std::set<std::string>{"v2.1.0-1", "v2.1.0-2", "v2.1.0-3"}));
    EXPECT_EQ(zooms.size(), 3U) << "the cameras' simulated values coincide";
}

// One camera, as before: subject 0 and the serial as configured, one source port.
TEST(SendProgram, OneCameraKeepsItsIdentity) {
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(
        KOR_SEND_PATH, "--duration 1.2 --set lensSerial=Ü-7" + kor_test::To(receiver.port()));
    const auto senders = BySender(ReceiveRun(receiver));
    ASSERT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_EQ(run.Out().rfind("Sending to 127.0.0.1:", 0), 0U) << run.Out();
    ASSERT_EQ(senders.size(), 1U);
    const auto* s = senders.begin()->second.device.GetCurrentState();
    EXPECT_EQ(s->subjectId, 0U);
    EXPECT_EQ(s->productSerial, "v2.1.0");
    EXPECT_EQ(s->lensSerial, "Ü-7");
}

}  // namespace
