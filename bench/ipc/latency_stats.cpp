#include "latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void LatencyStats::Add(std::chrono::steady_clock::duration latency) {
  samples_us_.push_back(std::chrono::duration<double, std::micro>(latency).count());
}

LatencySummary LatencyStats::Summarise(std::chrono::steady_clock::duration elapsed) {
  LatencySummary summary;
  summary.count = samples_us_.size();
  if (samples_us_.empty()) return summary;
  std::sort(samples_us_.begin(), samples_us_.end());
  // Nearest-rank percentile: the smallest sample with at least p of all at or below it.
  auto rank = [&](double p) {
    size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(samples_us_.size())));
    return samples_us_[std::clamp<size_t>(index, 1, samples_us_.size()) - 1];
  };
  summary.p50_us = rank(0.50);
  summary.p99_us = rank(0.99);
  summary.max_us = samples_us_.back();
  double seconds = std::chrono::duration<double>(elapsed).count();
  if (seconds > 0) summary.per_second = static_cast<double>(summary.count) / seconds;
  return summary;
}

std::string FormatSummary(const std::string& name, const LatencySummary& summary) {
  char line[256];
  std::snprintf(line, sizeof(line),
                "%s: %zu requests, %.0f req/s, p50 %.1f us, p99 %.1f us, max %.1f us", name.c_str(),
                summary.count, summary.per_second, summary.p50_us, summary.p99_us, summary.max_us);
  return line;
}
