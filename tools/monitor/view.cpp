// The live text view and the closing summary, as text and as JSON.
#include "view.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "json_frame.h"
#include "local_time.h"

namespace KorMonitor {

using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;

namespace {

__attribute__((format(printf, 2, 3))) void Append(std::string& out, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (written > 0) {
        out.append(line, std::min(static_cast<std::size_t>(written), sizeof line - 1));
    }
}

// The float's shortest round-trip decimal: 2.8 prints as "2.8", 35 as "35".
std::string Num(float value) {
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    return std::string(text, written.ptr);
}

// A count for the printf family's %llu, which every C library knows (%zu not always).
unsigned long long Ull(std::size_t value) {
    return static_cast<unsigned long long>(value);
}

const char* Valid(bool valid) {
    return valid ? "" : " (not valid)";
}

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

const char* TickUnit(std::uint8_t type) {
    switch (type) {
        case 0: return "s";
        case 1: return "ms";
        default: return "us";
    }
}

const char* ProjectFpsText(std::uint8_t code) {
    switch (code) {
        case 0: return "none";
        case 1: return "23.976 fps";
        case 2: return "24 fps";
        case 3: return "25 fps";
        case 4: return "29.97 fps";
        case 5: return "30 fps";
        default: return "unknown";
    }
}

// A PTP stamp as the wall-clock time it stands for (its seconds count local time).
std::string PtpClockText(std::uint64_t seconds, std::uint32_t nanoseconds) {
    // UtcCalendar breaks the count down without applying any zone, which is what a count of
    // local-time seconds needs; beyond the year 9999 it is left as a number.
    constexpr std::uint64_t kYear10000 = 253402300800ULL;
    if (seconds >= kYear10000) {
        return "out of range";
    }
    std::tm broken{};
    Kor::Platform::UtcCalendar(static_cast<std::int64_t>(seconds), broken);
    std::string text;
    Append(text, "%04d-%02d-%02d %02d:%02d:%02d.%09u local", broken.tm_year + 1900,
           broken.tm_mon + 1, broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec,
           static_cast<unsigned>(nanoseconds));
    return text;
}

std::string FloatList(const std::array<float, 6>& values) {
    std::string text;
    for (const float value : values) {
        if (!text.empty()) {
            text += ' ';
        }
        text += Num(value);
    }
    return text;
}

std::string RunningText(const RunningStats& series, const char* what) {
    if (series.Count() == 0) {
        return "none yet";
    }
    std::string text;
    Append(text, "min %s, mean %s, max %s, std dev %s (%llu %s)",
           FormatSeconds(series.Min()).c_str(), FormatSeconds(series.Mean()).c_str(),
           FormatSeconds(series.Max()).c_str(), FormatSeconds(series.StdDev()).c_str(),
           static_cast<unsigned long long>(series.Count()), what);
    return text;
}

std::string TickGapText(const TickGapCounter& gaps) {
    std::string text;
    Append(text, "%llu gaps in tick counts (%llu frames missing), %llu tick counts late",
           static_cast<unsigned long long>(gaps.Gaps()),
           static_cast<unsigned long long>(gaps.Missing()),
           static_cast<unsigned long long>(gaps.Late()));
    return text;
}

std::string TimecodeText(const TimeBaseChecker& base) {
    std::string text;
    Append(text, "%llu timecode repeats, %llu skips (labels checked in %llu of %llu streams)",
           static_cast<unsigned long long>(base.TimecodeRepeats()),
           static_cast<unsigned long long>(base.TimecodeSkips()),
           static_cast<unsigned long long>(base.CheckedStreams()),
           static_cast<unsigned long long>(base.Streams()));
    return text;
}

std::string BackText(const TimeBaseChecker& base) {
    std::string text;
    Append(text, "%llu tick counts back, %llu PTP stamps back",
           static_cast<unsigned long long>(base.TickCountsBack()),
           static_cast<unsigned long long>(base.PtpStampsBack()));
    return text;
}

// "NewTimecode 10, SameTimecode 2" for the statuses from first to last inclusive.
std::string StatusCounts(const Stats& stats, FrameStatus first, FrameStatus last) {
    std::string text;
    for (auto i = static_cast<int>(first); i <= static_cast<int>(last); ++i) {
        const auto status = static_cast<FrameStatus>(i);
        const std::uint64_t count = stats.StatusCount(status);
        if (status == FrameStatus::Incomplete) {
            continue;
        }
        Append(text, "%s%s %llu", text.empty() ? "" : ", ",
               std::string(Kor::Protocol::Name(status)).c_str(),
               static_cast<unsigned long long>(count));
    }
    return text;
}

// Frames, applied and refused, each status that occurred and the duplicates.
void AppendCounts(std::string& out, const Stats& stats, const char* indent) {
    Append(out, "%sframes %llu: %llu applied, %llu with errors\n", indent,
           static_cast<unsigned long long>(stats.Frames()),
           static_cast<unsigned long long>(stats.Applied()),
           static_cast<unsigned long long>(stats.Errors()));
    for (std::size_t i = 0; i < kFrameStatusCount; ++i) {
        const auto status = static_cast<FrameStatus>(i);
        if (stats.StatusCount(status) != 0) {
            Append(out, "%s  %-22s %10llu\n", indent,
                   std::string(Kor::Protocol::Name(status)).c_str(),
                   static_cast<unsigned long long>(stats.StatusCount(status)));
        }
    }
    Append(out, "%sduplicate datagrams %llu\n", indent,
           static_cast<unsigned long long>(stats.Duplicates()));
}

void AppendState(std::string& out, const TelemetryData& s) {
    out += "Current state\n";
    Append(out, "  Timecode        %02u:%02u:%02u:%02u, record flag %s\n",
           unsigned{s.timecodeHours}, unsigned{s.timecodeMinutes}, unsigned{s.timecodeSeconds},
           unsigned{s.timecodeFrames}, s.recordFlag ? "on" : "off");
    Append(out, "  Lens            focus %u mm%s, zoom %s mm%s, iris T%s%s\n",
           static_cast<unsigned>(s.focus), Valid(s.focusValid), Num(s.zoom).c_str(),
           Valid(s.zoomValid), Num(s.iris).c_str(), Valid(s.irisValid));
    Append(out, "  PTP time        %llu s %u ns (%s)\n",
           static_cast<unsigned long long>(s.ptpSeconds), static_cast<unsigned>(s.ptpNanoseconds),
           PtpClockText(s.ptpSeconds, s.ptpNanoseconds).c_str());
    Append(out, "  Product         brand %s, name %s, serial %s, complete %s\n",
           Quoted(s.productBrand).c_str(), Quoted(s.productName).c_str(),
           Quoted(s.productSerial).c_str(), YesNo(s.productInfoComplete));
    Append(out, "  Lens properties focal length %s mm%s to %s mm%s, focal range flags %u\n",
           Num(s.minFocalLength).c_str(), Valid(s.minFocalLengthValid),
           Num(s.maxFocalLength).c_str(), Valid(s.maxFocalLengthValid),
           unsigned{s.focalRangeFlags});
    Append(out, "                  iris T%s%s to T%s%s, extra %u%s\n", Num(s.minIris).c_str(),
           Valid(s.minIrisValid), Num(s.maxIris).c_str(), Valid(s.maxIrisValid),
           unsigned{s.lensPropertiesExtra}, Valid(s.lensPropertiesExtraValid));
    Append(out, "  Position        x %s mm%s, y %s mm%s, z %s mm%s\n", Num(s.positionX).c_str(),
           Valid(s.positionXValid), Num(s.positionY).c_str(), Valid(s.positionYValid),
           Num(s.positionZ).c_str(), Valid(s.positionZValid));
    Append(out, "  Orientation     roll %s deg%s, pitch %s deg%s, yaw %s deg%s\n",
           Num(s.roll).c_str(), Valid(s.rollValid), Num(s.pitch).c_str(), Valid(s.pitchValid),
           Num(s.yaw).c_str(), Valid(s.yawValid));
    Append(out, "  Tick count      %llu %s (type %u)\n",
           static_cast<unsigned long long>(s.tickCount), TickUnit(s.tickCountType),
           unsigned{s.tickCountType});
    Append(out, "  Lens identity   manufacturer %s, name %s, serial %s, complete %s\n",
           Quoted(s.lensManufacturer).c_str(), Quoted(s.lensName).c_str(),
           Quoted(s.lensSerial).c_str(), YesNo(s.lensInfoComplete));
    Append(out, "  Project rate    %u (%s)\n", unsigned{s.projectFps},
           ProjectFpsText(s.projectFps));
    Append(out, "  Clip name       %s, received %s\n", Quoted(s.clipName).c_str(),
           YesNo(s.clipNameReceived));
    Append(out, "  Raw lens        focus %u%s, zoom %u%s, iris %u%s\n", unsigned{s.rawFocusEncoder},
           Valid(s.rawFocusEncoderValid), unsigned{s.rawZoomEncoder}, Valid(s.rawZoomEncoderValid),
           unsigned{s.rawIrisEncoder}, Valid(s.rawIrisEncoderValid));
    Append(out,
           "  Lens data       focus distance %u, aperture %s, horizontal FOV %s, "
           "entrance pupil %d\n",
           static_cast<unsigned>(s.zeissZd.focusDistance), Num(s.zeissZd.aperture).c_str(),
           Num(s.zeissZd.horizontalFieldOfView).c_str(),
           static_cast<int>(s.zeissZd.entrancePupilPosition));
    Append(out, "                  shading %s; radial distortion %s\n",
           FloatList(s.zeissZd.shading).c_str(), FloatList(s.zeissZd.radialDistortion).c_str());
    Append(out, "  Radio control   value %u, param A %u, param B %u, mode %u, param C %u\n",
           static_cast<unsigned>(s.radioControl.radioValue), unsigned{s.radioControl.radioParamA},
           unsigned{s.radioControl.radioParamB}, unsigned{s.radioControl.radioMode},
           unsigned{s.radioControl.radioParamC});
    if (s.channelId == 255) {
        out += "  Channel         none (255)\n";
    } else {
        Append(out, "  Channel         %u\n", unsigned{s.channelId});
    }
    Append(out, "  Sensor          %s x %s mm, clip %u x %u px, name %s\n",
           Num(s.sensorWidth).c_str(), Num(s.sensorHeight).c_str(), unsigned{s.clipWidth},
           unsigned{s.clipHeight}, Quoted(s.sensorName).c_str());
    Append(out, "  Raw axes        %u, %u, %u\n", static_cast<unsigned>(s.rawAxesEncoders[0]),
           static_cast<unsigned>(s.rawAxesEncoders[1]),
           static_cast<unsigned>(s.rawAxesEncoders[2]));
    if (s.subjectId == 0xFFFF) {
        out += "  Subject         none (65535)\n";
    } else {
        Append(out, "  Subject         %u\n", static_cast<unsigned>(s.subjectId));
    }
}

}  // namespace

namespace {

// Count, minimum, mean, maximum and standard deviation in seconds; null while empty.
nlohmann::ordered_json RunningJson(const RunningStats& series) {
    if (series.Count() == 0) {
        return nullptr;
    }
    return {{"count", series.Count()},
            {"minSeconds", series.Min()},
            {"meanSeconds", series.Mean()},
            {"maxSeconds", series.Max()},
            {"stdDevSeconds", series.StdDev()}};
}

}  // namespace

namespace {

nlohmann::ordered_json TickGapJson(std::uint64_t gaps, std::uint64_t missing, std::uint64_t late) {
    return {{"gaps", gaps}, {"framesMissing", missing}, {"late", late}};
}

// The figures of a run or of one source: frames and statuses, duplicates, rates, jitter,
// latency and message counts.
void AddFigures(nlohmann::ordered_json& object, const Stats& stats) {
    object["frames"] = stats.Frames();
    object["applied"] = stats.Applied();
    object["errors"] = stats.Errors();
    nlohmann::ordered_json statuses = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < kFrameStatusCount; ++i) {
        const auto status = static_cast<FrameStatus>(i);
        if (status != FrameStatus::Incomplete) {
            statuses[std::string(Kor::Protocol::Name(status))] = stats.StatusCount(status);
        }
    }
    object["statuses"] = std::move(statuses);
    object["duplicateDatagrams"] = stats.Duplicates();
}

void AddRatesAndMessages(nlohmann::ordered_json& object, const Stats& stats) {
    object["frameRateHz"] = stats.FrameArrivals().MeanRateHz();
    object["frameInterval"] = RunningJson(stats.FrameInterval());
    object["ptpLatency"] = RunningJson(stats.PtpLatency());
    object["implausiblePtp"] = stats.ImplausiblePtp();
    nlohmann::ordered_json messages = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
        const auto type = static_cast<MessageType>(i);
        const ArrivalTracker& arrivals = stats.TypeArrivals(type);
        if (arrivals.Count() != 0) {
            messages[std::string(Kor::Protocol::Name(type))] = {{"count", arrivals.Count()},
                                                                {"rateHz", arrivals.MeanRateHz()}};
        }
    }
    object["messages"] = std::move(messages);
}

