// One whole run of a drawn setting, and the invariants checked after it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "app/catalogue.h"
#include "app/program.h"
#include "platform/sim/machine.h"
#include "serial/prompt_watcher.h"
#include "tools/campaign/campaign.h"
#include "tools/device_model/sim/whole_run.h"

namespace campaign {
namespace {

const std::string kAbort = "Procedura non completata: riprovare dall'inizio\n";
const std::string kDone =
    "Configurazione terminata!\nSPEGNI il robot e scollega i cavi USB e "
    "seriale\n\nPremere invio per terminare!\n";
const char kLogName[] = "vantor_config.log";
const char kFallbackLog[] = "C:\\WINDOWS\\temp\\vantor_config.log";
const std::int64_t kSecond = 1000000;
// The start of message 34, which asks for the disk's removal.
const char kAppletRequest[] = "Nella finestra 'Scollegamento";
const std::int64_t kOperatorLooksUs = 500000;

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string lfLines(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

std::string shown(const std::string& bytes, std::size_t most = 60) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > most) out += "...";
  return out;
}

// "name" or "name#N", as the device model reads its own triggers.
bool strikes(const std::string& trigger, const std::string& name, int count) {
  if (trigger.empty()) return false;
  std::size_t hash = trigger.find('#');
  if (hash == std::string::npos) return trigger == name && count == 1;
  return trigger.compare(0, hash, name) == 0 && hash == name.size() &&
         std::atoi(trigger.c_str() + hash + 1) == count;
}

// The ROM loader file as an operator's copy may look: comment lines,
// comments after records, blank lines, CR LF line ends. The records, and
// so what the module expects, stay the same.
std::string decorate(const std::string& text, const Setting& s) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::mt19937 engine(s.inputSeed);
  const std::vector<std::string> comments = {
      "; loader for the module", "# checked", "", "-- map --", "Loader build 12",
      "   indented note"};
  for (int i = 0; i < s.trailingComments && lines.size() > 3; ++i) {
    // Ordinary records only, and short enough to be read as one line.
    std::size_t at = 1 + engine() % (lines.size() - 3);
    if (lines[at].size() < 60) lines[at] += " ; ok";
  }
  for (int i = 0; i < s.commentLines; ++i) {
    std::size_t at = engine() % lines.size();
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                 comments[engine() % comments.size()]);
  }
  std::string out;
  for (const std::string& line : lines) out += line + (s.crlf ? "\r\n" : "\n");
  return out;
}

// What fgets with an 80-byte buffer hands the boot loader stage: pieces
// up to a line feed, at most 79 bytes.
std::vector<std::string> fgetsPieces(const std::string& text) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : text) {
    piece += c;
    if (c == '\n' || piece.size() == 79) {
      pieces.push_back(piece);
      piece.clear();
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

std::map<std::string, std::string> folderContents(const std::string& root,
                                                  const std::string& skip) {
  std::map<std::string, std::string> files;
  const std::string prefix = !root.empty() && root.back() == '/' ? root : root + "/";
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator();
       it.increment(error)) {
    const auto& entry = *it;
    // The iterator's paths are the root's with the rest appended; cutting
    // the root off gives what std::filesystem::relative would, without a
    // realpath of every entry.
    std::string relative = entry.path().string().substr(prefix.size());
    if (relative == skip) continue;
    if (!entry.is_regular_file()) {
      files[relative + "/"] = "";
      continue;
    }
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    files[relative] = content.str();
  }
  return files;
}

std::string readHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// True while this process holds the file open.
bool heldOpen(const std::string& path) {
  std::error_code error;
  std::filesystem::path wanted = std::filesystem::weakly_canonical(path, error);
  if (error) return false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code linkError;
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), linkError);
    if (!linkError && target == wanted) return true;
  }
  return false;
}

// One exchange on a serial line, with where the log stood when it happened.
struct Exchange {
  bool sent;
  int port;
  std::string bytes;
  std::int64_t logAt;  // -1: no log yet
};

struct Watch {
  sim::Machine* machine = nullptr;
  devmodel::Module* module = nullptr;
  sim::SimPort* modulePort = nullptr;
  std::vector<Exchange> exchanges;
  std::vector<std::string> violations;
  std::map<std::string, int> eventCounts;
  bool silenced = false;
  bool unpluggedEarly = false;  // before the last image was flashed
  std::int64_t unpluggedAt = -1;
  std::string lastImageCopied;

