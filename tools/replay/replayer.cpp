#include "replayer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/program.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim_devtree.h"
#include "module_disk.h"
#include "rom_loader_rebuild.h"
#include "serial/prompt_watcher.h"

namespace replay {
namespace {

const char kLogName[] = "vantor_config.log";
// The recorded run never kept the program waiting this long without a
// word in the log: a replay that does has gone its own way.
const std::int64_t kStallUs = 600LL * 1000000;
// After the first difference, how long the program may go on so that the
// verdict shows what it did instead.
const std::int64_t kAfterDifferenceUs = 2LL * 1000000;

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0 && s.size() >= prefix.size();
}

std::string readHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The rest of the line from an offset, for showing a difference.
std::string lineFrom(const std::string& s, std::size_t at) {
  if (at >= s.size()) return "(end of log)";
  std::size_t end = s.find('\n', at);
  end = end == std::string::npos ? s.size() : end + 1;
  end = std::min(end, at + 160);
  return escapeBytes(s.substr(at, end - at));
}

bool isDriveLetter(char c) { return c >= 'A' && c <= 'Z'; }

// A name from the log becomes a file of the simulated machine, whose
// folders are real ones: a hostile log must not reach outside them.
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name.find_first_of("\\/:") == std::string::npos &&
         name.find("..") == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool logShows(const FieldLog& log, const std::string& text) {
  return log.raw.find(text) != std::string::npos;
}

// An open this slow leaves the probe in its wait for the answer when the
// main thread gives up on it, 3 s after it started.
const std::int64_t kSlowOpenUs = 2500000;
// The longest file name the program keeps: one less than MAX_PATH.
const std::size_t kLongestFileName = 259;
const char kCopyCancelled[] = "The copy was cancelled or stopped";
const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The machine's port behind a listed name: the program opens a name that
// starts with a backslash as it is, any other under \\.\.
std::string devicePortName(const std::string& name) {
  return startsWith(name, "\\\\.\\") ? name.substr(4) : name;
}

// The names under which the program looked for ports, in every search.
std::vector<std::string> portNames(const FieldLog& log) {
  std::vector<std::string> names;
  if (log.configuredPort != 0) names.push_back("COM" + std::to_string(log.configuredPort));
  for (const PortSearch& search : log.searches)
    for (const std::string& name : search.ports) names.push_back(name);
  for (const std::string& name : log.listedPorts) names.push_back(name);
  return names;
}

struct Replayer {
  const FieldLog& log;
  sim::Machine& m;
  std::string got;       // the program's log so far
  std::size_t matched = 0;
  bool diverged = false;
  bool reproduced = false;  // a log cut short: all of it reproduced
  std::int64_t lastGrowthUs = 0;
  std::size_t nextEntry = 0;  // first entry not yet acted on
  ReplayedDisk moduleDisk;

  // Everything the log says was sent, and the entry each byte came from.
  std::string expectedSent;
  std::vector<std::size_t> sentEntry;
  std::size_t sentAt = 0;
  // Stretches of the log during which the boot loader's lines go out.
  std::vector<std::pair<std::size_t, std::size_t>> unlogged;
  bool sentDiffers = false;
  std::size_t sentDifferenceAt = 0;
  std::size_t sentDifferenceEntry = 0;
  std::string replayedSent;

  // The probe, and the search whose port list is read, at each entry.
  std::vector<const Probe*> probeAt;
  std::vector<const PortSearch*> listAt;

  Replayer(const FieldLog& l, sim::Machine& machine)
      : log(l),
        m(machine),
        probeAt(l.entries.size(), nullptr),
        listAt(l.entries.size(), nullptr) {
    for (const PortSearch& search : log.searches) {
      if (!search.configured && search.entry < listAt.size()) listAt[search.entry] = &search;
      for (const ProbePass& pass : search.passes)
        for (const Probe& probe : pass.probes)
          if (probe.entry < probeAt.size()) probeAt[probe.entry] = &probe;
    }
    for (std::size_t i = 0; i < log.entries.size(); ++i) {
      const Entry& e = log.entries[i];
      if (e.kind == EntryKind::Sent) {
        expectedSent += e.bytes;
        sentEntry.insert(sentEntry.end(), e.bytes.size(), i);
      } else if (e.kind == EntryKind::Text &&
                 e.bytes.find("Trasferimento blob in corso") != std::string::npos) {
        std::size_t until = log.raw.size();
        for (std::size_t j = i + 1; j < log.entries.size(); ++j)
          if (log.entries[j].kind == EntryKind::Sent) {
            until = log.entries[j].begin - 4;
            break;
          }
        unlogged.push_back({e.end, until});
      }
    }
  }

