#include "progress_bar.h"

#include <algorithm>

namespace vadoctl {

std::string RenderProgressBar(int percent, const std::string& label, int width) {
  percent = std::clamp(percent, 0, 100);
  width = std::max(width, 1);
  const int filled = percent * width / 100;
  std::string bar = "[";
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(width - filled), '.');
  char number[8];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  bar += "] ";
  bar += number;
  if (!label.empty()) bar += " " + label;
  return bar;
}

void ProgressDisplay::Update(int percent, const std::string& label) {
  if (percent == last_percent_ && label == last_label_) return;
  last_percent_ = percent;
  last_label_ = label;
  if (terminal_) {
    std::fprintf(out_, "\r\x1b[K%s", RenderProgressBar(percent, label).c_str());
  } else {
    std::fprintf(out_, "%s: %d%%\n", label.c_str(), std::clamp(percent, 0, 100));
  }
  std::fflush(out_);
}

void ProgressDisplay::Finish(const std::string& label, const std::string& outcome) {
  if (terminal_) {
    std::fprintf(out_, "\r\x1b[K%s %s\n", RenderProgressBar(outcome == "done" ? 100 : std::max(last_percent_, 0), label).c_str(),
                 outcome.c_str());
  } else {
    std::fprintf(out_, "%s: %s\n", label.c_str(), outcome.c_str());
  }
  std::fflush(out_);
  last_percent_ = -1;
  last_label_.clear();
}

}  // namespace vadoctl