nlohmann::ordered_json TimeBaseJson(std::uint64_t repeats, std::uint64_t skips,
                                    std::uint64_t ticksBack, std::uint64_t ptpBack,
                                    std::uint64_t streams, std::uint64_t checked) {
    return {{"timecodeRepeats", repeats}, {"timecodeSkips", skips},
            {"tickCountsBack", ticksBack}, {"ptpStampsBack", ptpBack},
            {"streams", streams},          {"checkedStreams", checked}};
}

nlohmann::ordered_json SourceJson(const Monitor& monitor, std::size_t index) {
    const Kor::Platform::SourceKey& key = monitor.Key(index);
    const Stats& stats = monitor.SourceStats(index);
    nlohmann::ordered_json source;
    source["source"] = index + 1;
    source["sender"] = key.Sender();
    source["subjectId"] = key.subject == Kor::Platform::SourceKey::kNoSubject
                              ? nlohmann::ordered_json(nullptr)
                              : nlohmann::ordered_json(key.subject);
    source["productSerial"] = monitor.State(index).productSerial;
    AddFigures(source, stats);
    const TickGapCounter& gaps = stats.TickGaps();
    source["tickGaps"] = TickGapJson(gaps.Gaps(), gaps.Missing(), gaps.Late());
    const TimeBaseChecker& base = stats.TimeBase();
    source["timeBase"] =
        TimeBaseJson(base.TimecodeRepeats(), base.TimecodeSkips(), base.TickCountsBack(),
                     base.PtpStampsBack(), base.Streams(), base.CheckedStreams());
    AddRatesAndMessages(source, stats);
    nlohmann::ordered_json groups = nlohmann::ordered_json::array();
    for (const MessageGroup& group : stats.Groups()) {
        nlohmann::ordered_json types = nlohmann::ordered_json::array();
        for (const MessageType type : group.types) {
            types.push_back(std::string(Kor::Protocol::Name(type)));
        }
        groups.push_back({{"messages", std::move(types)},
                          {"count", group.arrivals.Count()},
                          {"rateHz", group.arrivals.MeanRateHz()},
                          {"interval", RunningJson(group.interval)}});
    }
    source["messageGroups"] = std::move(groups);
    return source;
}

}  // namespace

