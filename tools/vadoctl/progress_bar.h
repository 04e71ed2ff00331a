// Progress of long app commands: a bar redrawn in place on a terminal, plain lines
// otherwise (logs, pipes).
#pragma once

#include <cstdio>
#include <string>

namespace vadoctl {

// "[##########..........]  50% label", `width` cells between the brackets; the percentage
// is clamped to 0..100.
std::string RenderProgressBar(int percent, const std::string& label, int width = 30);

class ProgressDisplay {
 public:
  // `terminal`: redraw one line with a carriage return; else print a line per change.
  ProgressDisplay(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}
  void Update(int percent, const std::string& label);
  // Ends the current item's line with a final word ("done", "failed").
  void Finish(const std::string& label, const std::string& outcome);

 private:
  std::FILE* out_;
  bool terminal_;
  int last_percent_ = -1;
  std::string last_label_;
};

}  // namespace vadoctl