  // The log, held open once it exists: its size is asked at every byte on
  // the line, and a status query on an open file is far cheaper than one
  // that looks the path up again.
  int logFd = -1;

  Watch() = default;
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() { closeLog(); }
  // Before the check that the program closed its log, which looks at every
  // file the process holds.
  void closeLog() {
    if (logFd >= 0) ::close(logFd);
    logFd = -1;
  }

  std::int64_t logSize() {
    if (logFd < 0) {
      for (const char* name : {kLogName, kFallbackLog}) {
        std::string host = machine->hostPath(name);
        if (std::filesystem::exists(host)) {
          logFd = ::open(host.c_str(), O_RDONLY);
          break;
        }
      }
      if (logFd < 0) return -1;
    }
    struct stat info;
    return ::fstat(logFd, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
  }
  void exchange(bool sent, int port, const std::uint8_t* data, std::size_t size) {
    exchanges.push_back({sent, port, std::string(data, data + size), logSize()});
  }
  void unplug(std::int64_t now) {
    if (modulePort->gone) return;
    modulePort->gone = true;
    unpluggedAt = now;
    if (module->eventCount("flashed-ramdisk") == 0) unpluggedEarly = true;
  }
};

// The module's disk holds the image being transferred and nothing else.
void checkDisk(Watch& watch, const std::string& folder) {
  for (const auto& file : folderContents(folder, "")) {
    if (file.first != "zImage" && file.first != "cramfs.img")
      watch.violations.push_back("the module's disk got \"" + shown(file.first) + "\"");
  }
}

void attachOtherPort(Watch& watch, sim::SimPort& port, OtherPort kind, int index) {
  Watch* w = &watch;
  sim::SimPort* p = &port;
  switch (kind) {
    case OtherPort::Silent:
      break;
    case OtherPort::OpenFails:
      port.createFails = true;
      break;
    case OtherPort::OpenHangs:
      port.openHangs = true;
      break;
    case OtherPort::Noisy:
      break;
  }
  port.onWrite = [w, p, kind, index](std::int64_t now, const std::uint8_t* data,
                                     std::size_t size) {
    w->exchange(true, index, data, size);
    std::string bytes(data, data + size);
    if (bytes.find_first_not_of('a') != std::string::npos)
      w->violations.push_back("sent \"" + shown(bytes) + "\" to " + p->name +
                              ", which is not the module's port");
    // Discovery may come back with a new pass, but never once blob has
    // been given its first command.
    if (w->module->eventCount("command") > 0)
      w->violations.push_back("sent to " + p->name + " after the module was found");
    if (kind == OtherPort::Noisy) p->deliver("?\xfe", now + 2000);
  };
  port.onRead = [w, index](std::int64_t, const std::uint8_t* data, std::size_t size) {
    w->exchange(false, index, data, size);
  };
}

// Every byte sent and received stands in the log, in order: each exchange
// is logged before the next one happens, in the traffic notation.
void checkTraffic(Watch& watch, const std::string& rawLog, const std::string& bootLoaderFile) {
  std::vector<std::string> pieces = fgetsPieces(bootLoaderFile);
  std::size_t piece = 0;
  const std::vector<Exchange>& all = watch.exchanges;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Exchange& e = all[i];
    if (e.logAt < 0) continue;
    std::int64_t end = static_cast<std::int64_t>(rawLog.size());
    for (std::size_t j = i + 1; j < all.size(); ++j)
      if (all[j].logAt >= 0) {
        end = all[j].logAt;
        break;
      }
    if (e.logAt > end || end > static_cast<std::int64_t>(rawLog.size())) {
      watch.violations.push_back("the log shrank during the run");
      return;
    }
    std::string segment = rawLog.substr(static_cast<std::size_t>(e.logAt),
                                        static_cast<std::size_t>(end - e.logAt));
    if (e.sent) {
      // The boot loader's lines go out unlogged, by design.
      if (piece < pieces.size() && e.bytes == pieces[piece]) {
        ++piece;
        continue;
      }
      std::string want = crlf(" -> " + (e.bytes == "\n" ? std::string() : e.bytes) + "\n");
      if (segment.compare(0, want.size(), want) != 0) {
        watch.violations.push_back("sent \"" + shown(e.bytes) + "\" but the log has \"" +
                                   shown(segment) + "\" (exchange " + std::to_string(i) + ")");
        return;
      }
    } else {
      std::string want = crlf(e.bytes);
      if (segment.compare(0, want.size(), want) != 0 &&
          segment.compare(0, want.size() + 4, " <- " + want) != 0) {
        watch.violations.push_back("received \"" + shown(e.bytes) + "\" but the log has \"" +
                                   shown(segment) + "\" (exchange " + std::to_string(i) + ")");
        return;
      }
    }
  }
}

