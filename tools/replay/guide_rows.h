// The operator's guide as the tool carries it (embedded at build time, so
// that the tool quotes the guide it was built with), and its tables: a row
// is named by the exact text of its first cell.
#ifndef VANTOR_TOOLS_REPLAY_GUIDE_ROWS_H
#define VANTOR_TOOLS_REPLAY_GUIDE_ROWS_H

#include <string>
#include <vector>

namespace replay {

struct GuideTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

// The tables of a guide in Markdown: rows of cells split at the bars
// outside code spans, blanks around each cell dropped.
std::vector<GuideTable> guideTables(const std::string& markdown);

// The guide embedded in the tool, and its tables.
const std::string& operatorGuide();
const std::vector<GuideTable>& operatorGuideTables();

// The rows whose first cell is `first` in the table whose first header
// cell is `table`.
std::vector<const std::vector<std::string>*> guideRows(const std::vector<GuideTable>& tables,
                                                       const std::string& table,
                                                       const std::string& first);

}  // namespace replay

#endif
