// vantor_replay path/to/vantor_config.log [folder with the input files]
//
// Runs the program on the simulated machine against a module that answers
// what the log recorded, prints the console as the operator saw it, and
// ends with the verdict: the same log byte for byte, or the first
// difference. Exit status 0 for the same log, 1 for a difference, 2 when
// the log cannot be read.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "log_reader.h"
#include "replayer.h"

namespace {

// The console's OEM code page 850 shown on a UTF-8 terminal: the letters
// of the Italian messages, anything else as it is.
std::string forTerminal(const std::string& console) {
  std::string out;
  for (unsigned char c : console) {
    switch (c) {
      case 0x85: out += "\xC3\xA0"; break;  // a grave
      case 0x8A: out += "\xC3\xA8"; break;  // e grave
      case 0x82: out += "\xC3\xA9"; break;  // e acute
      case 0x8D: out += "\xC3\xAC"; break;  // i grave
      case 0x95: out += "\xC3\xB2"; break;  // o grave
      case 0x97: out += "\xC3\xB9"; break;  // u grave
      default: out += static_cast<char>(c);
    }
  }
  return out;
}

void usage() {
  std::fprintf(stderr,
               "usage: vantor_replay [--quiet] [--traffic] LOG [INPUT_FOLDER]\n"
               "  --quiet    do not print the console\n"
               "  --traffic  print the exchanges read from the log first\n"
               "  --keep FILE  write the replayed run's log to FILE\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false, traffic = false;
  std::string logPath, folder, keep;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quiet") == 0) quiet = true;
    else if (std::strcmp(argv[i], "--traffic") == 0) traffic = true;
    else if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc) keep = argv[++i];
    else if (logPath.empty()) logPath = argv[i];
    else if (folder.empty()) folder = argv[i];
    else {
      usage();
      return 2;
    }
  }
  if (logPath.empty()) {
    usage();
    return 2;
  }
  std::ifstream in(logPath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vantor_replay: cannot read %s\n", logPath.c_str());
    return 2;
  }
  std::ostringstream content;
  content << in.rdbuf();
  replay::FieldLog log = replay::readLog(content.str());
  if (traffic) {
    std::fputs("---- traffic read from the log ----\n", stdout);
    std::fputs(log.describeTraffic().c_str(), stdout);
  }
  replay::ReplayResult result = replay::replayLog(log, folder);
  if (!keep.empty()) {
    std::ofstream out(keep, std::ios::binary);
    out << result.replayedLog;
  }
  if (!quiet) {
    std::fputs("---- console of the replayed run ----\n", stdout);
    std::fputs(forTerminal(result.console).c_str(), stdout);
    std::fputs("\n", stdout);
  }
  std::fputs("---- verdict ----\n", stdout);
  if (result.stopped)
    std::printf("the replay stopped the program (%s)\n", result.stopReason.c_str());
  else
    std::printf("exit status %d\n", result.exitStatus);
  std::printf("%s\n", result.verdict.c_str());
  return result.same ? 0 : 1;
}