nlohmann::ordered_json SummaryJson(const Monitor& monitor,
                                   std::chrono::steady_clock::duration elapsed,
                                   std::string_view chunks) {
    const Stats& totals = monitor.GetStats();
    nlohmann::ordered_json summary;
    summary["elapsedSeconds"] = std::chrono::duration<double>(elapsed).count();
    summary[std::string(chunks)] = totals.Chunks();
    summary["bytes"] = totals.Bytes();
    AddFigures(summary, totals);
    summary["refusedFrames"] = monitor.Refused();
    nlohmann::ordered_json early = nlohmann::ordered_json::array();
    for (const auto& [sender, frames] : monitor.RefusedBeforeFirstFrame()) {
        early.push_back({{"sender", sender.Sender()}, {"frames", frames}});
    }
    summary["refusedBeforeFirstFrame"] = std::move(early);
    std::array<std::uint64_t, 3> gaps{};
    std::array<std::uint64_t, 6> base{};
    for (std::size_t i = 0; i < monitor.SourceCount(); ++i) {
        const TickGapCounter& g = monitor.SourceStats(i).TickGaps();
        const TimeBaseChecker& b = monitor.SourceStats(i).TimeBase();
        const std::array<std::uint64_t, 3> sourceGaps{g.Gaps(), g.Missing(), g.Late()};
        const std::array<std::uint64_t, 6> sourceBase{
            b.TimecodeRepeats(), b.TimecodeSkips(), b.TickCountsBack(),
            b.PtpStampsBack(),   b.Streams(),       b.CheckedStreams()};
        std::transform(gaps.begin(), gaps.end(), sourceGaps.begin(), gaps.begin(),
                       std::plus<>());
        std::transform(base.begin(), base.end(), sourceBase.begin(), base.begin(),
                       std::plus<>());
    }
    summary["tickGaps"] = TickGapJson(gaps[0], gaps[1], gaps[2]);
    summary["timeBase"] = TimeBaseJson(base[0], base[1], base[2], base[3], base[4], base[5]);
    AddRatesAndMessages(summary, totals);
    nlohmann::ordered_json sources = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < monitor.SourceCount(); ++i) {
        sources.push_back(SourceJson(monitor, i));
    }
    summary["sources"] = std::move(sources);
    return {{"summary", std::move(summary)}};
}

