// The explanation in words: the short account for the workshop and the
// one sentence of the CSV. Everything taken from the log is shown escaped,
// so a hostile log cannot put control bytes on a terminal or break a row.
#include <cstdio>

#include "explain.h"
#include "guide_rows.h"

namespace replay {
namespace {

// The longest piece of the log quoted in one place.
const std::size_t kQuoteLimit = 160;

std::string quoted(const std::string& bytes) {
  std::string shown = escapeBytes(bytes.substr(0, kQuoteLimit));
  return bytes.size() > kQuoteLimit ? shown + "..." : shown;
}

}  // namespace

// The program's Italian letters are in the console's code page (850 or
// 437, which agree on them).
std::string shownText(const std::string& bytes) {
  std::string shown;
  for (unsigned char c : bytes.substr(0, kQuoteLimit)) {
    const char* letter = c == 0x85   ? "\xC3\xA0"
                         : c == 0x8A ? "\xC3\xA8"
                         : c == 0x82 ? "\xC3\xA9"
                         : c == 0x8D ? "\xC3\xAC"
                         : c == 0x95 ? "\xC3\xB2"
                         : c == 0x97 ? "\xC3\xB9"
                                     : nullptr;
    if (letter != nullptr) shown += letter;
    else if (c >= 0x20 && c < 0x7F) shown += static_cast<char>(c);
    else shown += escapeBytes(std::string(1, static_cast<char>(c)));
  }
  return bytes.size() > kQuoteLimit ? shown + "..." : shown;
}

namespace {

std::string withoutLineEnd(const std::string& t) {
  if (t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0) return t.substr(0, t.size() - 2);
  return t;
}

std::string number(long n) { return std::to_string(n); }

std::string atLine(int line) { return line > 0 ? " (line " + number(line) + ")" : ""; }

const char* imageName(int image) {
  static const char* const kNames[] = {"boot loader", "kernel", "ramdisk"};
  return image >= 0 && image < 3 ? kNames[image] : "";
}

std::string stepWords(Step step) {
  switch (step) {
    case Step::Start: return "the start";
    case Step::Discovery: return "the search for the module";
    case Step::RomLoader: return "the ROM loader upload";
    case Step::BlobPrompt: return "the reconnection to blob";
    case Step::BootLoaderDownload: return "the boot loader download";
    case Step::BootLoaderFlash: return "the boot loader flash";
    case Step::PowerCycle: return "the restart without the jumper";
    case Step::KernelUsbDisk: return "the kernel's USB disk";
    case Step::KernelCopy: return "the kernel copy";
    case Step::KernelRemoval: return "the kernel disk's removal";
    case Step::KernelFlash: return "the kernel flash";
    case Step::RamdiskUsbDisk: return "the ramdisk's USB disk";
    case Step::RamdiskCopy: return "the ramdisk copy";
    case Step::RamdiskRemoval: return "the ramdisk disk's removal";
    case Step::RamdiskFlash: return "the ramdisk flash";
    case Step::End: return "the end";
  }
  return "";
}

int currentImage(const Explanation& x) {
  if (x.stoppedAt >= Step::RamdiskUsbDisk) return Ramdisk;
  if (x.stoppedAt >= Step::KernelUsbDisk) return Kernel;
  return Blob;
}

const Upload* lastUpload(const Explanation& x) {
  return x.uploads.empty() ? nullptr : &x.uploads.back();
}

std::string probeWords(const Probe& p) {
  switch (p.outcome) {
    case ProbeOutcome::Unfinished: return "the log ends during its probe";
    case ProbeOutcome::NotStarted: return "probe not started";
    case ProbeOutcome::NotOpened: return "not opened";
    case ProbeOutcome::NoAnswer: return "no answer";
    case ProbeOutcome::WrongAnswer: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", p.answer & 0xFF);
      return std::string("wrong answer ") + hex;
    }
    case ProbeOutcome::TimedOut:
      return p.hungIn == ProbeHang::Open    ? "hung in its open, given up"
             : p.hungIn == ProbeHang::Write ? "hung in its write, given up"
                                            : "no answer before the probe was given up";
    case ProbeOutcome::Found: return "found";
  }
  return "";
}

std::string uploadWords(const Upload& u) {
  std::string record = "record " + shownText(u.record) + " (line " + number(u.recordPiece) +
                       " of the ROM loader file)";
  switch (u.result) {
    case Upload::Running: return "under way when the log ends";
    case Upload::Complete: return "complete, " + number(u.records) + " records sent";
    case Upload::RecordFailed: return record + " failed 5 attempts";
    case Upload::VerifyFailed: return "the read-back of " + record + " failed 5 attempts";
    case Upload::Empty: return "the file is empty: nothing sent";
    case Upload::WithoutEnd:
      return "the file ended without its end record (" + number(u.records) + " records sent)";
    case Upload::WaitingForEcho: return "waiting for the echo of " + record + " when the log ends";
  }
  return "";
}

std::string blobWords(const Upload& u) {
  switch (u.blob) {
    case Upload::NotTried: return "";
    case Upload::Reopening: return "reopening the port at 115200 when the log ends";
    case Upload::NotReopened: return "the port could not be opened again at 115200";
    case Upload::Reopened: return "port opened again at 115200, blob's prompt awaited";
    case Upload::NoPrompt: return "port opened again at 115200, no confirmed blob prompt";
    case Upload::PromptError:
      return "port opened again at 115200, the prompt came with \"*** serial port error\"";
    case Upload::Confirmed: return "blob's prompt confirmed at 115200";
  }
  return "";
}

// What was sent at an entry and what came back before the next send.
std::string lastAttempt(const FieldLog& log, std::size_t sent) {
  if (sent >= log.entries.size()) return "";
  const Entry& e = log.entries[sent];
  std::string back;
  for (std::size_t i = sent + 1; i < log.entries.size(); ++i) {
    const Entry& r = log.entries[i];
    if (r.kind != EntryKind::Received) break;
    back += r.bytes;
  }
  return atLine(e.line) + ": sent \"" + quoted(e.bytes) + "\", came back \"" + quoted(back) + "\"";
}

void searchAccount(const FieldLog& log, const Explanation& x, std::string& out) {
  out += "\nSearch for the module\n";
  if (log.searches.empty()) out += "  none: the run stopped before it\n";
  std::size_t upload = 0;
  for (const PortSearch& s : log.searches) {
    std::string ports;
    for (const std::string& p : s.ports) ports += (ports.empty() ? "" : ", ") + shownText(p);
    out += "  search" + atLine(s.line) + ": " +
           (s.configured ? "the configured port " + ports
            : ports.empty() ? std::string("Windows listed no serial port")
                            : "ports listed " + ports) +
           "\n";
    for (const ProbePass& pass : s.passes) {
      out += "    pass " + number(pass.baudIndex + 1) + " at " + number(pass.baud) + " baud" +
             atLine(pass.line) + ":";
      std::string probes;
      for (const Probe& p : pass.probes)
        probes += (probes.empty() ? " " : "; ") + shownText(p.port) + " " + probeWords(p);
      out += (probes.empty() ? std::string(" no probe") : probes) + "\n";
      bool found = !pass.probes.empty() && pass.probes.back().outcome == ProbeOutcome::Found;
      if (!found || upload >= x.uploads.size()) continue;
      const Upload& u = x.uploads[upload++];
      out += "      ROM loader upload on " + shownText(u.port) + atLine(u.line) + ": " +
             uploadWords(u) + "\n";
      if (u.result == Upload::RecordFailed || u.result == Upload::VerifyFailed)
        out += "        last attempt" + lastAttempt(log, u.recordEntry) + "\n";
      if (u.blob != Upload::NotTried)
        out += "      blob" + atLine(u.blobLine) + ": " + blobWords(u) + "\n";
    }
  }
}

void bootLoaderAccount(const FieldLog& log, const Explanation& x, std::string& out) {
  const BootLoaderStep& b = x.bootLoader;
  if (b.download == BootLoaderStep::NotStarted) return;
  out += "\nBoot loader (" + shownText(log.fileNames[1]) + ")\n";
  const char* download = "";
  switch (b.download) {
    case BootLoaderStep::NotStarted: break;
    case BootLoaderStep::Asked: download = "\"download blob\" sent, no answer yet"; break;
    case BootLoaderStep::Refused: download = "blob did not answer \"downloading\""; break;
    case BootLoaderStep::FileMissing: download = "the file could not be opened (message 9)"; break;
    case BootLoaderStep::Sending: download = "the file was being sent"; break;
    case BootLoaderStep::NoPrompt:
      download = "the file was sent, blob gave no prompt after it";
      break;
    case BootLoaderStep::Transferred: download = "the file was sent (\"trasferito\")"; break;
  }
  out += "  download" + atLine(b.downloadLine) + ": " + download + "\n";
  if (b.flash != BootLoaderStep::NotFlashed)
    out += "  flash" + atLine(b.flashLine) + ": " +
           (b.flash == BootLoaderStep::Flashed ? "confirmed (\"Fatto\")"
                                               : "started, not confirmed in the log") +
           "\n";
  const char* restart = "";
  switch (b.restart) {
    case BootLoaderStep::NotAsked: return;
    case BootLoaderStep::Waiting: restart = "waiting for blob's \"Autoboot\""; break;
    case BootLoaderStep::Autoboot: restart = "\"Autoboot\" came, the prompt was awaited"; break;
    case BootLoaderStep::NoPromptAfterAutoboot:
      restart = "\"Autoboot\" came, then no confirmed prompt";
      break;
    case BootLoaderStep::PromptError:
      restart = "the prompt came with \"*** serial port error\"";
      break;
    case BootLoaderStep::Confirmed: restart = "\"Autoboot\" and a confirmed prompt"; break;
  }
  out += "  restart without the jumper" + atLine(b.restartLine) + ": " + restart + "\n";
}

void imageAccount(const FieldLog& log, const ImageStep& im, int image, std::string& out) {
  if (!im.started) return;
  std::string name = imageName(image);
  name[0] = static_cast<char>(name[0] - 'a' + 'A');
  out += "\n" + name + " (" + shownText(log.fileNames[image + 1]) + ")\n";
  out += "  USB disk" + atLine(im.line) + ": " + number(im.usbTries) + " \"usbddisk " +
         imageId(image) + "\"" + (im.usbTries == 1 ? "" : "s") + ", " +
         (im.connected ? "\"connected\"" : "never \"connected\"") +
         (im.drive.empty() ? std::string()
                           : ", drive " + shownText(im.drive) + atLine(im.driveLine)) +
         "\n";
  if (im.copy != ImageStep::NoCopy) {
    std::string how = im.copy == ImageStep::Copied    ? "done"
                      : im.copy == ImageStep::Copying ? "under way when the log ends"
                                                      : "failed (message 36)";
    if (!im.copyReason.empty()) how += ": " + shownText(im.copyReason);
    out += "  copy" + atLine(im.copyLine) + ": " + shownText(im.copyText) + " " + how + "\n";
  }
  if (im.removal != ImageStep::NotRemoved) {
    std::string how = im.removal == ImageStep::Automatic
                          ? "automatic, through the configuration manager"
                      : im.removal == ImageStep::AppletAfterEject
                          ? "the configuration manager did not eject it; through the hot-plug "
                            "applet"
                          : "through the hot-plug applet (Windows Vista and the 4.x family)";
    if (!im.ejectLine.empty()) how += " (" + shownText(im.ejectLine) + ")";
    how += im.removed ? ", disk removed" + atLine(im.removedLine) : ", disk not removed yet";
    out += "  removal: " + how + "\n";
  }
  if (im.flash != ImageStep::NotFlashed) {
    const char* how = im.flash == ImageStep::Flashed    ? "confirmed (\"Fatto\")"
                      : im.flash == ImageStep::NotOnDisk ? "blob had no image to flash (message 38)"
                                                         : "started, not confirmed in the log";
    out += "  flash" + atLine(im.flashLine) + ": " + how + "\n";
  }
}

std::string holds(const Explanation& x, int image) {
  if (image < x.flashedCount) return "new";
  if (image == x.interrupted)
    return "unknown: its flash started and the log does not show it finished";
  return "as before the run";
}

void guideRow(const char* table, const char* row, const char* section, std::string& out) {
  auto rows = guideRows(operatorGuideTables(), table, row);
  out += std::string("  Operator's guide, section ") + section + ", table \"" + table +
         "\", row \"" + row + "\":\n";
  if (rows.size() != 1) {
    out += "    (the guide has " + number(static_cast<long>(rows.size())) + " such rows)\n";
    return;
  }
  const GuideTable* t = nullptr;
  for (const GuideTable& candidate : operatorGuideTables())
    if (!candidate.header.empty() && candidate.header[0] == table) t = &candidate;
  const std::vector<std::string>& cells = *rows[0];
  for (std::size_t c = 1; t != nullptr && c < cells.size() && c < t->header.size(); ++c)
    out += "    " + t->header[c] + ": " + cells[c] + "\n";
}

}  // namespace

