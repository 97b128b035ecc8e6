#include "explain_walk.h"

#include <cstdlib>

namespace replay {
namespace {

const char kEndRecord[] = "0871800000";
const char kPartialEchoRecord[] = "0021B000C4E7400402";
const char kPartialEcho[] = "0021B000C4E74";
// How much of the received bytes the waits' texts need to be seen.
const std::size_t kReceivedTail = 256;

bool contains(const std::string& s, const char* what) {
  return s.find(what) != std::string::npos;
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string readBackHeader(const std::string& record) {
  if (record.size() < 10) return std::string();
  unsigned control =
      static_cast<unsigned>(std::strtoul(record.substr(8, 2).c_str(), nullptr, 16));
  const char* digits = "0123456789ABCDEF";
  unsigned c = (control | 0x20u) & 0xFFu;
  return record.substr(0, 8) + digits[c >> 4] + digits[c & 15];
}

bool endsUpload(LineId id) {
  switch (id) {
    case LineId::RomLoaderEmpty: case LineId::RomLoaderWithoutEnd: case LineId::VerifyError:
    case LineId::ClosingPort: case LineId::PowerCyclePrompt: case LineId::SerialPorts:
    case LineId::NoSerialPort: case LineId::NotCompleted: case LineId::AdapterGone:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string withoutLineEnd(const std::string& t) {
  if (t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0) return t.substr(0, t.size() - 2);
  return t;
}

bool Walk::fail(const Entry& e, const std::string& why) {
  x.outcome = Outcome::Unreadable;
  x.error = why + ": \"" + escapeBytes(withoutLineEnd(e.bytes).substr(0, 80)) + "\"";
  x.errorLine = e.line;
  return false;
}

ImageStep* Walk::image() {
  if (step >= Step::KernelUsbDisk && step <= Step::KernelFlash) return &x.images[0];
  if (step >= Step::RamdiskUsbDisk && step <= Step::RamdiskFlash) return &x.images[1];
  return nullptr;
}

int Walk::imagePhase() const {
  if (step >= Step::KernelUsbDisk && step <= Step::KernelFlash)
    return static_cast<int>(step) - static_cast<int>(Step::KernelUsbDisk);
  if (step >= Step::RamdiskUsbDisk && step <= Step::RamdiskFlash)
    return static_cast<int>(step) - static_cast<int>(Step::RamdiskUsbDisk);
  return -1;
}

void Walk::toImagePhase(int phase) {
  bool ramdisk = step >= Step::RamdiskUsbDisk;
  step = static_cast<Step>(static_cast<int>(ramdisk ? Step::RamdiskUsbDisk
                                                    : Step::KernelUsbDisk) + phase);
}

void Walk::cause(const Entry& e, int message) {
  x.causeLine = e.line;
  x.causeText = withoutLineEnd(e.bytes);
  if (message >= 0) x.message = message;
}

void Walk::closeUpload() {
  if (upload == nullptr) return;
  if (upload->result == Upload::Running) upload->result = Upload::RecordFailed;
  if (upload->blob == Upload::Reopening) upload->blob = Upload::NotReopened;
  else if (upload->blob == Upload::Reopened)
    upload->blob = upload->promptError ? Upload::PromptError : Upload::NoPrompt;
  upload = nullptr;
}

bool Walk::text(std::size_t i) {
  const Entry& e = log.entries[i];
  std::string t = withoutLineEnd(e.bytes);
  bool uploading = step == Step::RomLoader && upload != nullptr &&
                   upload->result == Upload::Running;
  if (t.empty()) {
    if (uploading) ++upload->pieces;  // an empty line of the file
    return true;
  }
  if (i > 0 && log.entries[i - 1].block) return true;  // the download's copy
  if (finished) return fail(e, "the log goes on after the run completed");
  if (notCompleted) return fail(e, "the log goes on after message 39");
  // The end of a log cut short may be any part of a line of the
  // program's, even the line without the LF of its line end.
  bool lastPiece = log.cutShort && e.end >= log.raw.size();
  if (lastPiece && t.back() == '\r') t.pop_back();
  LineId id = programLine(t);
  if (uploading && (id == LineId::None || !endsUpload(id))) {
    // A line of the ROM loader file, logged as it was read.
    ++upload->pieces;
    await = Await::Line;
    return true;
  }
  if (id == LineId::None) {
    if (lastPiece && (programLine(t, true) != LineId::None ||
                      std::string(" -> ").compare(0, t.size(), t) == 0 ||
                      std::string(" <- ").compare(0, t.size(), t) == 0))
      return true;
    return fail(e, "a line that the program does not write");
  }
  return line(id, i, t);
}

bool Walk::misplaced(const Entry& e) {
  return fail(e, "a line out of its place in the procedure");
}

bool Walk::line(LineId id, std::size_t i, const std::string& t) {
  const Entry& e = log.entries[i];
  ImageStep* im = image();
  switch (id) {
    case LineId::FileNames:
      return fail(e, "a second configuration block");
    case LineId::CannotOpenFile:
      cause(e, 9);
      if (step == Step::Start) {
        x.ending = log.configuration.empty() ? Ending::ConfigurationNotRead
                                             : Ending::FileNotOpened;
      } else if (step == Step::BootLoaderDownload && downloading) {
        x.bootLoader.download = BootLoaderStep::FileMissing;
        x.ending = Ending::FileNotOpened;
      } else {
        return misplaced(e);
      }
      return true;
    case LineId::SerialPorts:
    case LineId::NoSerialPort:
      if (step > Step::BlobPrompt) return misplaced(e);
      closeUpload();
      step = Step::Discovery;
      if (id == LineId::NoSerialPort) {
        cause(e, 5);
        noPortMessageLine = e.line;
      }
      return true;
    case LineId::FirstPrompt:
    case LineId::PowerCyclePrompt:
      if (step > Step::BlobPrompt) return misplaced(e);
      closeUpload();
      step = Step::Discovery;
      ++x.passes;
      return true;
    case LineId::PortFound: case LineId::Connecting: case LineId::CannotOpenPort:
    case LineId::PortOpened: case LineId::ModuleNotFound:
      if (step != Step::Discovery) return misplaced(e);
      if (id == LineId::Connecting) lastProbe = i;
      return true;
    case LineId::NoConnection:
      if (step != Step::Discovery) return misplaced(e);
      cause(e, noPortMessageLine != 0 ? 5 : 10);
      if (noPortMessageLine != 0) x.causeLine = noPortMessageLine;
      x.ending = noPortMessageLine != 0 ? Ending::NoSerialPort : Ending::NoConnection;
      anchor = lastProbe;
      hasAnchor = lastProbe != 0;
      return true;
    case LineId::Connected: {
      if (step != Step::Discovery || lastProbe == 0) return misplaced(e);
      x.uploads.emplace_back();
      upload = &x.uploads.back();
      const std::string& probe = log.entries[lastProbe].bytes;
      std::size_t rate = probe.rfind(", baud rate ");
      if (rate < 14) rate = std::string::npos;
      upload->port = probe.substr(14, rate == std::string::npos ? 0 : rate - 14);
      upload->baud = rate == std::string::npos ? 0 : std::atoi(probe.c_str() + rate + 12);
      upload->line = e.line;
      x.port = upload->port;
      x.baud = upload->baud;
      step = Step::RomLoader;
      await = Await::Line;
      return true;
    }
    case LineId::RomLoaderEmpty:
    case LineId::RomLoaderWithoutEnd:
    case LineId::VerifyError:
      if (step != Step::RomLoader || upload == nullptr) return misplaced(e);
      upload->result = id == LineId::RomLoaderEmpty        ? Upload::Empty
                       : id == LineId::RomLoaderWithoutEnd ? Upload::WithoutEnd
                                                           : Upload::VerifyFailed;
      upload->endLine = e.line;
      cause(e, id == LineId::VerifyError ? 42 : -1);
      return true;
    case LineId::ClosingPort:
      if (step != Step::RomLoader || upload == nullptr) return misplaced(e);
      upload->result = Upload::Complete;
      upload->endLine = e.line;
      step = Step::BlobPrompt;
      return true;
    case LineId::BootLoaderLoaded:
      return step == Step::BlobPrompt ? true : misplaced(e);
    case LineId::OpeningPort:
      if (step != Step::BlobPrompt || upload == nullptr) return misplaced(e);
      upload->blob = Upload::Reopening;
      upload->blobLine = e.line;
      openingEntry = i;
      return true;
    case LineId::PortReopened:
      if (step != Step::BlobPrompt || upload == nullptr) return misplaced(e);
      upload->blob = Upload::Reopened;
      return true;
    case LineId::BlobTransferring:
      if (step != Step::BootLoaderDownload || !downloading) return misplaced(e);
      x.bootLoader.download = BootLoaderStep::Sending;
      return true;
    case LineId::Transferred:
      if (step != Step::BootLoaderDownload) return misplaced(e);
      x.bootLoader.download = BootLoaderStep::Transferred;
      return true;
    case LineId::Done:
      if (step == Step::BootLoaderFlash && x.bootLoader.flash == BootLoaderStep::Flashing) {
        x.bootLoader.flash = BootLoaderStep::Flashed;
      } else if (im != nullptr && imagePhase() == 3 && im->flash == ImageStep::Flashing) {
        im->flash = ImageStep::Flashed;
        finished = step == Step::RamdiskFlash;
        if (finished) step = Step::End;
      } else {
        return misplaced(e);
      }
      ++x.flashedCount;
      return true;
    case LineId::PowerOffRemoveJumper:
      if (step != Step::BootLoaderFlash || x.bootLoader.flash != BootLoaderStep::Flashed)
        return misplaced(e);
      step = Step::PowerCycle;
      x.bootLoader.restart = BootLoaderStep::Waiting;
      x.bootLoader.restartLine = e.line;
      return true;
    case LineId::PlugUsb:
    case LineId::ReplugUsb:
      if (step == Step::PowerCycle) x.bootLoader.restart = BootLoaderStep::Confirmed;
      if (step == Step::PowerCycle || (step == Step::KernelFlash &&
                                       x.images[0].flash == ImageStep::Flashed)) {
        step = step == Step::PowerCycle ? Step::KernelUsbDisk : Step::RamdiskUsbDisk;
        image()->started = true;
        image()->line = e.line;
      } else if (!(id == LineId::ReplugUsb && imagePhase() == 0)) {
        return misplaced(e);
      }
      return true;
    case LineId::DiskFound:
      if (imagePhase() != 0 || !im->connected) return misplaced(e);
      toImagePhase(1);
      im->drive = t.substr(14);
      im->driveLine = e.line;
      return true;
    case LineId::Copying: case LineId::CopyDone: case LineId::CopyFailed:
    case LineId::CannotCopy: {
      if (imagePhase() != 1 || im->copy != ImageStep::NoCopy) return misplaced(e);
      im->copyLine = e.line;
      std::size_t dots = t.rfind("... ");
      im->copyText = dots == std::string::npos ? t : t.substr(0, dots + 3);
      im->copy = id == LineId::CopyDone  ? ImageStep::Copied
                 : id == LineId::Copying ? ImageStep::Copying
                                         : ImageStep::CopyFailed;
      if (im->copy == ImageStep::CopyFailed) {
        cause(e, 36);
        x.ending = Ending::CopyFailed;
        anchor = i;
        hasAnchor = true;
      }
      return true;
    }
    case LineId::ImageEmpty:
    case LineId::CopyCancelled:
      if (imagePhase() != 1 || im->copy != ImageStep::CopyFailed) return misplaced(e);
      im->copyReason = t;
      return true;
    case LineId::RemovingDisk:
    case LineId::StopDiskInApplet:
      if (!((imagePhase() == 1 && im->copy == ImageStep::Copied) ||
            (imagePhase() == 2 && id == LineId::StopDiskInApplet &&
             im->removal == ImageStep::Automatic)))
        return misplaced(e);
      toImagePhase(2);
      im->removal = id == LineId::RemovingDisk          ? ImageStep::Automatic
                    : im->removal == ImageStep::Automatic ? ImageStep::AppletAfterEject
                                                          : ImageStep::Applet;
      return true;
    case LineId::EjectInvalidDrive: case LineId::EjectUnsupported:
    case LineId::EjectNoLibrary: case LineId::Ejected: case LineId::EjectRefused:
    case LineId::EjectError:
      if (imagePhase() != 2 || im->removal != ImageStep::Automatic || !im->ejectLine.empty())
        return misplaced(e);
      im->ejectLine = t;
      return true;
    case LineId::DiskRemoved:
      if (imagePhase() != 2 || im->removed) return misplaced(e);
      im->removed = true;
      im->removedLine = e.line;
      return true;
    case LineId::UnplugUsb:
      return imagePhase() == 2 && im->removal == ImageStep::Applet ? true : misplaced(e);
    case LineId::ImageNotOnDisk:
      if (imagePhase() != 3 || im->flash != ImageStep::Flashing) return misplaced(e);
      im->flash = ImageStep::NotOnDisk;
      cause(e, 38);
      x.ending = Ending::ImageNotOnDisk;
      anchor = flashCommand;
      hasAnchor = true;
      return true;
    case LineId::NotCompleted:
      notCompleted = true;
      x.lastLine = e.line;
      return true;
    case LineId::AdapterGone:
      adapterGone = true;
      cause(e, -1);
      x.ending = Ending::AdapterGone;
      return true;
    default:
      return misplaced(e);
  }
}

void Walk::sent(std::size_t i) {
  const Entry& e = log.entries[i];
  const std::string& b = e.bytes;
  received.clear();
  if (step == Step::RomLoader && upload != nullptr && upload->result == Upload::Running) {
    if (b == "\r") return;
    bool retry = (await == Await::Record && b == upload->record) ||
                 (await == Await::ReadBack && b == readBackHeader(upload->record));
    if (!retry) {
      ++upload->pieces;
      ++upload->records;
      upload->record = b;
      upload->recordPiece = upload->pieces;
      await = contains(b, kPartialEchoRecord) ? Await::Echo
              : contains(b, kEndRecord)       ? Await::Line
                                              : Await::Record;
    }
    upload->recordEntry = i;
    return;
  }
  ImageStep* im = image();
  if (b == "download blob" && step == Step::BlobPrompt) {
    step = Step::BootLoaderDownload;
    x.bootLoader.download = BootLoaderStep::Asked;
    x.bootLoader.downloadLine = e.line;
    downloadCommand = i;
    if (upload != nullptr) upload->blob = Upload::Confirmed;
    upload = nullptr;
  } else if (b == "flash blob" && step == Step::BootLoaderDownload) {
    step = Step::BootLoaderFlash;
    x.bootLoader.flash = BootLoaderStep::Flashing;
    x.bootLoader.flashLine = e.line;
    flashCommand = i;
  } else if (im != nullptr && startsWith(b, "usbddisk ")) {
    ++im->usbTries;
    im->connected = false;
    usbCommand = i;
  } else if (im != nullptr && b == "status") {
    im->statusAsked = true;
  } else if (im != nullptr && startsWith(b, "flash ") && imagePhase() == 2) {
    toImagePhase(3);
    im->flash = ImageStep::Flashing;
    im->flashLine = e.line;
    flashCommand = i;
  }
}

void Walk::receivedBytes(const Entry& e) {
  received += e.bytes;
  if (received.size() > kReceivedTail) received.erase(0, received.size() - kReceivedTail);
  if (step == Step::RomLoader && upload != nullptr) {
    if (await == Await::Echo && contains(received, kPartialEcho)) await = Await::Line;
    if (e.closed && !e.bytes.empty() && e.bytes.back() == '/') {
      bool readBack = await == Await::Record && upload->record.size() >= 10 &&
                      contains(upload->record, "0871");
      await = readBack ? Await::ReadBack : Await::Line;
    }
  }
  if (step == Step::BootLoaderDownload && contains(received, "downloading")) downloading = true;
  if (step == Step::PowerCycle && contains(received, "Autoboot") &&
      x.bootLoader.restart == BootLoaderStep::Waiting)
    x.bootLoader.restart = BootLoaderStep::Autoboot;
  if (contains(received, "*** serial port error")) {
    if (step == Step::BlobPrompt && upload != nullptr) upload->promptError = true;
    if (step == Step::PowerCycle) x.bootLoader.restart = BootLoaderStep::PromptError;
  }
  ImageStep* im = image();
  if (im != nullptr && imagePhase() == 0 && contains(received, "connected"))
    im->connected = true;
}

bool Walk::run() {
  for (std::size_t i = 0; i < log.entries.size(); ++i) {
    const Entry& e = log.entries[i];
    x.lastLine = e.line;
    if (e.kind == EntryKind::Text) {
      if (!text(i)) return false;
    } else if (notCompleted || finished) {
      return fail(e, "the log goes on after the run ended");
    } else if (e.kind == EntryKind::Sent) {
      sent(i);
    } else {
      receivedBytes(e);
    }
  }
  return true;
}

}  // namespace replay