std::string Quoted(std::string_view bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += c;
        } else if (byte < 0x20 || byte > 0x7E) {
            Append(text, "\\x%02X", static_cast<unsigned>(byte));
        } else {
            text += c;
        }
    }
    text += '"';
    return text;
}

std::string FormatSeconds(double seconds) {
    if (!std::isfinite(seconds)) {
        return std::string(1, '-');
    }
    std::string text;
    if (std::fabs(seconds) < 1.0) {
        Append(text, "%.3f ms", seconds * 1e3);
    } else {
        Append(text, "%.3f s", seconds);
    }
    return text;
}

std::string CompactSeconds(double seconds) {
    if (!std::isfinite(seconds)) {
        return "-";
    }
    const double size = std::fabs(seconds);
    std::string text;
    if (size < 999.5e-6) {
        Append(text, "%.0fus", seconds * 1e6);
    } else if (size < 9.995e-3) {
        Append(text, "%.2fms", seconds * 1e3);
    } else if (size < 0.9995) {
        Append(text, "%.0fms", seconds * 1e3);
    } else if (size < 99.95) {
        Append(text, "%.1fs", seconds);
    } else if (size < 99'999.5) {
        Append(text, "%.0fs", seconds);
    } else {
        Append(text, "%.0fh", seconds / 3600);
    }
    return text;
}

