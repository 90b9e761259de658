// Replay of a capture: the send schedule and the thread that keeps it.
#include "replay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "clocks.h"
#include "numeric.h"
#include "udp_socket.h"

namespace Kor::Send {
namespace {

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::steady_clock::time_point SteadyTimePoint(std::int64_t ns) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(ns)));
}

}  // namespace

std::vector<std::int64_t> ReplayOffsets(const std::vector<Pcap::Datagram>& datagrams,
                                        double speed) {
    std::vector<std::int64_t> offsets;
    offsets.reserve(datagrams.size());
    for (const Pcap::Datagram& datagram : datagrams) {
        const double scaled =
            static_cast<double>(datagram.timeNs - datagrams.front().timeNs) / speed;
        // Saturating: a hostile capture's time stamps scaled by a small speed can exceed int64.
        offsets.push_back(Engine::SaturateToInt64(std::round(scaled)));
    }
    return offsets;
}

std::int64_t LoopGapNs(const std::vector<std::int64_t>& offsets, double speed) {
    std::int64_t mean = 0;
    if (offsets.size() >= 2 && offsets.back() > 0) {
        mean = offsets.back() / static_cast<std::int64_t>(offsets.size() - 1);
    }
    return mean > 0 ? mean : Engine::SaturateToInt64(std::round(1e9 / speed));
}

Replayer::Replayer(std::vector<Pcap::Datagram> datagrams, ReplaySettings settings,
                   Engine::MessageSink& messages)
    : datagrams_(std::move(datagrams)),
      offsets_(ReplayOffsets(datagrams_, settings.speed)),
      settings_(std::move(settings)),
      socket_(messages) {}

Replayer::~Replayer() {
    Stop();
}

void Replayer::Start() {
    Stop();
    finished_.store(false, std::memory_order_release);
    flag_ = std::make_unique<Engine::RunFlag>(true);
    thread_ = std::thread([this, flag = flag_.get()] { Run(*flag); });
}

void Replayer::Stop() {
    if (flag_) {
        flag_->Clear();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

ReplayTotals Replayer::Totals() const {
    return {sent_.load(), bytes_.load(), failures_.load(), passes_.load()};
}

bool Replayer::WaitUntil(std::int64_t deadlineNs, Engine::RunFlag& flag) const {
    if (deadlineNs - SteadyNs() > settings_.spinMarginNs &&
        !flag.WaitUntil(SteadyTimePoint(deadlineNs - settings_.spinMarginNs))) {
        return false;
    }
    while (SteadyNs() < deadlineNs) {
        if (!flag.IsSet()) {
            return false;
        }
        std::this_thread::yield();
    }
    return flag.IsSet();
}

void Replayer::Run(Engine::RunFlag& flag) {
    Engine::TightenTimerSlack();
    const std::int64_t span = offsets_.empty() ? 0 : std::max<std::int64_t>(offsets_.back(), 0);
    const std::int64_t passLength = span + LoopGapNs(offsets_, settings_.speed);
    const std::int64_t start = SteadyNs();
    for (std::int64_t pass = 0; !datagrams_.empty(); ++pass) {
        const std::int64_t passStart = start + pass * passLength;
        for (std::size_t i = 0; i < datagrams_.size(); ++i) {
            if (!WaitUntil(passStart + offsets_[i], flag)) {
                finished_.store(true, std::memory_order_release);
                return;
            }
            const auto& payload = datagrams_[i].payload;
            if (socket_.SendTo(settings_.address, settings_.port, payload.data(),
                               payload.size())) {
                bytes_.fetch_add(payload.size());
                sent_.fetch_add(1);
            } else {
                failures_.fetch_add(1);
            }
        }
        passes_.fetch_add(1);
        if (!settings_.loop) {
            break;
        }
    }
    finished_.store(true, std::memory_order_release);
}

}  // namespace Kor::Send
