// A plain-text table for a terminal: a header row, one row per record, columns as wide
// as their widest cell (cut at a limit), counted in characters rather than bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vadoctl {

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> headings, size_t max_width = 40);
  // Missing cells are blank, extra ones are dropped; line breaks become spaces.
  void Add(std::vector<std::string> cells);
  size_t rows() const { return rows_.size(); }
  std::string Render() const;

 private:
  std::vector<std::string> headings_;
  std::vector<std::vector<std::string>> rows_;
  size_t max_width_;
};

}  // namespace vadoctl