bool flashedIntact(const devmodel::Verdict& verdict) {
  if (!verdict.complete()) return false;
  for (const std::string& problem : verdict.problems) {
    for (const char* bad : {"differs", "never arrived", "memory at", "not in the ROM loader",
                            "without the image"})
      if (problem.find(bad) != std::string::npos) return false;
  }
  return true;
}

}  // namespace

std::int64_t timeBoundUs(const Setting& s) {
  const devmodel::ModuleConfig& m = s.module;
  std::int64_t ports = static_cast<std::int64_t>(s.portNumbers.size());
  std::int64_t lines = s.records + 3 + s.commentLines;
  // Five attempts a record, each at most a few limited waits.
  std::int64_t upload = lines * 5 * 4 * kSecond;
  std::int64_t pass = ports * 5 * kSecond + upload + 15 * kSecond;
  std::int64_t bootLines = static_cast<std::int64_t>(s.bootLoaderSize) / 45 + 4;
  std::int64_t boot = bootLines * 50000 + 20 * kSecond + m.flashBlobDelayUs +
                      m.powerCycleDelayUs + m.blobStartDelayUs;
  std::int64_t image = 4 * 62 * kSecond + s.diskDelayUs + 25 * kSecond + s.ejectLagUs +
                       s.appletRemovalUs + std::max(m.flashKernelDelayUs, m.flashRamdiskDelayUs);
  // A flood is read byte by byte, at worst at 9600 baud.
  std::int64_t flood = static_cast<std::int64_t>(m.floodBytes) * 1100;
  std::int64_t giveUp = m.silentAfterEvent.empty() ? 0 : s.giveUpUs;
  return 2 * (4 * pass + boot + 2 * image + flood + giveUp) + 60 * kSecond;
}

