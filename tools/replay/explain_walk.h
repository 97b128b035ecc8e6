// The walk through a log's entries, step by step as the program takes
// them: each line of the program's own moves the run on, and one that the
// program cannot write at that point (or at all) ends the reading there.
// Internal to the explanation: explain.cpp decides the ending from where
// the walk stopped.
#ifndef VANTOR_TOOLS_REPLAY_EXPLAIN_WALK_H
#define VANTOR_TOOLS_REPLAY_EXPLAIN_WALK_H

#include <string>

#include "explain.h"
#include "program_lines.h"

namespace replay {

std::string withoutLineEnd(const std::string& text);

struct Walk {
  const FieldLog& log;
  Explanation& x;
  Step step = Step::Start;
  Upload* upload = nullptr;  // the upload of the pass under way
  // What the ROM loader upload waits for after the last thing it sent.
  enum class Await { Line, Record, ReadBack, Echo } await = Await::Line;
  std::string received;          // the end of what came back since the last send
  std::size_t lastProbe = 0;     // "Connessione a" of the last probe
  std::size_t anchor = 0;        // where the exchange that failed starts
  bool hasAnchor = false;
  std::size_t usbCommand = 0, flashCommand = 0, downloadCommand = 0, openingEntry = 0;
  bool notCompleted = false, adapterGone = false, finished = false;
  bool downloading = false;      // blob answered "download blob"
  int noPortMessageLine = 0;

  Walk(const FieldLog& l, Explanation& e) : log(l), x(e) {}

  // Walks every entry; false when a line ends the reading (x says where).
  bool run();

  // The image step under way, or nullptr; its phase: 0 USB disk, 1 copy,
  // 2 removal, 3 flash, or -1.
  ImageStep* image();
  int imagePhase() const;
  void toImagePhase(int phase);
  // A new pass or search begins: the upload before it, if any, ended.
  void closeUpload();

 private:
  bool fail(const Entry& e, const std::string& why);
  bool misplaced(const Entry& e);
  void cause(const Entry& e, int message);
  bool text(std::size_t i);
  bool line(LineId id, std::size_t i, const std::string& t);
  void sent(std::size_t i);
  void receivedBytes(const Entry& e);
};

}  // namespace replay

#endif