std::string describeEnding(const Explanation& x) {
  std::string what = imageName(currentImage(x));
  const Upload* u = lastUpload(x);
  std::string record = u != nullptr ? shownText(u->record) : std::string();
  const ImageStep& im = x.images[currentImage(x) == Ramdisk ? 1 : 0];
  std::string named = x.causeText.size() > 25 ? shownText(x.causeText.substr(25)) : std::string();
  switch (x.ending) {
    case Ending::Complete:
      return "The run completed: boot loader, kernel and ramdisk flashed.";
    case Ending::FileNotOpened: return "The file " + named + " could not be opened.";
    case Ending::ConfigurationNotRead:
      return "The folder's path was too long to read vantor_config.ini.";
    case Ending::NoSerialPort: return "Windows listed no serial port.";
    case Ending::NoConnection:
      return "The module answered on no port in " + number(x.passes) + " passes.";
    case Ending::VerifyError:
      return "The read-back of ROM loader record " + record + " failed 5 times in the last pass.";
    case Ending::RecordFailed:
      return "ROM loader record " + record + " failed 5 attempts in the last pass.";
    case Ending::RomLoaderUnusable:
      return u != nullptr && u->result == Upload::Empty
                 ? "The ROM loader file is empty."
                 : "The ROM loader file has no end record.";
    case Ending::BlobNotReached:
      return "blob was not reached at 115200 after the ROM loader in the last pass: " +
             (u != nullptr ? blobWords(*u) : std::string()) + ".";
    case Ending::BootLoaderRefused:
      return x.bootLoader.download == BootLoaderStep::Refused
                 ? "blob did not answer \"downloading\" to the boot loader download."
                 : "blob gave no prompt after the boot loader file was sent.";
    case Ending::NoPromptAfterRestart:
      return "blob gave no confirmed prompt after the restart without the jumper.";
    case Ending::AdapterGone:
      return "The serial adapter went away during " + stepWords(x.stoppedAt) + ".";
    case Ending::CopyFailed: {
      // "Copia di FILE in DESTINATION... "
      std::string copy = im.copyText;
      std::size_t in = copy.rfind(" in "), dots = copy.rfind("...");
      std::string files = in != std::string::npos && in > 9 && dots != std::string::npos &&
                                  dots > in
                              ? shownText(copy.substr(9, in - 9)) + " to " +
                                    shownText(copy.substr(in + 4, dots - in - 4))
                              : "the " + what;
      return "The copy of " + files + " failed" +
             (im.copyReason.empty() ? std::string(".") : " (" + shownText(im.copyReason) + ")");
    }
    case Ending::ImageNotOnDisk:
      return "blob had no " + what + " image to flash (not downloaded).";
    case Ending::UsbDiskNotConnected:
      return "blob never reported the " + what + "'s USB disk connected in " +
             number(im.usbTries) + " tries.";
    case Ending::CutWaitingForEcho:
      return "The log ends waiting for the echo of ROM loader record " + record + ".";
    case Ending::CutWaitingForRestart:
      return "The log ends waiting for the restart without the jumper.";
    case Ending::CutWaitingForDrive:
      return "The log ends waiting for the drive letter of the " + what + "'s USB disk.";
    case Ending::CutInRemoval:
      return "The log ends waiting for the " + what + "'s USB disk to be removed.";
    case Ending::CutAfterRemoval:
      return "The log ends waiting for blob after the " + what + "'s disk was removed.";
    case Ending::CutInFlash:
      return "The log ends inside the flash of the " + std::string(imageName(x.interrupted)) +
             ": its state is unknown.";
    case Ending::CutElsewhere:
      return "The log ends during " + stepWords(x.stoppedAt) + " (window closed or PC stopped).";
    case Ending::Unknown: break;
  }
  return "The log cannot be explained.";
}

