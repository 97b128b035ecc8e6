// Replays a field log against the program on the simulated machine: the
// module's side answers what the log says it answered, at the moment the
// program's own log reaches the place where the answer was recorded, and
// the program's log is compared with the recorded one as it is written.
#ifndef VANTOR_TOOLS_REPLAY_REPLAYER_H
#define VANTOR_TOOLS_REPLAY_REPLAYER_H

#include <cstddef>
#include <string>

#include "log_reader.h"

namespace replay {

struct ReplayResult {
  int exitStatus = 0;
  bool stopped = false;      // the simulation was stopped, not the program
  std::string stopReason;
  std::string console;       // as the operator saw it (OEM code page)
  std::string replayedLog;   // the program's log of the replay
  // Same log byte for byte; for a log cut short, the replay's log starts
  // with all of it.
  bool same = false;
  std::size_t differenceAt = 0;  // first differing byte of the log
  int differenceLine = 0;        // its line in the recorded log
  std::string recordedText;      // the recorded log from there on, a line
  std::string replayedText;      // the replay's log from there on, a line
  // The first write to the port that differs from what the log says was
  // sent (the boot loader's lines, which are not logged, are not compared).
  bool sentDiffers = false;
  std::size_t sentDifferenceAt = 0;  // byte of everything sent
  int sentDifferenceLine = 0;        // line of the recorded send
  std::string recordedSent, replayedSent;
  std::string verdict;           // one paragraph for the maintainer
};

// inputFolder: where the four input files are, or "" to make stand-ins.
ReplayResult replayLog(const FieldLog& log, const std::string& inputFolder);

}  // namespace replay

#endif
