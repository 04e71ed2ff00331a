#include "text_table.h"

#include <algorithm>

namespace vadoctl {
namespace {

// Characters of UTF-8 text: every byte that does not continue a sequence.
size_t Width(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// At most `width` characters, the last one an ellipsis when text was cut; never splits a
// multi-byte character.
std::string Fit(const std::string& text, size_t width) {
  if (Width(text) <= width) return text;
  size_t kept = 0;
  size_t end = 0;
  while (end < text.size()) {
    size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    if (kept + 1 >= width) break;
    ++kept;
    end = next;
  }
  return text.substr(0, end) + "\u2026";
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

TextTable::TextTable(std::vector<std::string> headings, size_t max_width)
    : headings_(std::move(headings)), max_width_(std::max<size_t>(max_width, 2)) {}

void TextTable::Add(std::vector<std::string> cells) {
  cells.resize(headings_.size());
  for (std::string& cell : cells) cell = Fit(OneLine(std::move(cell)), max_width_);
  rows_.push_back(std::move(cells));
}

std::string TextTable::Render() const {
  std::vector<size_t> widths;
  for (const std::string& heading : headings_) widths.push_back(Width(heading));
  for (const auto& row : rows_) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
  }
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text.append(widths[i] - Width(cells[i]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(headings_);
  for (const auto& row : rows_) line(row);
  return out;
}

}  // namespace vadoctl
