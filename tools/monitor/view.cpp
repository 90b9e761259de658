// The live text view and the closing summary, as text and as JSON.
#include "view.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

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

nlohmann::ordered_json SummaryJson(const Stats& stats, std::chrono::steady_clock::duration elapsed,
                                   std::string_view chunks) {
    nlohmann::ordered_json summary;
    summary["elapsedSeconds"] = std::chrono::duration<double>(elapsed).count();
    summary[std::string(chunks)] = stats.Chunks();
    summary["bytes"] = stats.Bytes();
    summary["frames"] = stats.Frames();
    summary["applied"] = stats.Applied();
    summary["errors"] = stats.Errors();
    nlohmann::ordered_json statuses = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < kFrameStatusCount; ++i) {
        const auto status = static_cast<FrameStatus>(i);
        if (status != FrameStatus::Incomplete) {
            statuses[std::string(Kor::Protocol::Name(status))] = stats.StatusCount(status);
        }
    }
    summary["statuses"] = std::move(statuses);
    summary["duplicateDatagrams"] = stats.Duplicates();
    const TickGapCounter& gaps = stats.TickGaps();
    summary["tickGaps"] = {
        {"gaps", gaps.Gaps()}, {"framesMissing", gaps.Missing()}, {"late", gaps.Late()}};
    const TimeBaseChecker& base = stats.TimeBase();
    summary["timeBase"] = {{"timecodeRepeats", base.TimecodeRepeats()},
                           {"timecodeSkips", base.TimecodeSkips()},
                           {"tickCountsBack", base.TickCountsBack()},
                           {"ptpStampsBack", base.PtpStampsBack()},
                           {"streams", base.Streams()},
                           {"checkedStreams", base.CheckedStreams()}};
    summary["frameRateHz"] = stats.FrameArrivals().MeanRateHz();
    summary["frameInterval"] = RunningJson(stats.FrameInterval());
    summary["ptpLatency"] = RunningJson(stats.PtpLatency());
    summary["implausiblePtp"] = stats.ImplausiblePtp();
    nlohmann::ordered_json messages = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
        const auto type = static_cast<MessageType>(i);
        const ArrivalTracker& arrivals = stats.TypeArrivals(type);
        if (arrivals.Count() != 0) {
            messages[std::string(Kor::Protocol::Name(type))] = {{"count", arrivals.Count()},
                                                            {"rateHz", arrivals.MeanRateHz()}};
        }
    }
    summary["messages"] = std::move(messages);
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

std::string RenderView(const Stats& stats, const TelemetryData& state, const ViewContext& context) {
    using std::chrono::duration;
    std::string out;
    const auto running =
        std::chrono::floor<std::chrono::seconds>(context.now.steady - context.start).count();
    Append(out, "kor-monitor  %s  running %lld:%02lld:%02lld  %s\n", context.source.c_str(),
           static_cast<long long>(running / 3600), static_cast<long long>(running / 60 % 60),
           static_cast<long long>(running % 60), IsoUtc(context.now.wall).c_str());
    Append(out, "Received        %llu %s, %llu bytes\n",
           static_cast<unsigned long long>(stats.Chunks()), context.chunks.c_str(),
           static_cast<unsigned long long>(stats.Bytes()));
    Append(out, "Frames          %llu, %.2f Hz; applied %llu (%s)\n",
           static_cast<unsigned long long>(stats.Frames()),
           stats.FrameArrivals().RateHz(context.now.steady),
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
        const auto age = arrivals.Age(context.now.steady);
        const double ageSeconds = age ? duration<double>(*age).count() : 0.0;
        Append(out, "  %-22s %9.2f Hz %10.3f s ago %12llu\n",
               std::string(Kor::Protocol::Name(type)).c_str(), arrivals.RateHz(context.now.steady),
               ageSeconds, static_cast<unsigned long long>(arrivals.Count()));
    }
    if (!any) {
        out += "  (no message applied yet)\n";
    }
    out += '\n';
    AppendState(out, state);
    return out;
}

std::string RenderSummary(const Stats& stats, std::chrono::steady_clock::duration elapsed,
                          std::string_view chunks) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    std::string out;
    Append(out, "kor-monitor summary: %.3f s, %llu %s, %llu bytes received\n", seconds,
           static_cast<unsigned long long>(stats.Chunks()), std::string(chunks).c_str(),
           static_cast<unsigned long long>(stats.Bytes()));
    Append(out, "  frames %llu: %llu applied, %llu with errors\n",
           static_cast<unsigned long long>(stats.Frames()),
           static_cast<unsigned long long>(stats.Applied()),
           static_cast<unsigned long long>(stats.Errors()));
    for (std::size_t i = 0; i < kFrameStatusCount; ++i) {
        const auto status = static_cast<FrameStatus>(i);
        if (stats.StatusCount(status) != 0) {
            Append(out, "    %-22s %10llu\n", std::string(Kor::Protocol::Name(status)).c_str(),
                   static_cast<unsigned long long>(stats.StatusCount(status)));
        }
    }
    Append(out, "  duplicate datagrams %llu\n", static_cast<unsigned long long>(stats.Duplicates()));
    Append(out, "  %s\n", TickGapText(stats.TickGaps()).c_str());
    Append(out, "  %s\n", TimecodeText(stats.TimeBase()).c_str());
    Append(out, "  %s\n", BackText(stats.TimeBase()).c_str());
    if (stats.FrameArrivals().MeanRateHz() > 0) {
        Append(out, "  frame rate: %.2f Hz on average\n", stats.FrameArrivals().MeanRateHz());
    }
    Append(out, "  frame interval: %s\n", RunningText(stats.FrameInterval(), "intervals").c_str());
    Append(out, "  PTP latency: %s\n", RunningText(stats.PtpLatency(), "stamps").c_str());
    if (stats.ImplausiblePtp() != 0) {
        Append(out, "  implausible PTP stamps (more than a day away, left out): %llu\n",
               static_cast<unsigned long long>(stats.ImplausiblePtp()));
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
    return out;
}

}  // namespace KorMonitor