std::string CompactCount(std::uint64_t count) {
    std::string text;
    if (count < 10'000) {
        Append(text, "%llu", static_cast<unsigned long long>(count));
        return text;
    }
    // Rounded down, so that a figure never shows more than was counted: 10k to 999k, then
    // 1.0M to 9.9M, 10M to 999M, and so on up to 18E.
    std::uint64_t unit = 1'000;
    const char* suffix = "kMGTPE";
    while (count / unit >= 1'000) {
        unit *= 1'000;
        ++suffix;
    }
    const std::uint64_t whole = count / unit;
    if (whole < 10 && unit > 1'000) {
        Append(text, "%llu.%llu%c", static_cast<unsigned long long>(whole),
               static_cast<unsigned long long>(count / (unit / 10) % 10), *suffix);
    } else {
        Append(text, "%llu%c", static_cast<unsigned long long>(whole), *suffix);
    }
    return text;
}

namespace {

// Widths of the table's columns; a row is exactly 80 characters wide.
constexpr int kSenderWidth = 21;  // "255.255.255.255:65535"
constexpr int kSerialWidth = 8;
constexpr int kRatesWidth = 10;

// A string from the wire in at most `width` printable characters: other bytes as '?', and
// a longer one cut with '~' as its first character, keeping its end (where serials of one
// series differ); "-" when empty.
std::string TailCell(std::string_view bytes, std::size_t width) {
    if (bytes.empty()) {
        return "-";
    }
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte <= 0x7E ? c : '?';
    }
    if (text.size() > width) {
        text.erase(0, text.size() - width);
        text.front() = '~';
    }
    return text;
}

// The rates of a source's message groups, fastest first, e.g. "100/24/1": over the last
// seconds up to now, or the means of the whole run without it; cut with '+' when they do
// not all fit.
std::string GroupRates(const Stats& stats, std::optional<ArrivalTracker::Clock::time_point> now) {
    std::vector<double> rates;
    for (const MessageGroup& group : stats.Groups()) {
        rates.push_back(now ? group.arrivals.RateHz(*now) : group.arrivals.MeanRateHz());
    }
    std::sort(rates.rbegin(), rates.rend());
    std::string text;
    for (const double rate : rates) {
        std::string one;
        Append(one, rate >= 9.95 ? "%.0f" : "%.1f", rate);
        const std::string joined = text.empty() ? one : text + "/" + one;
        if (joined.size() > static_cast<std::size_t>(kRatesWidth)) {
            text += '+';
            break;
        }
        text = joined;
    }
    return text.empty() ? std::string(1, '-') : text.substr(0, kRatesWidth);
}

