// How a run ended, from where the walk through its log stopped, and the
// exchange that shows it.
#include "explain.h"

#include "explain_walk.h"

namespace replay {
namespace {

// The exchange quoted for the failure: at most this many entries.
const std::size_t kExchangeEntries = 8;
// Where no one exchange failed: the log's last entries.
const std::size_t kTailEntries = 5;

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

void setAnchor(Walk& w, std::size_t entry) {
  w.anchor = entry;
  w.hasAnchor = true;
}

// How the run ended, from where the walk stopped.
void decideEnding(Walk& w) {
  Explanation& x = w.x;
  ImageStep* im = w.image();
  int phase = w.imagePhase();
  x.stoppedAt = w.step;
  if (w.finished && !w.log.cutShort) {
    x.outcome = Outcome::Complete;
    x.ending = Ending::Complete;
    w.hasAnchor = false;
    return;
  }
  if (w.finished) x.stoppedAt = Step::RamdiskFlash;  // cut before its last line end
  // The image whose flash the log shows started and never confirmed.
  if (w.step == Step::BootLoaderFlash && x.bootLoader.flash == BootLoaderStep::Flashing)
    x.interrupted = Blob;
  if (im != nullptr && im->flash == ImageStep::Flashing)
    x.interrupted = w.step >= Step::RamdiskUsbDisk ? Ramdisk : Kernel;
  Upload* last = x.uploads.empty() ? nullptr : &x.uploads.back();
  if (w.notCompleted) {
    x.outcome = Outcome::Failed;
    if (w.adapterGone) {
      x.ending = Ending::AdapterGone;
    } else if (x.ending != Ending::Unknown) {
      // Named by its own message already.
    } else if (w.step == Step::RomLoader && last != nullptr) {
      if (last->result == Upload::Running) last->result = Upload::RecordFailed;
      if (last->result == Upload::VerifyFailed) x.ending = Ending::VerifyError;
      else if (last->result == Upload::Empty || last->result == Upload::WithoutEnd)
        x.ending = Ending::RomLoaderUnusable;
      else x.ending = Ending::RecordFailed;
      if (last->result == Upload::RecordFailed || last->result == Upload::VerifyFailed)
        setAnchor(w, last->recordEntry);
    } else if (w.step == Step::BlobPrompt && last != nullptr) {
      w.closeUpload();
      x.ending = Ending::BlobNotReached;
      if (last->blob == Upload::NotReopened) setAnchor(w, w.openingEntry);
    } else if (w.step == Step::BootLoaderDownload) {
      x.ending = Ending::BootLoaderRefused;
      x.bootLoader.download = w.downloading ? BootLoaderStep::NoPrompt : BootLoaderStep::Refused;
      if (!w.downloading) setAnchor(w, w.downloadCommand);
    } else if (w.step == Step::PowerCycle && x.bootLoader.restart != BootLoaderStep::Waiting) {
      x.ending = Ending::NoPromptAfterRestart;
      if (x.bootLoader.restart == BootLoaderStep::Autoboot)
        x.bootLoader.restart = BootLoaderStep::NoPromptAfterAutoboot;
    } else if (phase == 0 && im->usbTries > 0) {
      x.ending = Ending::UsbDiskNotConnected;
      x.message = 33;
      setAnchor(w, w.usbCommand);
    }
    if (x.ending == Ending::Unknown) {
      x.outcome = Outcome::Unreadable;
      x.error = "message 39 where the program cannot end a run";
      x.errorLine = x.lastLine;
    }
    return;
  }
  x.outcome = Outcome::Cut;
  x.message = -1;
  x.ending = Ending::CutElsewhere;
  if (w.step == Step::RomLoader && w.await == Walk::Await::Echo && last != nullptr) {
    last->result = Upload::WaitingForEcho;
    x.ending = Ending::CutWaitingForEcho;
    setAnchor(w, last->recordEntry);
  } else if (w.step == Step::PowerCycle && x.bootLoader.restart == BootLoaderStep::Waiting) {
    x.ending = Ending::CutWaitingForRestart;
  } else if (phase == 0 && im->connected) {
    x.ending = Ending::CutWaitingForDrive;
    setAnchor(w, w.usbCommand);
  } else if (phase == 2 && im->removal != ImageStep::NotRemoved) {
    x.ending = im->removed ? Ending::CutAfterRemoval : Ending::CutInRemoval;
  } else if (x.interrupted != NoImage) {
    x.ending = Ending::CutInFlash;
    setAnchor(w, w.flashCommand);
  }
}

}  // namespace

Explanation explainLog(const FieldLog& log) {
  Explanation x;
  x.error = checkProgramLog(log, &x.errorLine);
  if (!x.error.empty()) return x;
  Walk walk(log, x);
  if (!walk.run()) return x;
  decideEnding(walk);
  if (x.outcome == Outcome::Unreadable) return x;
  // The exchange that failed: from its first entry on, what was sent and
  // what came back, up to the program's next line of its own (a piece that
  // waits for the operation's outcome on the same line goes with it).
  // Where no one exchange failed, the log's last entries before its end.
  std::size_t end = log.entries.size();
  while (end > 0 && log.entries[end - 1].kind == EntryKind::Text &&
         (withoutLineEnd(log.entries[end - 1].bytes).empty() ||
          startsWith(log.entries[end - 1].bytes, "Procedura non completata")))
    --end;
  std::size_t from = walk.hasAnchor ? walk.anchor : end > kTailEntries ? end - kTailEntries : 0;
  for (std::size_t i = from; i < end && x.exchange.size() < kExchangeEntries; ++i) {
    const Entry& e = log.entries[i];
    bool piece = e.bytes.size() < 2 || e.bytes.compare(e.bytes.size() - 2, 2, "\r\n") != 0;
    if (walk.hasAnchor && e.kind == EntryKind::Text && i != walk.anchor && !piece) break;
    if (e.kind == EntryKind::Text && withoutLineEnd(e.bytes).empty()) continue;
    x.exchange.push_back(i);
  }
  x.detail = describeEnding(x);
  return x;
}

}  // namespace replay
