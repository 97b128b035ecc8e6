#include "guide_rows.h"

#include <sstream>

namespace replay {

// Written by the build from docs/guida-operatore.md.
extern const char kOperatorGuideText[];
extern const unsigned long kOperatorGuideSize;

namespace {

std::vector<std::string> cellsOf(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  bool code = false;
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '`') code = !code;
    if (row[i] == '|' && !code) {
      std::size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
      cells.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
      cell.clear();
    } else {
      cell.push_back(row[i]);
    }
  }
  return cells;
}

}  // namespace

std::vector<GuideTable> guideTables(const std::string& markdown) {
  std::vector<GuideTable> tables;
  std::istringstream in(markdown);
  bool inBlock = false, inTable = false;
  for (std::string text; std::getline(in, text);) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.compare(0, 3, "```") == 0) inBlock = !inBlock;
    bool row = !inBlock && !text.empty() && text[0] == '|';
    if (row && !inTable) tables.push_back({cellsOf(text), {}});
    else if (row && text.compare(0, 4, "|---") != 0) tables.back().rows.push_back(cellsOf(text));
    inTable = row;
  }
  return tables;
}

const std::string& operatorGuide() {
  static const std::string guide(kOperatorGuideText, kOperatorGuideSize);
  return guide;
}

const std::vector<GuideTable>& operatorGuideTables() {
  static const std::vector<GuideTable> tables = guideTables(operatorGuide());
  return tables;
}

std::vector<const std::vector<std::string>*> guideRows(const std::vector<GuideTable>& tables,
                                                       const std::string& table,
                                                       const std::string& first) {
  std::vector<const std::vector<std::string>*> rows;
  for (const GuideTable& t : tables) {
    if (t.header.empty() || t.header[0] != table) continue;
    for (const auto& row : t.rows)
      if (!row.empty() && row[0] == first) rows.push_back(&row);
  }
  return rows;
}

}  // namespace replay
