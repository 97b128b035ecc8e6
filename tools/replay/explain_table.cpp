// Many logs at once: one CSV row per log (columns and values fixed, other
// tools read them), and the summary that puts the most common ending first.
#include <algorithm>
#include <map>
#include <tuple>

#include "explain.h"

namespace replay {
namespace {

std::string csvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string flashedList(int count) {
  if (count <= 0) return "none";
  std::string out;
  for (int i = 0; i < count && i < 3; ++i) out += std::string(i > 0 ? "+" : "") + imageId(i);
  return out;
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

const char kCsvHeader[] =
    "file,outcome,stopped_at,message,passes,port,baud,flashed,interrupted,detail";

std::string unreadableDetail(const Explanation& x) {
  // Line 0: the file itself could not be had.
  if (x.errorLine <= 0) return "The path " + x.error + ".";
  return "Not a log of vantor_config: " + x.error + " (line " + std::to_string(x.errorLine) +
         ").";
}

std::string csvRow(const std::string& file, const Explanation& x) {
  std::vector<std::string> fields;
  if (x.outcome == Outcome::Unreadable) {
    fields = {file, outcomeId(x.outcome), "", "", "", "", "", "", "", unreadableDetail(x)};
  } else {
    fields = {file,
              outcomeId(x.outcome),
              stepId(x.stoppedAt),
              x.message >= 0 ? std::to_string(x.message) : "",
              std::to_string(x.passes),
              shownText(x.port),
              x.baud > 0 ? std::to_string(x.baud) : "",
              flashedList(x.flashedCount),
              imageId(x.interrupted),
              x.detail};
  }
  std::string row;
  for (std::size_t i = 0; i < fields.size(); ++i) row += (i > 0 ? "," : "") + csvField(fields[i]);
  return row;
}

std::string summaryTable(const std::vector<ExplainedFile>& runs) {
  using Key = std::tuple<int, int, int, int>;  // outcome, step, message, ending
  struct Group {
    Key key;
    std::vector<std::string> files;
    std::map<std::string, int> places;  // "PORT at BAUD" -> runs
    const Explanation* first = nullptr;
  };
  std::map<Key, Group> groups;
  for (const ExplainedFile& run : runs) {
    const Explanation& x = run.explanation;
    bool unreadable = x.outcome == Outcome::Unreadable;
    Key key{static_cast<int>(x.outcome), unreadable ? -1 : static_cast<int>(x.stoppedAt),
            unreadable ? -1 : x.message, unreadable ? -1 : static_cast<int>(x.ending)};
    Group& g = groups[key];
    g.key = key;
    g.files.push_back(run.file);
    if (g.first == nullptr) g.first = &x;
    if (!unreadable && !x.port.empty())
      ++g.places[shownText(x.port) + " at " + std::to_string(x.baud)];
  }
  std::vector<const Group*> order;
  for (const auto& g : groups) order.push_back(&g.second);
  std::stable_sort(order.begin(), order.end(), [](const Group* a, const Group* b) {
    if (a->files.size() != b->files.size()) return a->files.size() > b->files.size();
    return std::get<1>(a->key) < std::get<1>(b->key);
  });

  std::string out = "Runs by where they stopped, the most common first (" +
                    std::to_string(runs.size()) + " logs)\n\n";
  out += padded("runs", 6) + padded("outcome", 12) + padded("stopped_at", 22) +
         padded("message", 9) + padded("ending", 46) + "module answered last on\n";
  for (const Group* g : order) {
    const Explanation& x = *g->first;
    bool unreadable = x.outcome == Outcome::Unreadable;
    const EndingInfo* info = endingInfo(x.ending);
    std::string places;
    for (const auto& p : g->places)
      places += (places.empty() ? "" : ", ") + p.first + " (" + std::to_string(p.second) + ")";
    out += padded(std::to_string(g->files.size()), 6) + padded(outcomeId(x.outcome), 12) +
           padded(unreadable ? "-" : stepId(x.stoppedAt), 22) +
           padded(x.message >= 0 && !unreadable ? std::to_string(x.message) : "-", 9) +
           padded(unreadable              ? "not a log of vantor_config"
                  : x.ending == Ending::Complete ? "complete"
                  : info != nullptr       ? info->label
                                          : "",
                  46) +
           (places.empty() ? "-" : places) + "\n";
    std::string files;
    for (const std::string& f : g->files) files += (files.empty() ? "" : ", ") + f;
    out += "      files: " + files + "\n";
  }
  return out;
}

}  // namespace replay
