#include "alignment.h"

#include <algorithm>
#include <cmath>

namespace alignment {

namespace {
// Half the window over which an event's energy centre is taken: wider than a burst's envelope (a few
// milliseconds), narrower than the gap between events.
constexpr double kHalfWindowSeconds = 0.006;
}  // namespace

EventFinder::EventFinder(double rate, float threshold, double minGapSeconds)
    : half_(std::max<size_t>(1, static_cast<size_t>(kHalfWindowSeconds * (rate > 0.0 ? rate : 0.0)))),
      gap_(std::max<size_t>(1, static_cast<size_t>(minGapSeconds * (rate > 0.0 ? rate : 0.0)))),
      threshold_(threshold) {
    history_.assign(half_, 0.0f);
    capture_.reserve(3 * half_ + 1);
}

void EventFinder::Add(const float* samples, size_t count, size_t stride) {
    for (size_t i = 0; i < count; ++i, ++position_) {
        const float x = samples[i * stride];
        if (!capture_.empty()) {
            capture_.push_back(x);
            if (capture_.size() < 3 * half_ + 1) continue;
            // The peak lies within half a window after the start; the centre is taken half a window either side.
            size_t peak = half_;
            for (size_t j = half_; j <= 2 * half_; ++j)
                if (std::fabs(capture_[j]) > std::fabs(capture_[peak])) peak = j;
            double energy = 0.0;
            double moment = 0.0;
            for (size_t j = peak - half_; j <= peak + half_; ++j) {
                const double e = static_cast<double>(capture_[j]) * capture_[j];
                energy += e;
                moment += e * static_cast<double>(j);
            }
            if (energy > 0.0) events_.push_back(static_cast<double>(captureStart_) + moment / energy);
            quietUntil_ = captureStart_ + peak + gap_;
            capture_.clear();
            continue;
        }
        if (position_ >= quietUntil_ && std::fabs(x) >= threshold_) {
            if (position_ < half_) {
                // A sound that started before the recording did has no reliable centre.
                quietUntil_ = position_ + gap_;
            } else {
                // The event starts here: the half window before it, oldest first, then what follows.
                captureStart_ = position_ - half_;
                for (size_t k = 0; k < half_; ++k) capture_.push_back(history_[(position_ + k) % half_]);
                capture_.push_back(x);
                continue;
            }
        }
        history_[position_ % half_] = x;
    }
}

std::vector<double> FindEvents(const std::vector<float>& samples, double rate, float threshold, double minGapSeconds) {
    EventFinder finder(rate, threshold, minGapSeconds);
    finder.Add(samples.data(), samples.size());
    return finder.Events();
}

std::vector<double> ScheduleOfSwitches(const std::vector<int64_t>& arrivalNs, double periodNs) {
    std::vector<double> scheduled(arrivalNs.size());
    double origin = 1e300;
    for (size_t b = arrivalNs.size(); b-- > 0;) {
        origin = std::min(origin, static_cast<double>(arrivalNs[b]) - static_cast<double>(b) * periodNs);
        scheduled[b] = origin + static_cast<double>(b) * periodNs;
    }
    return scheduled;
}

std::vector<double> OnSchedule(const std::vector<double>& arrivals, const std::vector<double>& scheduleNs,
                               size_t bufferFrames, double rate) {
    std::vector<double> placed;
    if (scheduleNs.empty() || bufferFrames == 0) return placed;
    for (double a : arrivals) {
        const size_t b = static_cast<size_t>(a / static_cast<double>(bufferFrames));
        if (a < 0.0 || b >= scheduleNs.size()) continue;
        placed.push_back((scheduleNs[b] - scheduleNs[0]) * rate * 1e-9 + a - static_cast<double>(b * bufferFrames));
    }
    return placed;
}

Report Compare(const std::vector<std::vector<double>>& arrivals, double rate, double intervalSeconds,
               double settleSeconds) {
    Report report;
    const size_t channels = arrivals.size();
    report.wanderFrames.assign(channels, 0.0);
    report.offsetFrames.assign(channels, 0.0);
    if (channels == 0 || arrivals[0].empty() || !(rate > 0.0) || !(intervalSeconds > 0.0)) return report;
    const double interval = intervalSeconds * rate;
    const double origin = arrivals[0].front();
    std::vector<double> low(channels, 1e300), high(channels, -1e300), sum(channels, 0.0);
    double spreadSum = 0.0;
    std::vector<size_t> cursor(channels, 0);
    for (double reference : arrivals[0]) {
        if (reference < settleSeconds * rate) continue;
        const double slot = origin + std::round((reference - origin) / interval) * interval;
        std::vector<double> heard(channels);
        bool everywhere = true;
        for (size_t c = 0; c < channels && everywhere; ++c) {
            const std::vector<double>& a = arrivals[c];
            size_t& k = cursor[c];
            while (k < a.size() && a[k] < reference - interval / 4) ++k;
            everywhere = k < a.size() && a[k] <= reference + interval / 4;
            if (everywhere) heard[c] = a[k];
        }
        if (!everywhere) continue;
        const auto [first, last] = std::minmax_element(heard.begin(), heard.end());
        const double spread = *last - *first;
        report.maxSpreadFrames = std::max(report.maxSpreadFrames, spread);
        spreadSum += spread;
        for (size_t c = 0; c < channels; ++c) {
            const double place = heard[c] - slot;
            low[c] = std::min(low[c], place);
            high[c] = std::max(high[c], place);
            sum[c] += heard[c] - heard[0];
        }
        ++report.events;
    }
    if (!report.events) return report;
    report.meanSpreadFrames = spreadSum / static_cast<double>(report.events);
    for (size_t c = 0; c < channels; ++c) {
        report.wanderFrames[c] = high[c] - low[c];
        report.offsetFrames[c] = sum[c] / static_cast<double>(report.events);
    }
    return report;
}

}  // namespace alignment