std::string explainText(const FieldLog& log, const Explanation& x, const std::string& file) {
  std::string out = file + ": ";
  if (x.outcome == Outcome::Complete) out += "the run COMPLETED.\n";
  else if (x.outcome == Outcome::Failed)
    out += std::string("the run FAILED at ") + stepId(x.stoppedAt) + ".\n";
  else
    out += std::string("the log is CUT SHORT (no message 39, no closing lines) at ") +
           stepId(x.stoppedAt) + ".\n";
  out += "  " + x.detail + "\n";

  out += "\nConfiguration (from the log's first lines)\n";
  static const char* const kFiles[] = {"ROM loader ", "boot loader", "kernel     ", "ramdisk    "};
  for (int i = 0; i < 4; ++i)
    out += std::string("  ") + kFiles[i] + "  " + shownText(log.fileNames[i]) + "\n";
  out += "  serial port  " +
         (log.configuration.empty() ? std::string("(not read)")
          : log.configuredPort != 0 ? "COM" + number(log.configuredPort) + " (configured)"
                                    : std::string("auto-detect")) +
         "\n";

  searchAccount(log, x, out);
  bootLoaderAccount(log, x, out);
  for (int i = 0; i < 2; ++i) imageAccount(log, x.images[i], i + 1, out);

  out += "\nWhere it stopped\n";
  out += std::string("  step: ") + stepId(x.stoppedAt) + " (" + stepWords(x.stoppedAt) + ")";
  if (x.outcome == Outcome::Failed) out += ", then message 39" + atLine(x.lastLine);
  else if (x.outcome == Outcome::Cut) out += "; the log's last line is " + number(x.lastLine);
  out += "\n";
  if (x.causeLine > 0)
    out += "  the cause, as the operator saw it" + atLine(x.causeLine) + ": \"" +
           shownText(x.causeText) + "\"" +
           (x.message >= 0 ? " (message " + number(x.message) + ")" : std::string()) + "\n";
  else if (x.outcome == Outcome::Failed)
    out += "  no message names the cause: the operator saw only message 39\n";
  if (!x.exchange.empty())
    out += x.outcome == Outcome::Cut ? "  the log's last entries:\n"
                                     : "  the exchange that failed:\n";
  for (std::size_t i : x.exchange) {
    const Entry& e = log.entries[i];
    const char* kind = e.kind == EntryKind::Sent ? "sent    " : e.kind == EntryKind::Received
                                                                  ? "received"
                                                                  : "program ";
    std::string bytes = e.kind == EntryKind::Received && e.bytes.empty() ? "(nothing)"
                        : e.kind == EntryKind::Text ? shownText(withoutLineEnd(e.bytes))
                                                                         : quoted(e.bytes);
    out += "    line " + number(e.line) + "  " + kind + "  " + bytes +
           (e.kind == EntryKind::Received && !e.closed && !e.block ? "  [wait timed out]" : "") +
           "\n";
  }

  out += "\nWhat the module holds now (what the log shows confirmed)\n";
  for (int i = 0; i < 3; ++i)
    out += std::string("  ") + imageName(i) + ": " + holds(x, i) + "\n";
  guideRow(kStateTable, stateRow(x.flashedCount, x.interrupted), "6", out);

  out += "\nBefore a rerun\n";
  if (x.outcome == Outcome::Complete) {
    out += "  Nothing to rerun: the module holds the new firmware.\n";
    return out;
  }
  if (x.interrupted != NoImage)
    out += std::string("  The log ends inside the flash of the ") + imageName(x.interrupted) +
           ": if the program still shows \"Flashing\", do not switch the robot off; wait for "
           "\"Fatto\" (guide, section 4).\n";
  out += "  A rerun from the start is safe: with the central jumper in, the module starts from "
         "its boot ROM, which uses nothing in the flash, and the program writes everything "
         "again (guide, section 6).\n";
  const EndingInfo* info = endingInfo(x.ending);
  if (info != nullptr) guideRow(info->table, info->row, "5", out);
  return out;
}

}  // namespace replay