std::uint64_t TimeBaseFaults(const TimeBaseChecker& base) {
    return base.TimecodeRepeats() + base.TimecodeSkips() + base.TickCountsBack() +
           base.PtpStampsBack();
}

std::string SubjectText(std::uint16_t subject) {
    return subject == Kor::Platform::SourceKey::kNoSubject ? std::string(1, '-')
                                                           : std::to_string(subject);
}

// The table's header and one source's row (rates up to now, or the run's means).
std::string TableHeader() {
    std::string header;
    Append(header, " # %-*s %5s %-*s %-*s %6s %7s %4s %4s %4s\n", kSenderWidth, "Sender", "Subj",
           kSerialWidth, "Serial", kRatesWidth, "Hz/group", "Jitter", "PTP lat", "Err", "Gaps",
           "TB");
    return header;
}

std::string TableRow(const Monitor& monitor, std::size_t index,
                     std::optional<ArrivalTracker::Clock::time_point> now) {
    const Stats& stats = monitor.SourceStats(index);
    const Kor::Platform::SourceKey& key = monitor.Key(index);
    const MessageGroup* main = stats.MainGroup();
    const double jitter =
        main != nullptr && main->interval.Count() >= 2 ? main->interval.StdDev() : NAN;
    const double latency = stats.PtpLatency().Count() != 0 ? stats.PtpLatency().Mean() : NAN;
    std::string row;
    Append(row, "%2llu %-*s %5s %-*s %-*s %6s %7s %4s %4s %4s\n", Ull(index + 1), kSenderWidth,
           key.Sender().c_str(), SubjectText(key.subject).c_str(), kSerialWidth,
           TailCell(monitor.State(index).productSerial, kSerialWidth).c_str(), kRatesWidth,
           GroupRates(stats, now).c_str(), CompactSeconds(jitter).c_str(),
           CompactSeconds(latency).c_str(), CompactCount(stats.Errors()).c_str(),
           CompactCount(stats.TickGaps().Gaps()).c_str(),
           CompactCount(TimeBaseFaults(stats.TimeBase())).c_str());
    return row;
}

// One source in full: status counts, faults, jitter, latency, the message table and the
// state.
std::string SourceDetail(const Monitor& monitor, std::size_t index,
                         ArrivalTracker::Clock::time_point now) {
    using std::chrono::duration;
    const Stats& stats = monitor.SourceStats(index);
    const Kor::Platform::SourceKey& key = monitor.Key(index);
    std::string out;
    Append(out, "Source %llu: %s, subject %s\n", Ull(index + 1), key.Sender().c_str(),
           SubjectText(key.subject).c_str());
    Append(out, "Frames          %llu, %.2f Hz; applied %llu (%s)\n",
           static_cast<unsigned long long>(stats.Frames()), stats.FrameArrivals().RateHz(now),
           static_cast<unsigned long long>(stats.Applied()),
           StatusCounts(stats, FrameStatus::NewTimecode, FrameStatus::SameTimecode).c_str());
    Append(out, "Errors          %llu: %s,\n", static_cast<unsigned long long>(stats.Errors()),
           StatusCounts(stats, FrameStatus::ChecksumError, FrameStatus::BadMessageType).c_str());
    Append(out, "                %s\n",
           StatusCounts(stats, FrameStatus::MessageRejected, FrameStatus::HeaderError).c_str());
    Append(out, "Faults seen     %llu duplicate datagrams\n",
           static_cast<unsigned long long>(stats.Duplicates()));
    Append(out, "                %s\n", TickGapText(stats.TickGaps()).c_str());
    Append(out, "Time base       %s\n", TimecodeText(stats.TimeBase()).c_str());
    Append(out, "                %s\n", BackText(stats.TimeBase()).c_str());
    Append(out, "Frame interval  %s\n", RunningText(stats.FrameInterval(), "intervals").c_str());
    Append(out, "PTP latency     %s\n", RunningText(stats.PtpLatency(), "stamps").c_str());
    if (stats.PtpLatency().Count() != 0) {
        Append(out, "                last %s (arrival local time minus the PTP stamp)\n",
               FormatSeconds(stats.PtpLatency().Last()).c_str());
    }
    if (stats.ImplausiblePtp() != 0) {
        Append(out, "                %llu implausible stamps (more than a day away) left out\n",
               static_cast<unsigned long long>(stats.ImplausiblePtp()));
    }

    out += "\nMessage                      Rate   Last arrival        Count\n";
    bool any = false;
    for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
        const auto type = static_cast<MessageType>(i);
        const ArrivalTracker& arrivals = stats.TypeArrivals(type);
        if (arrivals.Count() == 0) {
            continue;
        }
        any = true;
        const auto age = arrivals.Age(now);
        const double ageSeconds = age ? duration<double>(*age).count() : 0.0;
        Append(out, "  %-22s %9.2f Hz %10.3f s ago %12llu\n",
               std::string(Kor::Protocol::Name(type)).c_str(), arrivals.RateHz(now), ageSeconds,
               static_cast<unsigned long long>(arrivals.Count()));
    }
    if (!any) {
        out += "  (no message applied yet)\n";
    }
    out += '\n';
    AppendState(out, monitor.State(index));
    return out;
}