Outcome run(const Setting& s) {
  Outcome out;
  out.boundUs = timeBoundUs(s);

  // ---- input files: the ROM loader and the boot loader as an operator's
  // copy may hold them
  devmodel::InputSizes sizes;
  sizes.records = s.records;
  sizes.bootLoader = s.bootLoaderSize;
  sizes.kernel = s.kernelSize;
  sizes.ramdisk = s.ramdiskSize;
  WholeRun world(devmodel::makeInputs(sizes, s.inputSeed));
  const devmodel::InputSet& inputs = world.inputs;
  promptWatcher.capture = nullptr;
  sim::Machine& m = sim::machine();
  m.versionMajor = s.versionMajor;
  m.versionMinor = s.versionMinor;
  m.platformId = s.platformId;
  m.horizonUs = out.boundUs;
  for (char drive : s.otherDrives) m.addDrive(drive);
  const std::string bootLoaderFile =
      s.crlf ? crlf(inputs.bootLoaderUue) : inputs.bootLoaderUue;
  m.writeFile("blob-bootloader.txt", decorate(inputs.romLoaderText, s));
  m.writeFile("blob.uue", bootLoaderFile);
  if (s.configured)
    m.writeFile("vantor_config.ini",
                "[COM]\r\nport=" + std::to_string(s.configuredNumber) + "\r\n");
  const std::string folder = m.hostPath(m.currentDirectory);
  const auto inputsBefore = folderContents(folder, kLogName);

  // ---- the module and the ports
  world.config = expecting(inputs, s.module);
  world.diskLetter = s.diskLetter;
  world.diskDelayUs = s.diskDelayUs;
  Watch watch;
  Watch* w = &watch;
  watch.machine = &m;
  for (std::size_t i = 0; i < s.portNumbers.size(); ++i) {
    std::string name = "COM" + std::to_string(s.portNumbers[i]);
    int index = static_cast<int>(i);
    bool isModule = index == s.modulePort;
    sim::SimPort& port =
        isModule && !s.moduleListed ? m.addPort(name) : listPort(m, name);
    if (!isModule) {
      attachOtherPort(watch, port, s.others[i], index);
      continue;
    }
    watch.modulePort = &port;
    watch.module = &world.plug(port);
    auto toModule = port.onWrite;
    port.onWrite = [w, toModule, index](std::int64_t now, const std::uint8_t* data,
                                        std::size_t size) {
      w->exchange(true, index, data, size);
      toModule(now, data, size);
    };
    port.onRead = [w, index](std::int64_t, const std::uint8_t* data, std::size_t size) {
      w->exchange(false, index, data, size);
    };
  }
  devmodel::Module* mod = watch.module;

  // ---- the module's USB disk, its eject and the hot-plug applet
  const char letter = s.diskLetter;
  const std::string diskFolder = m.hostPath(std::string(1, letter) + ":\\");
  if (!s.lostImage.empty()) {
    auto readDisk = mod->readDisk;
    std::string lost = s.lostImage;
    mod->readDisk = [readDisk, lost](const std::string& name) {
      return name == lost ? std::optional<devmodel::Bytes>() : readDisk(name);
    };
  }
  // The letter goes a while after an eject; the disk is looked at when the
  // program lets it go.
  m.deviceTree.lettersGoAfterUs = s.ejectLagUs;
  auto letGo = m.deviceTree.onEject;
  m.deviceTree.onEject = [w, letGo, diskFolder](const std::string& id) {
    checkDisk(*w, diskFolder);
    letGo(id);
  };
  auto removeDisk = [w, mod, letter, diskFolder](std::int64_t) {
    sim::Machine& machine = *w->machine;
    if (((machine.drives >> (letter - 'A')) & 1ul) == 0) return;
    checkDisk(*w, diskFolder);
    removeModuleDisk(machine, *mod, letter);
  };
  // The operator follows message 34 whether or not the hot-plug applet
  // opened by itself: a few seconds after it appears, the disk is removed.
  m.onShellExecute = nullptr;
  std::int64_t appletLag = s.appletRemovalUs;
  auto followed = std::make_shared<int>(0);
  auto look = std::make_shared<std::function<void(std::int64_t)>>();
  // The run holds the look; its timed events only refer to it.
  std::weak_ptr<std::function<void(std::int64_t)>> self = look;
  *look = [w, removeDisk, appletLag, followed, self](std::int64_t now) {
    sim::Machine& machine = *w->machine;
    int asked = 0;
    for (std::size_t at = machine.console.find(kAppletRequest); at != std::string::npos;
         at = machine.console.find(kAppletRequest, at + 1))
      ++asked;
    for (; *followed < asked; ++*followed) machine.at(now + appletLag, removeDisk);
    machine.at(now + kOperatorLooksUs, [again = self](std::int64_t t) {
      if (auto next = again.lock()) (*next)(t);
    });
  };
  m.at(0, [self](std::int64_t now) {
    if (auto first = self.lock()) (*first)(now);
  });
  if (s.ejectRefusals != 0)
    m.deviceTree.fail(sim::CmCall::CM_Request_Device_EjectA, sim::CR_FAILURE, "",
                      s.ejectRefusals);

  // ---- faults that strike at an event of the module
  mod->onEvent = [w, &s](const devmodel::Event& e) {
    int count = ++w->eventCounts[e.name];
    sim::Machine& machine = *w->machine;
    if (strikes(s.unplug.event, e.name, count))
      machine.at(e.atUs + s.unplug.laterUs, [w](std::int64_t now) { w->unplug(now); });
    for (const Setting::Burst& burst : s.noise)
      if (strikes(burst.at.event, e.name, count)) {
        std::string bytes = burst.bytes;
        machine.at(e.atUs + burst.at.laterUs, [w, bytes](std::int64_t now) {
          if (!w->modulePort->gone) w->modulePort->deliver(bytes, now);
        });
      }
    if (strikes(s.module.silentAfterEvent, e.name, count)) {
      w->silenced = true;
      // The operator waits a while for a module that says nothing, then
      // gives up and pulls the cable.
      machine.at(e.atUs + s.giveUpUs, [w](std::int64_t now) {
        if (!w->modulePort->gone) {
          w->modulePort->gone = true;
          if (w->unpluggedAt < 0) w->unpluggedAt = now;
        }
      });
    }
  };

  // ---- the machine and the operator
  if (s.unplugAtUs >= 0) m.at(s.unplugAtUs, [w](std::int64_t now) { w->unplug(now); });
  if (s.failingCall >= 0) m.failNth(static_cast<sim::Call>(s.failingCall), s.failingNth);
  if (s.copyRefused != 0) m.failNth(sim::Call::SHFileOperationA, s.copyRefused);
  m.shellCopyCancelNth = s.copyCancelled;
  m.shellCancelResult = s.cancelResult;
  if (s.probeThreadFails) m.failNth(sim::Call::CreateThread, 1);
  if (s.logInCurrentFolderFails) m.unopenable.push_back(kLogName);
  if (s.logNowhere) m.unopenable.push_back(kFallbackLog);
  for (int i = 0; i < s.earlyEnters; ++i) m.keys.push_back('\n');
  int perRequest = s.entersPerRequest;
  m.onKeyWanted = [w, perRequest] {
    for (int i = 0; i < perRequest; ++i) w->machine->keys.push_back('\n');
  };

  // ---- the run
  try {
    out.status = sim::runProcess(programMain);
  } catch (sim::SimulationStopped& stop) {
    out.ended = false;
    out.stopReason = stop.reason;
    auto handlers = m.exitHandlers;
    m.exitHandlers.clear();
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) (*it)();
  }
  out.endUs = m.nowUs();
  m.endThreads();
  devmodel::Verdict verdict = mod->verdict();
  out.verdict = verdict.toText();

  // ---- the invariants
  std::vector<std::string>& v = out.violations;
  const std::string& console = m.console;
  if (!out.ended) {
    v.push_back("the run did not end: " + out.stopReason + " at " +
                std::to_string(out.endUs / 1000) + " ms (bound " +
                std::to_string(out.boundUs / 1000) + " ms)");
  } else if (out.status != 0 && out.status != -1) {
    v.push_back("exit status " + std::to_string(out.status));
  }
  out.fatalSeen = s.fatal;
  if (watch.silenced) out.fatalSeen.push_back("module goes silent");
  if (watch.unpluggedEarly) out.fatalSeen.push_back("adapter unplugged");
  out.impossible = !out.fatalSeen.empty();

  watch.closeLog();
  std::string logHost;
  for (const char* name : {kLogName, kFallbackLog})
    if (logHost.empty() && std::filesystem::exists(m.hostPath(name))) logHost = m.hostPath(name);
  const std::string rawLog = logHost.empty() ? std::string() : readHostFile(logHost);
  // A run stopped by the simulation never got to close it.
  if (out.ended && !logHost.empty() && heldOpen(logHost)) v.push_back("the log was left open");

  if (out.ended && out.status == 0) {
    if (!flashedIntact(verdict)) v.push_back("exit status 0, but the module says:\n" + out.verdict);
    if (!endsWith(console, kDone)) v.push_back("exit status 0 without messages 40, 41, 12 last");
    if (out.impossible) v.push_back("exit status 0 although success was impossible");
  }
  if (out.ended && out.status == -1) {
    if (!endsWith(console, kAbort)) v.push_back("exit status -1 without message 39 last on the console");
    if (logHost.empty()) {
      // Only a run that ended before its log was open may leave none, and
      // such a run never reached a port.
      if (!watch.exchanges.empty()) v.push_back("no log file after a failed run");
    } else if (!endsWith(lfLines(rawLog), kAbort)) {
      v.push_back("exit status -1 but the log does not end with message 39");
    }
  }
  if (out.ended && s.faults.empty() && out.status != 0)
    v.push_back("a run without faults did not end with status 0");

  if (folderContents(folder, kLogName) != inputsBefore) v.push_back("an input file changed");
  checkDisk(watch, diskFolder);
  checkTraffic(watch, rawLog, bootLoaderFile);
  for (const std::string& extra : watch.violations) v.push_back(extra);

  if (const char* dump = std::getenv("VANTOR_CAMPAIGN_DUMP")) {
    // For a replay: what the operator saw and what the log kept.
    std::ofstream(std::string(dump) + ".console", std::ios::binary) << console;
    std::ofstream(std::string(dump) + ".log", std::ios::binary) << rawLog;
  }
  // Nothing of this run may reach the next one through the machine.
  mod->onEvent = nullptr;
  sim::resetMachine();
  return out;
}

}  // namespace campaign