  // The write that ends an unlogged stretch is only known as such once the
  // program has logged it: the last one is held until then.
  std::string held;

  // A probe that hung: the port whose next call of that kind never
  // returns, until the main thread gives up on the probe and cancels it.
  sim::SimPort* hangsInWrite = nullptr;
  // The port the program talks to: the one probed last.
  sim::SimPort* current = nullptr;

  void hangUntilCancelled() {
    while (m.blockCurrent()) {
    }
  }

  void wrote(sim::SimPort* port, const std::uint8_t* data, std::size_t size) {
    readProgramLog();
    if (port == hangsInWrite) {
      // The write never returned, so nothing of it was logged.
      hangsInWrite = nullptr;
      hangUntilCancelled();
      return;
    }
    if (sentDiffers) return;
    for (const auto& stretch : unlogged)
      if (got.size() >= stretch.first && got.size() <= stretch.second) {
        held.assign(reinterpret_cast<const char*>(data), size);
        return;
      }
    releaseHeld();
    compare(data, size);
  }

  void releaseHeld() {
    if (held.empty()) return;
    std::string bytes;
    bytes.swap(held);
    compare(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }

  void compare(const std::uint8_t* data, std::size_t size) {
    if (sentDiffers) return;
    for (std::size_t i = 0; i < size; ++i, ++sentAt) {
      // Past the end of a log cut short nothing is known.
      if (sentAt >= expectedSent.size() && log.cutShort) return;
      if (sentAt < expectedSent.size() &&
          expectedSent[sentAt] == static_cast<char>(data[i]))
        continue;
      sentDiffers = true;
      sentDifferenceAt = sentAt;
      sentDifferenceEntry = sentAt < sentEntry.size() ? sentEntry[sentAt]
                                                      : log.entries.size();
      replayedSent.assign(reinterpret_cast<const char*>(data) + i, size - i);
      return;
    }
  }

  void readProgramLog() {
    std::string path = m.hostPath(kLogName);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return;
    std::size_t size = static_cast<std::size_t>(info.st_size);
    if (size < got.size()) {
      got.clear();
      matched = 0;
    }
    if (size == got.size()) return;
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(got.size()));
    std::string more(size - got.size(), '\0');
    in.read(&more[0], static_cast<std::streamsize>(more.size()));
    more.resize(static_cast<std::size_t>(in.gcount()));
    got += more;
    lastGrowthUs = m.nowUs();
    while (matched < got.size() && matched < log.raw.size() &&
           got[matched] == log.raw[matched])
      ++matched;
    // Past the end of a log cut short the program is on its own; anywhere
    // else a byte that is not the recorded one is a difference.
    if (matched < got.size() && !(log.cutShort && matched == log.raw.size()))
      diverged = true;
  }

  sim::SimPort* openPort() {
    for (auto& p : m.ports)
      if (p->isOpen) return p.get();
    return nullptr;
  }

  // The ports listed in the registry when the program reads the list.
  void listPorts(const PortSearch& search) {
    m.registry["hardware\\devicemap\\serialcomm"].clear();
    for (const std::string& name : search.ports) listPortName(m, name);
  }

