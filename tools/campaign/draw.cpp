// Drawing a whole-run setting from a source of choices. Every choice is
// made so that the answer 0 is the plain case: a dry fuzzer input draws a
// run without faults.
#include <memory>
#include <random>
#include <sstream>

#include "platform/sim/machine.h"
#include "tools/campaign/campaign.h"

namespace campaign {

int Choices::range(int low, int high) {
  if (high <= low) return low;
  return low + static_cast<int>(below(static_cast<std::uint32_t>(high - low + 1)));
}

Choices seeded(std::uint64_t seed) {
  auto engine = std::make_shared<std::mt19937_64>(seed);
  Choices choices;
  choices.below = [engine](std::uint32_t n) -> std::uint32_t {
    return n == 0 ? 0 : static_cast<std::uint32_t>((*engine)() % n);
  };
  return choices;
}

namespace {

struct Version {
  int major, minor, platform;
};

// The plain case first: the newer USB-disk behaviour of classes 5 and 6,
// then the older classes, then versions the program classes as 0.
const std::vector<Version> kVersions = {
    {6, 1, 2}, {5, 1, 2}, {5, 0, 2}, {4, 90, 1}, {4, 10, 1},
    {4, 0, 1}, {4, 0, 2}, {6, 0, 2}, {10, 0, 2}};

const std::vector<int> kRates = {0, 115200, 38400, 19200, 9600};

// A chance of one in `n`, false for a dry source.
bool chance(Choices& c, int n) { return n > 0 && c.below(static_cast<std::uint32_t>(n)) == static_cast<std::uint32_t>(n - 1); }

std::string numbered(const std::string& name, int n) {
  return n <= 1 ? name : name + "#" + std::to_string(n);
}

// An event of the module at which something may strike, with the
// ordinals a whole run is likely to reach.
std::string drawEvent(Choices& c, const Setting& s) {
  struct Kind {
    const char* name;
    int most;  // ordinals drawn from 1 to this
  };
  const std::vector<Kind> kinds = {
      {"probe", 3},        {"cr", 2 * s.records}, {"record", s.records + 1},
      {"readback", 3},     {"rom-end", 1},        {"blob-start", 2},
      {"autoboot", 4},     {"key", 4},            {"prompt", 14},
      {"download", 1},     {"download-end", 1},   {"flash-blob", 1},
      {"flashed-blob", 1}, {"power-cycle", 1},    {"usbddisk", 3},
      {"connected", 2},    {"disk-removed", 2},   {"flash-kernel", 1},
      {"flashed-kernel", 1}, {"flash-ramdisk", 1}, {"status", 2},
      {"break", 3}};
  const Kind& kind = c.pick(kinds);
  return numbered(kind.name, c.range(1, kind.most));
}

// Line noise: bytes the module never sent, NUL and 0xFF among them.
std::string drawNoise(Choices& c) {
  const std::vector<std::string> pieces = {
      std::string(1, '\0'), "\xff", "#", "x", "\r", "\n", "~~", ":",
      std::string("\0\0\0", 3), "blob", "/"};
  std::string bytes;
  int n = c.range(1, 4);
  for (int i = 0; i < n; ++i) bytes += c.pick(pieces);
  return bytes;
}

}  // namespace

Setting draw(Choices& c) {
  Setting s;
  auto fault = [&s](const std::string& kind) { s.faults.push_back(kind); };
  auto fatal = [&s](const std::string& kind) { s.fatal.push_back(kind); };
  // A fault that rules success out, whenever it strikes.
  auto ruinous = [&](const std::string& kind) {
    fault(kind);
    fatal(kind);
  };

  // ---- Windows
  const Version& v = c.pick(kVersions);
  s.versionMajor = v.major;
  s.versionMinor = v.minor;
  s.platformId = v.platform;

  // ---- ports
  int count = c.range(1, 4);
  int number = 3;
  for (int i = 0; i < count; ++i) {
    s.portNumbers.push_back(number);
    number += c.range(1, 6);
    const std::vector<OtherPort> kinds = {OtherPort::Silent, OtherPort::OpenFails,
                                          OtherPort::OpenHangs, OtherPort::Noisy};
    s.others.push_back(c.pick(kinds));
  }
  s.modulePort = c.range(0, count - 1);
  s.configured = chance(c, 3);
  s.configuredNumber = s.portNumbers[static_cast<std::size_t>(s.modulePort)];
  if (s.configured && chance(c, 12)) {
    s.configuredNumber = number + c.range(0, 3);  // no such port
    ruinous("configured port is not the module's");
  }
  if (!s.configured && chance(c, 25)) {
    s.moduleListed = false;
    ruinous("module's port not listed");
  }
  if (chance(c, 3)) s.otherDrives.push_back('D');
  s.diskLetter = static_cast<char>('E' + c.range(0, 3));

  // ---- input files
  s.records = c.range(2, 30);
  s.bootLoaderSize = static_cast<std::size_t>(c.range(200, 5000));
  s.kernelSize = static_cast<std::size_t>(c.range(1, 20000));
  s.ramdiskSize = static_cast<std::size_t>(c.range(1, 20000));
  s.crlf = chance(c, 2);
  s.commentLines = c.range(0, 3);
  s.trailingComments = c.range(0, 3);
  s.inputSeed = static_cast<std::uint32_t>(c.range(0, 100000));

  // ---- the module's line
  devmodel::ModuleConfig& m = s.module;
  m.answerBaud = c.pick(kRates);
  m.garbageAtWrongBaud = !chance(c, 3);
  if (chance(c, 30)) {
    m.answerBaud = 57600;  // a rate never tried
    ruinous("boot ROM at a rate never tried");
  }

  // ---- the module's faults
  // A boot ROM that answers at one rate only gets one pass for its upload.
  const int passes = m.answerBaud == 0 ? 4 : 1;
  // A record fault on one of the first `drawn` records, on some or every
  // attempt; five attempts a pass, so enough of them use up every pass
  // when the record is one of the `existing` ones.
  auto recordFault = [&](devmodel::RecordFault& f, int drawn, int existing,
                         const char* kind) {
    if (!chance(c, 16)) return;
    f.record = c.range(1, drawn);
    f.attempts = chance(c, 6) ? -1 : c.range(1, 24);
    fault(kind);
    if (f.record <= existing && (f.attempts == -1 || f.attempts >= 5 * passes)) fatal(kind);
  };
  recordFault(m.dropEcho, s.records, s.records, "echo dropped");
  recordFault(m.corruptEcho, s.records, s.records, "echo corrupted");
  // Every fourth record is read back.
  recordFault(m.corruptReadBack, 3, s.records / 4, "read-back wrong");
  if (chance(c, 16)) {
    m.ignoreCr = chance(c, 5) ? -1 : c.range(1, 24);
    fault("carriage returns unanswered");
  }
  // Ruled on once the line noise is drawn.
  const bool crUnanswerable = m.ignoreCr == -1 || m.ignoreCr >= 5 * passes;
  if (chance(c, 16)) {
    m.serialErrorPrompts = c.range(1, 7);
    fault("serial port error after a prompt");
    // The first prompt and five confirmations: a blob that spoils all six
    // leaves the pass, and the next pass finds no boot ROM.
    if (m.serialErrorPrompts >= 6) fatal("serial port error after a prompt");
  }
  if (chance(c, 40)) {
    m.probePrefix = chance(c, 2) ? "x" : "\xff";
    ruinous("noise before the probe answer");
  }
  if (chance(c, 40)) {
    m.nulInAnswers = true;
    ruinous("NUL bytes from the module");
  }
  if (chance(c, 16)) {
    m.floodAfterEvent = drawEvent(c, s);
    m.floodBytes = chance(c, 20) ? static_cast<std::size_t>(c.range(60000, 200000))
                                 : static_cast<std::size_t>(c.range(10, 6000));
    fault("flood without a line end");
  }
  if (chance(c, 16)) {
    m.silentAfterEvent = drawEvent(c, s);
    fault("module goes silent");
  }
  if (chance(c, 16)) {
    if (chance(c, 4)) {
      m.connectDelayUs = c.range(62, 90) * 1000000LL;
      ruinous("connected too late");
    } else {
      m.connectDelayUs = c.range(2, 50) * 1000000LL;
      fault("connected late");
    }
  }
  if (chance(c, 16)) {
    m.connectFromTry = chance(c, 4) ? 0 : c.range(2, 5);
    fault(m.connectFromTry == 0 ? "connected never" : "connected at a later try");
    if (m.connectFromTry == 0 || m.connectFromTry > 4) fatal("connected never");
  }
  if (chance(c, 16)) {
    m.powerCycleDelayUs = c.range(5, 120) * 1000000LL;
    fault("power cycle late");
  }

  // ---- the line, the adapter, the disk, the machine and the operator
  if (chance(c, 16)) {
    int n = c.range(1, 3);
    for (int i = 0; i < n; ++i) {
      Trigger at;
      at.event = chance(c, 2) ? numbered("prompt", c.range(1, 12)) : drawEvent(c, s);
      // Right before the module's answer, or anywhere in the next seconds.
      at.laterUs = chance(c, 2) ? c.range(1, 3000) * 1000LL : c.range(0, 3) * 400;
      s.noise.push_back({at, drawNoise(c)});
    }
    fault("noise bytes on the line");
  }
  // A carriage return in the noise may arrive while the program waits for
  // the boot ROM's, and it is then as good an answer as the module's own.
  bool noiseHasCr = false;
  for (const Setting::Burst& burst : s.noise)
    if (burst.bytes.find('\r') != std::string::npos) noiseHasCr = true;
  if (crUnanswerable && !noiseHasCr) fatal("carriage returns unanswered");
  if (chance(c, 16)) {
    s.unplug.event = drawEvent(c, s);
    s.unplug.laterUs = chance(c, 2) ? 0 : c.range(1, 3000) * 1000LL;
    fault("adapter unplugged");
  }
  if (chance(c, 16)) {
    s.unplugAtUs = c.range(0, 90000) * 1000LL;
    fault("adapter unplugged");
  }
  if (chance(c, 10)) {
    // The calls the program makes, with about how often a run makes each.
    struct Failing {
      sim::Call call;
      int most;
      const char* kind;
    };
    const std::vector<Failing> calls = {
        {sim::Call::ReadFile, 3000, "ReadFile fails"},
        {sim::Call::WriteFile, 1500, "WriteFile fails"},
        {sim::Call::ClearCommError, 20000, "ClearCommError fails"},
        {sim::Call::CreateFileA, 12, "CreateFileA fails"},
        {sim::Call::SetCommState, 12, "SetCommState fails"},
        {sim::Call::SetCommBreak, 4, "SetCommBreak fails"},
        {sim::Call::CloseHandle, 20, "CloseHandle fails"},
        {sim::Call::fopen, 8, "fopen fails"},
        {sim::Call::malloc, 6, "malloc fails"},
        {sim::Call::getdrives, 400, "getdrives fails"},
        {sim::Call::CreateThread, 12, "CreateThread fails"},
        {sim::Call::GetPrivateProfileStringA, 5, "GetPrivateProfileStringA fails"},
        {sim::Call::RegEnumValueA, 6, "RegEnumValueA fails"},
        {sim::Call::SHFileOperationA, 2, "SHFileOperationA fails"},
        {sim::Call::ShellExecuteA, 2, "ShellExecuteA fails"},
        {sim::Call::LoadLibraryA, 2, "LoadLibraryA fails"},
    };
    const Failing& failing = c.pick(calls);
    s.failingCall = static_cast<int>(failing.call);
    s.failingNth = c.range(1, failing.most);
    fault(failing.kind);
  }
  if (chance(c, 16)) {
    s.diskDelayUs = c.range(5, 120) * 1000000LL;
    fault("USB disk late");
  }
  if (chance(c, 25)) {
    s.copyRefused = c.range(1, 2);
    ruinous("copy refused");
  }
  if (chance(c, 25)) {
    s.copyCancelled = c.range(1, 2);
    s.cancelResult = chance(c, 2) ? 0 : 1223;
    ruinous("copy cancelled");
  }
  if (chance(c, 25)) {
    s.lostImage = chance(c, 2) ? "kernel" : "ramdisk";
    ruinous("not downloaded after a flash");
  }
  if (chance(c, 16)) {
    s.ejectRefusals = chance(c, 2) ? -1 : 1;
    fault("eject refused");
  }
  if (chance(c, 16)) {
    s.ejectLagUs = c.range(1, 20) * 500000LL;
    fault("disk removed late");
  }
  if (chance(c, 16)) {
    s.earlyEnters = c.range(1, 3);
    fault("Enter early");
  }
  if (chance(c, 16)) {
    s.entersPerRequest = c.range(2, 3);
    fault("Enter repeated");
  }
  if (chance(c, 20)) {
    s.logInCurrentFolderFails = true;
    fault("log not writable in the current folder");
    if (chance(c, 3)) {
      s.logNowhere = true;
      ruinous("log not writable anywhere");
    }
  }
  if (chance(c, 25)) {
    s.probeThreadFails = true;
    fault("probe thread not started");
  }
  return s;
}

std::string Setting::describe() const {
  std::ostringstream out;
  out << "windows " << versionMajor << "." << versionMinor << " (platform "
      << platformId << ")\nports:";
  for (std::size_t i = 0; i < portNumbers.size(); ++i) {
    out << " COM" << portNumbers[i];
    if (static_cast<int>(i) == modulePort)
      out << "[module" << (moduleListed ? "" : ", unlisted") << "]";
    else
      out << "[" << static_cast<int>(others[i]) << "]";
  }
  if (configured) out << "; configured COM" << configuredNumber;
  out << "\ndisk " << diskLetter << ": late " << diskDelayUs / 1000 << " ms\n"
      << "inputs: " << records << " records, boot loader " << bootLoaderSize
      << ", kernel " << kernelSize << ", ramdisk " << ramdiskSize
      << (crlf ? ", CR LF" : ", LF") << ", " << commentLines << " comment lines, "
      << trailingComments << " trailing comments, seed " << inputSeed << "\n"
      << "boot ROM rate " << module.answerBaud
      << (module.garbageAtWrongBaud ? " (garbage elsewhere)" : "") << "\n";
  out << "faults:";
  for (const std::string& f : faults) out << " [" << f << "]";
  out << "\n";
  const devmodel::ModuleConfig& m = module;
  if (m.dropEcho.record != 0)
    out << "  dropEcho " << m.dropEcho.record << "x" << m.dropEcho.attempts << "\n";
  if (m.corruptEcho.record != 0)
    out << "  corruptEcho " << m.corruptEcho.record << "x" << m.corruptEcho.attempts << "\n";
  if (m.corruptReadBack.record != 0)
    out << "  corruptReadBack " << m.corruptReadBack.record << "x"
        << m.corruptReadBack.attempts << "\n";
  if (m.ignoreCr != 0) out << "  ignoreCr " << m.ignoreCr << "\n";
  if (m.serialErrorPrompts != 0) out << "  serialErrorPrompts " << m.serialErrorPrompts << "\n";
  if (!m.floodAfterEvent.empty())
    out << "  flood " << m.floodBytes << " after " << m.floodAfterEvent << "\n";
  if (!m.silentAfterEvent.empty()) out << "  silent after " << m.silentAfterEvent << "\n";
  if (m.connectFromTry != 1) out << "  connect from try " << m.connectFromTry << "\n";
  out << "  connect delay " << m.connectDelayUs / 1000 << " ms, power cycle "
      << m.powerCycleDelayUs / 1000 << " ms\n";
  for (const Burst& burst : noise) {
    out << "  noise after " << burst.at.event << " +" << burst.at.laterUs << " us:";
    for (char b : burst.bytes) out << " " << static_cast<int>(static_cast<unsigned char>(b));
    out << "\n";
  }
  if (unplug.drawn()) out << "  unplug after " << unplug.event << " +" << unplug.laterUs << " us\n";
  if (unplugAtUs >= 0) out << "  unplug at " << unplugAtUs << " us\n";
  if (failingCall >= 0) out << "  platform call " << failingCall << " fails at call " << failingNth << "\n";
  if (copyRefused != 0) out << "  copy refused for image " << copyRefused << "\n";
  if (copyCancelled != 0)
    out << "  copy cancelled for image " << copyCancelled << ", answering "
        << cancelResult << "\n";
  if (!lostImage.empty()) out << "  disk loses " << lostImage << "\n";
  if (ejectRefusals != 0) out << "  eject refusals " << ejectRefusals << "\n";
  if (ejectLagUs != 0) out << "  eject lag " << ejectLagUs / 1000 << " ms\n";
  if (earlyEnters != 0) out << "  early Enters " << earlyEnters << "\n";
  if (entersPerRequest != 1) out << "  Enters per request " << entersPerRequest << "\n";
  return out.str();
}

}  // namespace campaign
