// Reads a vantor_config.log back into what happened: the configuration, the
// messages and other lines the program wrote, and the serial traffic as
// entries in order. Received bytes are logged raw, so where one received
// stream ends is decided from what the program can write next; where that
// cannot be decided the reader says so instead of guessing.
#ifndef VANTOR_TOOLS_REPLAY_LOG_READER_H
#define VANTOR_TOOLS_REPLAY_LOG_READER_H

#include <cstddef>
#include <string>
#include <vector>

namespace replay {

enum class EntryKind {
  Text,      // a line or piece written by the program itself
  Sent,      // " -> ": what the program sent
  Received,  // bytes the module sent, as it sent them
};

struct Entry {
  EntryKind kind = EntryKind::Text;
  // Where the entry's bytes start in the log and one past where they end.
  // For received bytes: the first of them (after " <- ", when there is one)
  // and the end of the last, before the line end that closes the stream.
  std::size_t begin = 0, end = 0;
  int line = 1;        // line of the log where it starts
  std::string bytes;   // Sent / Received: the bytes on the wire; Text: as logged
  bool block = false;  // received in one piece and logged twice (download)
  bool closed = false; // Received: the wait ended it with a line end
  bool marked = false; // Received: starts with " <- " (else it continues a
                       // stream left open by a wait that timed out)
};

enum class Phase { Start, Probe, RomLoader, Blob };

// How one probe of one port ended, as the log shows it.
enum class ProbeOutcome {
  Unfinished,   // the log ends during the probe
  NotStarted,   // message 15 with no port named: the probe never ran
  NotOpened,    // message 18: the port could not be opened
  NoAnswer,     // opened, nothing came back within the probe's time
  WrongAnswer,  // opened, the first byte back was not ':'
  TimedOut,     // message 15 from the main thread: the probe hung
  Found,        // ':' came back: CONNESSO!
};

// Where a probe that timed out stood when the main thread gave up on it.
enum class ProbeHang { None, Open, Write, Read };

struct Probe {
  std::string port;
  int baud = 0;
  ProbeOutcome outcome = ProbeOutcome::Unfinished;
  ProbeHang hungIn = ProbeHang::None;
  int answer = -1;        // WrongAnswer, Found: the byte that came back
  std::size_t entry = 0;  // its first entry
  int line = 0;
  // The port ends the probe Failed: it is not probed again in this search.
  bool failsPort() const {
    return outcome == ProbeOutcome::NotStarted ||
           outcome == ProbeOutcome::NotOpened || outcome == ProbeOutcome::TimedOut;
  }
};

// One baud rate: the operator's prompt, then a probe of every port that
// has not failed in this search, in list order, until one answers.
struct ProbePass {
  int baudIndex = 0;      // 0 to 3, carried over from search to search
  int baud = 0;
  std::size_t entry = 0;  // the prompt
  int line = 0;
  std::vector<Probe> probes;
};

// One search for the module: the port list is read afresh (or the
// configured port taken) and every candidate starts again untried.
struct PortSearch {
  enum Ending { Unfinished, Found, NotFound, NoPort };
  bool configured = false;
  std::vector<std::string> ports;  // the candidates, in list order
  std::vector<ProbePass> passes;
  Ending ending = Unfinished;
  std::size_t entry = 0;
  int line = 0;
};

struct FieldLog {
  std::string raw;  // the log as stored, CR LF line ends
  std::vector<std::string> configuration;  // the lines of the opening block
  std::size_t configurationEnd = 0;        // where the log goes on after it
  std::string fileNames[4];  // ROM loader, boot loader, kernel, ramdisk
  int configuredPort = 0;    // 0: auto-detect
  std::vector<std::string> listedPorts;  // "Porta trovata:" in order
  std::vector<Entry> entries;
  // The searches for the module, what each pass probed and how each probe
  // ended.
  std::vector<PortSearch> searches;
  // The log does not end where a run ends (message 39 or the last flash):
  // the run was killed or the PC stopped.
  bool cutShort = false;
  // Places where the reader could not follow the log.
  struct Problem {
    std::size_t offset;
    int line;
    std::string what;
  };
  std::vector<Problem> problems;

  int lineAt(std::size_t offset) const;
  // Where each line feed of raw is, for lineAt; filled by readLog.
  std::vector<std::size_t> lineFeeds;
  // The log in order, one piece a line: the program's own lines, what was
  // sent, what came back ("(nothing)" where nothing came back, and where a
  // wait timed out), for a maintainer to step through.
  std::string describeTraffic() const;
};

FieldLog readLog(const std::string& bytes);

// Fills log.searches from log.entries; called by readLog.
void readPortSearches(FieldLog& log);

// The baud rates of the passes, in order.
extern const int kPassBauds[4];

// Makes bytes printable on one line: control and non-ASCII bytes as \xHH,
// CR and LF as \r and \n.
std::string escapeBytes(const std::string& bytes);

}  // namespace replay

#endif