std::size_t Lines(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Every line cut to `columns` characters (0: as they are).
std::string FitWidth(const std::string& text, int columns) {
    if (columns <= 0) {
        return text;
    }
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.append(text, at, std::min(end - at, static_cast<std::size_t>(columns)));
        if (end < text.size()) {
            out += '\n';
        }
        at = end + 1;
    }
    return out;
}

}  // namespace

std::string RenderView(const Monitor& monitor, const ViewContext& context) {
    const auto now = context.now.steady;
    const Stats& totals = monitor.GetStats();
    std::string out;
    const auto running =
        std::chrono::floor<std::chrono::seconds>(context.now.steady - context.start).count();
    Append(out, "kor-monitor  %s  running %lld:%02lld:%02lld  %s\n", context.source.c_str(),
           static_cast<long long>(running / 3600), static_cast<long long>(running / 60 % 60),
           static_cast<long long>(running % 60), IsoUtc(context.now.wall).c_str());
    Append(out, "Received %llu %s, %llu bytes; %llu frames, %llu errors, %llu duplicates\n",
           static_cast<unsigned long long>(totals.Chunks()), context.chunks.c_str(),
           static_cast<unsigned long long>(totals.Bytes()),
           static_cast<unsigned long long>(totals.Frames()),
           static_cast<unsigned long long>(totals.Errors()),
           static_cast<unsigned long long>(totals.Duplicates()));
    out += '\n';
    out += TableHeader();
    const std::size_t sources = monitor.SourceCount();
    // Lines the text may take: one fewer than the rows, so that a terminal never scrolls.
    const std::size_t room = context.rows > 0 ? static_cast<std::size_t>(context.rows) - 1
                                              : std::numeric_limits<std::size_t>::max();
    const char* const legend =
        "Err refused frames, Gaps in tick counts, TB time-base faults (repeats, skips,\n"
        "tick counts and PTP stamps back); --source N shows a source in full\n";
    // The table's rows, leaving a line for the note on the rows left out.
    std::size_t shown = sources;
    if (Lines(out) + sources > room) {
        shown = room > Lines(out) + 1 ? room - Lines(out) - 1 : 0;
    }
    for (std::size_t i = 0; i < shown; ++i) {
        out += TableRow(monitor, i, now);
    }
    if (sources == 0) {
        out += "   (no frame yet)\n";
    } else if (shown < sources) {
        Append(out, "   ... %llu more sources\n", Ull(sources - shown));
    }
    if (Lines(out) + Lines(legend) <= room) {
        out += legend;
    }
    if (context.selected < sources) {
        const std::string detail = SourceDetail(monitor, context.selected, now);
        if (Lines(out) + 1 + Lines(detail) <= room) {
            out += '\n';
            out += detail;
        } else if (Lines(out) + 1 <= room) {
            Append(out, "(source %llu in full needs %llu rows)\n", Ull(context.selected + 1),
                   Ull(Lines(out) + 2 + Lines(detail)));
        }
    } else if (sources != 0 && Lines(out) + 1 <= room) {
        Append(out, "(no source %llu yet)\n", Ull(context.selected + 1));
    }
    // A terminal too short for even the table's head shows what fits.
    if (Lines(out) > room) {
        std::size_t end = 0;
        for (std::size_t line = 0; line < room; ++line) {
            end = out.find('\n', end) + 1;
        }
        out.resize(end);
    }
    return FitWidth(out, context.columns);
}