  // The port of a probe about to start goes the way the log says it went.
  void shapeProbe(const Probe& probe) {
    if (probe.outcome == ProbeOutcome::NotStarted) {
      m.fail(sim::Call::CreateThread, 1);
      return;
    }
    sim::SimPort* port = m.port(devicePortName(probe.port));
    current = port;
    hangsInWrite = nullptr;
    if (port == nullptr) return;
    bool hung = probe.outcome == ProbeOutcome::TimedOut;
    port->createFails = probe.outcome == ProbeOutcome::NotOpened;
    port->openHangs = hung && probe.hungIn == ProbeHang::Open;
    if (hung && probe.hungIn == ProbeHang::Write) hangsInWrite = port;
    // A probe given up while it waited for the answer: its port was slow to
    // open, and the time ran out during the wait. (A look at the port that
    // never returned would hang the program as a whole: it looks under the
    // lock that the main thread takes to give up on a probe.)
    if (hung && probe.hungIn == ProbeHang::Read) {
      port->openHangs = true;
      m.at(m.nowUs() + kSlowOpenUs, [port](std::int64_t) { port->releaseHang(); });
    }
  }

  const Entry* entryAfter(std::size_t i) const {
    return i + 1 < log.entries.size() ? &log.entries[i + 1] : nullptr;
  }

  // What the module and the PC around the program do once the program's
  // log has reached entry i.
  bool act(std::size_t i) {
    const Entry& e = log.entries[i];
    std::size_t at = got.size();
    if (e.kind == EntryKind::Received) {
      // Received bytes are due once the program has written everything
      // before them (the block reads before it writes its " <- ").
      std::size_t from = e.marked ? e.begin - 4 : e.begin;
      if (at < from) return false;
      if (e.bytes.empty()) return true;
      sim::SimPort* port = current != nullptr && current->isOpen ? current : openPort();
      if (port == nullptr) return false;
      port->deliver(e.bytes, m.nowUs());
      return true;
    }
    if (at < e.begin) return false;
    const std::string& t = e.bytes;
    const Entry* next = entryAfter(i);
    if (probeAt[i] != nullptr) shapeProbe(*probeAt[i]);
    if (listAt[i] != nullptr) listPorts(*listAt[i]);
    if (startsWith(t, "Open com port at 115200: ")) {
      // The module's port opened again for blob, or not.
      bool opened = next != nullptr && startsWith(next->bytes, "port opened.");
      for (auto& p : m.ports) {
        if (current != nullptr && p.get() != current) continue;
        p->createFails = !opened;
        p->openHangs = false;
      }
    }
    if (t == "\r\n" && next != nullptr && startsWith(next->bytes, "Serial port failed")) {
      // The adapter went while the program waited: its next look at the
      // port fails.
      for (auto& p : m.ports)
        if (p->isOpen) p->gone = true;
    }
    if (startsWith(t, "Trovato disco ") && t.size() > 14 && isDriveLetter(t[14])) {
      char letter = t[14];
      moduleDisk.present(m, letter, ejectAfter(log, i));
      m.addDrive(letter);
    } else if (startsWith(t, "Disco ") && t.size() > 6 && isDriveLetter(t[6]) &&
               t.find(" rimosso") != std::string::npos) {
      // The operator took the disk away (an eject has taken the letter
      // already, in the machine).
      m.removeDrive(t[6]);
    } else if (startsWith(t, "Copia di ")) {
      // A copy that failed although the file was there (a disk that took
      // no writes) fails again; one cancelled halfway is cancelled again.
      std::string after = log.raw.substr(e.end);
      bool failed = t.find("non posso copiare il file") != std::string::npos &&
                    !startsWith(after, "The image file is empty");
      bool cancelled = failed && startsWith(after, kCopyCancelled);
      m.shellCopyResult = failed && !cancelled ? 0x7C : 0;
      m.shellCopyCancelNth = cancelled ? 1 : 0;
    }
    return true;
  }

