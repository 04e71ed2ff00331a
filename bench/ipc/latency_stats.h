// Latency samples of one benchmark phase and the figures printed for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

struct LatencySummary {
  size_t count = 0;
  double per_second = 0;  // completed requests per wall-clock second
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

class LatencyStats {
 public:
  void Reserve(size_t count) { samples_us_.reserve(count); }
  void Add(std::chrono::steady_clock::duration latency);
  // Sorts the samples; `elapsed` is the wall-clock time of the whole phase.
  LatencySummary Summarise(std::chrono::steady_clock::duration elapsed);

 private:
  std::vector<double> samples_us_;
};

// One line: "<name>: N requests, R req/s, p50 X us, p99 Y us, max Z us".
std::string FormatSummary(const std::string& name, const LatencySummary& summary);