std::string RenderSummary(const Monitor& monitor, std::chrono::steady_clock::duration elapsed,
                          std::string_view chunks) {
    const Stats& totals = monitor.GetStats();
    const double seconds = std::chrono::duration<double>(elapsed).count();
    std::string out;
    Append(out, "kor-monitor summary: %.3f s, %llu %s, %llu bytes received, %llu sources\n",
           seconds, static_cast<unsigned long long>(totals.Chunks()),
           std::string(chunks).c_str(), static_cast<unsigned long long>(totals.Bytes()),
           Ull(monitor.SourceCount()));
    AppendCounts(out, totals, "  ");
    if (monitor.Refused() != 0) {
        Append(out, "  frames of sources beyond the %llu followed, left out: %llu\n",
               Ull(Kor::Tools::SourceRouter::kDefaultMaxSources),
               static_cast<unsigned long long>(monitor.Refused()));
    }
    for (const auto& [sender, frames] : monitor.RefusedBeforeFirstFrame()) {
        Append(out, "  sender %s: %llu frames refused before its first applied one (no source)\n",
               sender.Sender().c_str(), static_cast<unsigned long long>(frames));
    }
    if (monitor.SourceCount() != 0) {
        out += TableHeader();
        for (std::size_t index = 0; index < monitor.SourceCount(); ++index) {
            out += TableRow(monitor, index, std::nullopt);
        }
    }
    for (std::size_t index = 0; index < monitor.SourceCount(); ++index) {
        const Stats& stats = monitor.SourceStats(index);
        const Kor::Platform::SourceKey& key = monitor.Key(index);
        Append(out, "Source %llu: %s, subject %s, serial %s\n", Ull(index + 1),
               key.Sender().c_str(),
               SubjectText(key.subject).c_str(),
               Quoted(monitor.State(index).productSerial).c_str());
        AppendCounts(out, stats, "  ");
        Append(out, "  %s\n", TickGapText(stats.TickGaps()).c_str());
        Append(out, "  %s\n", TimecodeText(stats.TimeBase()).c_str());
        Append(out, "  %s\n", BackText(stats.TimeBase()).c_str());
        if (stats.FrameArrivals().MeanRateHz() > 0) {
            Append(out, "  frame rate: %.2f Hz on average\n", stats.FrameArrivals().MeanRateHz());
        }
        Append(out, "  frame interval: %s\n",
               RunningText(stats.FrameInterval(), "intervals").c_str());
        Append(out, "  PTP latency: %s\n", RunningText(stats.PtpLatency(), "stamps").c_str());
        if (stats.ImplausiblePtp() != 0) {
            Append(out, "  implausible PTP stamps (more than a day away, left out): %llu\n",
                   static_cast<unsigned long long>(stats.ImplausiblePtp()));
        }
        for (const MessageGroup& group : stats.Groups()) {
            // Named by its first and last record types (a frame may carry none at all).
            const auto name = [&](bool first) {
                return group.types.empty() ? std::string("none")
                                           : std::string(Kor::Protocol::Name(
                                                 first ? group.types.front() : group.types.back()));
            };
            Append(out, "  message group %s to %s (%llu records): %llu frames, %.2f Hz, jitter %s\n",
                   name(true).c_str(), name(false).c_str(), Ull(group.types.size()),
                   static_cast<unsigned long long>(group.arrivals.Count()),
                   group.arrivals.MeanRateHz(),
                   group.interval.Count() >= 2 ? FormatSeconds(group.interval.StdDev()).c_str()
                                               : "-");
        }
        for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
            const auto type = static_cast<MessageType>(i);
            const ArrivalTracker& arrivals = stats.TypeArrivals(type);
            if (arrivals.Count() == 0) {
                continue;
            }
            Append(out, "  %-22s %10llu received", std::string(Kor::Protocol::Name(type)).c_str(),
                   static_cast<unsigned long long>(arrivals.Count()));
            const double rate = arrivals.MeanRateHz();
            if (rate > 0) {
                Append(out, ", %.2f Hz on average", rate);
            }
            out += '\n';
        }
    }
    return out;
}

}  // namespace KorMonitor