  void step() {
    readProgramLog();
    std::int64_t now = m.nowUs();
    if (diverged) {
      m.horizonUs = std::min(m.horizonUs, now + kAfterDifferenceUs);
      return;
    }
    if (log.cutShort && matched >= log.raw.size()) {
      // Everything the log holds has been reproduced; past it the log
      // knows nothing.
      reproduced = true;
      m.horizonUs = now;
      return;
    }
    if (now - lastGrowthUs > kStallUs) {
      m.horizonUs = now;
      return;
    }
    while (nextEntry < log.entries.size() && act(nextEntry)) ++nextEntry;
  }
};

// The line of the copy of an image file, or "".
std::string copyLine(const FieldLog& log, const std::string& name, std::size_t* lineEnd) {
  std::size_t at = log.raw.find("Copia di " + name + " in ");
  *lineEnd = at == std::string::npos ? at : log.raw.find("\r\n", at);
  if (*lineEnd == std::string::npos) return std::string();
  return log.raw.substr(at, *lineEnd - at);
}

bool copyFollowedBy(const FieldLog& log, const std::string& name, const std::string& text) {
  std::size_t lineEnd;
  return !copyLine(log, name, &lineEnd).empty() &&
         startsWith(log.raw.substr(lineEnd + 2), text);
}

// The copy's line tells whether the file could not be copied at all; with
// no reason given after it, the file was most often missing. A copy that
// was cancelled had its file.
bool copyFailed(const FieldLog& log, const std::string& name) {
  std::size_t lineEnd;
  return copyLine(log, name, &lineEnd).find("non posso copiare il file") !=
             std::string::npos &&
         !copyFollowedBy(log, name, kCopyCancelled);
}

void prepareMachine(const FieldLog& log, const std::string& inputFolder,
                    sim::Machine& m) {
  // The removal of the disk tells the Windows family the run had: through
  // the configuration manager (2000, XP and later with a minor version) or
  // with the operator and the hot-plug applet.
  if (logShows(log, "Rimozione disco ")) {
    m.versionMajor = 6;
    m.versionMinor = 1;
  } else if (logShows(log, "Nella finestra 'Scollegamento")) {
    m.versionMajor = 6;
    m.versionMinor = 0;
  }
  m.horizonUs = 3600LL * 1000000;

  // A name as long as the program keeps one, refused right away, was cut
  // from a longer one.
  std::string names[4];
  for (int i = 0; i < 4; ++i) {
    names[i] = log.fileNames[i];
    if (names[i].size() == kLongestFileName &&
        startsWith(log.raw.substr(log.configurationEnd),
                   "Non posso aprire il file " + names[i] + "\r\n"))
      names[i] += '~';
  }
  std::string ini = "[File Name]\r\nblob_boot=" + names[0] + "\r\nblob=" + names[1] +
                    "\r\nkernel=" + names[2] + "\r\nramdisk=" + names[3] +
                    "\r\n[COM]\r\nport=" + std::to_string(log.configuredPort) +
                    "\r\n";
  m.writeFile("vantor_config.ini", ini);
  // No path to the configuration file: the folder's path was too long.
  if (startsWith(log.raw, "Non posso aprire il file vantor_config.ini\r\n"))
    m.fail(sim::Call::GetCurrentDirectoryA, 1);

  // Every port the program looked for is there, until the log shows
  // otherwise; the registry lists each search's ports as it reads them.
  for (const std::string& name : portNames(log))
    if (m.port(devicePortName(name)) == nullptr) m.addPort(devicePortName(name));
  if (log.configuredPort == 0) m.addKey(kSerialComm);

  // The input files: the real ones where they are given, else stand-ins.
  for (int i = 0; i < 4; ++i) {
    const std::string& name = log.fileNames[i];
    if (!isPlainFileName(name)) continue;
    std::string missing = "Non posso aprire il file " + name + "\r\n";
    // A file the program could not open was not there, given or not.
    if (logShows(log, missing)) continue;
    // An image the log shows empty or not copied was so, given or not.
    if (i >= 2 && copyFollowedBy(log, name, "The image file is empty")) {
      m.writeFile(name, std::string());
      continue;
    }
    if (i >= 2 && copyFailed(log, name)) continue;
    if (!inputFolder.empty()) {
      std::ifstream in(inputFolder + "/" + name, std::ios::binary);
      if (in) m.writeFile(name, readHostFile(inputFolder + "/" + name));
      continue;
    }
    if (i == 0) {
      m.writeFile(name, rebuildRomLoader(log));
    } else if (i == 1) {
      // One line per block the module answered, and one more: the program
      // drains what came after every line it sent.
      std::size_t blocks = 1;
      for (const Entry& e : log.entries) blocks += e.block ? 1 : 0;
      std::string uue = "begin 644 blob\n";
      for (std::size_t n = 0; n < blocks; ++n)
        uue += "M" + std::string(60, '!') + "\n";
      uue += "`\nend\n";
      m.writeFile(name, uue);
    } else {
      m.writeFile(name, std::string(4096, '\x5A'));
    }
  }
}

}  // namespace

ReplayResult replayLog(const FieldLog& log, const std::string& inputFolder) {
  ReplayResult result;
  sim::resetMachine();
  promptWatcher.clear();
  sim::Machine& m = sim::machine();
  prepareMachine(log, inputFolder, m);
  m.onKeyWanted = [&m] { m.keys.push_back('\n'); };

  Replayer replayer(log, m);
  m.onCall = [&replayer] { replayer.step(); };
  for (auto& port : m.ports) {
    sim::SimPort* p = port.get();
    port->onWrite = [&replayer, p](std::int64_t, const std::uint8_t* data,
                                   std::size_t size) { replayer.wrote(p, data, size); };
  }
  try {
    result.exitStatus = sim::runProcess(programMain);
  } catch (sim::SimulationStopped& stop) {
    result.stopped = true;
    result.stopReason = stop.reason;
    // The stopped program never closed its files nor ran its exit handlers.
    m.closeFilesLeftOpen();
    auto handlers = m.exitHandlers;
    m.exitHandlers.clear();
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) (*it)();
  }
  m.onCall = nullptr;
  m.endThreads();
  replayer.releaseHeld();
  if (replayer.reproduced) {
    // What the program did past the end of a log cut short is its own.
    result.stopped = true;
    result.stopReason = "the recorded log ends here";
  }
  result.console = m.console;
  result.replayedLog = m.readFile(kLogName);

  const std::string& a = log.raw;
  const std::string& b = result.replayedLog;
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  bool whole = a == b;
  bool prefix = log.cutShort && at == a.size();
  result.sentDiffers = replayer.sentDiffers;
  if (replayer.sentDiffers) {
    std::size_t i = replayer.sentDifferenceEntry;
    result.sentDifferenceAt = replayer.sentDifferenceAt;
    result.sentDifferenceLine =
        i < log.entries.size() ? log.entries[i].line : log.lineAt(log.raw.size());
    result.recordedSent = i < log.entries.size()
                              ? escapeBytes(log.entries[i].bytes)
                              : std::string("(nothing more was sent)");
    result.replayedSent = escapeBytes(replayer.replayedSent.substr(0, 80));
  }
  result.same = (whole || prefix) && !result.sentDiffers;
  result.differenceAt = at;
  result.differenceLine = log.lineAt(at);
  result.recordedText = lineFrom(a, at);
  result.replayedText = lineFrom(b, at);

  std::ostringstream v;
  if (result.sentDiffers && (whole || prefix)) {
    v << "DIFFERENT: the log is the same, but what the program sent is not.";
  } else if (prefix) {
    v << "SAME AS FAR AS IT GOES: the log was cut short at byte " << a.size()
      << " (line " << log.lineAt(a.size()) << "); the replayed run produced all "
      << "of it, byte for byte, and was stopped there.";
  } else if (whole) {
    v << "SAME: the replayed run produced the same log, byte for byte ("
      << a.size() << " bytes).";
  } else {
    v << "DIFFERENT: first difference at byte " << at << ", line "
      << result.differenceLine << " of the recorded log.\n"
      << "  recorded: " << result.recordedText << "\n"
      << "  replayed: " << result.replayedText;
    if (result.stopped) v << "\n  (replay stopped: " << result.stopReason << ")";
  }
  if (result.sentDiffers)
    v << "\n  sent: first difference at byte " << result.sentDifferenceAt
      << " of everything sent, the send of line " << result.sentDifferenceLine
      << " of the recorded log.\n  recorded send: " << result.recordedSent
      << "\n  replayed write: " << result.replayedSent;
  for (const FieldLog::Problem& p : log.problems)
    v << "\n  note: line " << p.line << ": " << p.what;
  result.verdict = v.str();
  return result;
}

}  // namespace replay
