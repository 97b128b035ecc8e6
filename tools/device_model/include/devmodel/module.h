#pragma once
// The processing module as seen from the serial line: boot ROM first, then
// the blob boot loader with its USB disk. Nothing here reads a clock; every
// call carries the caller's notion of "now" in microseconds, so the same
// model runs under a virtual clock in unit tests and in real time behind a
// pseudo-terminal.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "devmodel/rom_records.h"

namespace devmodel {

constexpr int64_t kNever = INT64_MAX;
constexpr int kBlobBaud = 115200;

// Selects which attempts of which record a fault hits.
struct RecordFault {
  // 1-based ordinal of the distinct record in arrival order; -1 = every
  // record; 0 = fault off.
  int record = 0;
  // How many of that record's first attempts are hit; -1 = all of them.
  int attempts = 1;

  bool hits(int ordinal, int attempt) const {
    if (record == 0) return false;
    if (record != -1 && record != ordinal) return false;
    return attempts == -1 || attempt <= attempts;
  }
};

struct ModuleConfig {
  // --- line ---------------------------------------------------------------
  // 0: the boot ROM follows whatever rate the PC uses. Otherwise the ROM
  // only understands this rate.
  int answerBaud = 0;
  // At a rate the module does not run at, its bytes reach the PC mangled
  // (true) or not at all (false).
  bool garbageAtWrongBaud = true;
  int64_t replyDelayUs = 1000;

  // --- blob ---------------------------------------------------------------
  bool startInBlob = false;            // skip the boot ROM entirely
  int64_t blobStartDelayUs = 200000;   // end record -> blob banner
  int64_t flashBlobDelayUs = 2000000;
  int64_t flashKernelDelayUs = 4000000;
  int64_t flashRamdiskDelayUs = 6000000;
  // After "flash blob" finished: when the operator's power cycle brings the
  // new blob up. kNever: nobody power-cycles.
  int64_t powerCycleDelayUs = 3000000;
  int64_t connectDelayUs = 500000;     // "usbddisk" -> "connected"
  int breakMinMs = 100;                // shorter breaks are line noise
  // The PC breaks right after opening the line and a pseudo-terminal cannot
  // carry that break, so an idle blob also treats an open as one.
  bool bannerOnOpen = true;
  bool echoCommands = true;
  int downloadDotEveryLines = 32;

  // --- what the PC is expected to deliver -----------------------------------
  std::optional<std::string> romLoaderText;
  std::optional<Bytes> expectedBootLoader;
  std::optional<std::string> expectedBootLoaderUue;  // used if the above is unset
  std::optional<Bytes> expectedKernel;
  std::optional<Bytes> expectedRamdisk;

  // --- faults -------------------------------------------------------------
  std::string probePrefix;   // sent before ':' (e.g. "x")
  int ignoreCr = 0;          // first N carriage returns unanswered; -1 = all
  int ignoreCrFrom = 0;      // from the N-th carriage return on, none answered
  RecordFault dropEcho;      // the record is stored, its echo is lost
  RecordFault corruptEcho;   // one echoed digit is wrong
  RecordFault corruptReadBack;  // ordinal counts distinct read-back headers
  int serialErrorPrompts = 0;   // "*** serial port error" after N prompts
  int connectFromTry = 1;       // per image; 0 = never "connected"
  // Stop answering once event X has been seen ("name" or "name#N" for the
  // N-th occurrence; X itself goes unanswered) or from time T on.
  std::string silentAfterEvent;
  int64_t silentFromUs = kNever;
  std::string floodAfterEvent;  // same syntax; floodBytes without a line end
  size_t floodBytes = 0;
  bool nulInAnswers = false;    // NUL before each answer and after each LF
};

struct Verdict {
  bool romLoaderComplete = false;
  bool bootLoaderFlashed = false;
  bool kernelFlashed = false;
  bool ramdiskFlashed = false;
  std::vector<std::string> problems;

  bool complete() const {
    return romLoaderComplete && bootLoaderFlashed && kernelFlashed &&
           ramdiskFlashed;
  }
  bool ok() const { return complete() && problems.empty(); }
  // "key: value" lines, then one "problem: ..." line per problem.
  std::string toText() const;
};

struct OutByte {
  uint8_t byte;
  int64_t atUs;  // when the last bit of it has reached the PC
};

struct RxChunk {
  int64_t atUs;
  Bytes bytes;
};

// Event names, usable in silentAfterEvent / floodAfterEvent:
//   line:     open close break
//   boot ROM: probe cr record readback rom-end
//   blob:     blob-start autoboot key prompt command download download-end
//             flash-<image> flashed-<image> power-cycle status
//   USB disk: usbddisk connected usb-abandon disk-removed
struct Event {
  int64_t atUs;
  std::string name;
  std::string detail;
};

enum class Stage { BootRom, Blob };
enum class BlobState {
  Starting,       // blob not up yet (after the end record or a power cycle)
  AwaitKey,       // autoboot banner shown, any key gives the prompt
  Prompt,
  Download,       // uuencoded lines are arriving
  Flashing,
  UsbConnecting,
  UsbDisk,
};

class Module {
 public:
  explicit Module(ModuleConfig config = {});

  // --- the PC side of the line ------------------------------------------------
  void setLineSpeed(int baud);
  int lineSpeed() const { return lineSpeed_; }
  void open(int64_t now);
  // Everything not yet delivered is lost, as is whatever is sent while closed.
  void close(int64_t now);
  bool isOpen() const { return open_; }
  void receive(int64_t now, const uint8_t* data, size_t size);
  void receive(int64_t now, const std::string& text);
  void lineBreak(int64_t now, int durationMs);

  // --- the USB disk -----------------------------------------------------------
  std::function<void(const std::string& name)> onDiskAttach;
  std::function<std::optional<Bytes>(const std::string& name)> readDisk;
  void diskRemoved(int64_t now);

  // --- time -------------------------------------------------------------------
  void advance(int64_t now);
  // Earliest time a queued byte becomes available or an internal event is
  // due; kNever when nothing is pending.
  int64_t nextEventUs() const;
  // Bytes whose wire time has passed at `now` (runs due events first).
  Bytes takeOutput(int64_t now);
  std::string takeText(int64_t now);
  size_t queuedBytes() const { return out_.size(); }

  // --- inspection -------------------------------------------------------------
  std::function<void(const Event&)> onEvent;  // called as each event happens
  Stage stage() const { return stage_; }
  BlobState blobState() const { return blob_; }
  Verdict verdict() const;
  const std::vector<RxChunk>& received() const { return rx_; }
  std::string receivedText() const;
  const std::vector<Event>& events() const { return events_; }
  int eventCount(const std::string& name) const;
  // Byte-addressed: overlapping records behave as they would in RAM.
  const std::map<uint32_t, uint8_t>& romMemory() const { return memory_; }
  const Bytes& bootLoaderReceived() const { return blobData_; }
  const ModuleConfig& config() const { return cfg_; }

 private:
  struct Timed {
    int64_t atUs;
    uint64_t seq;
    std::function<void(int64_t)> action;
  };

  void schedule(int64_t at, std::function<void(int64_t)> action);
  void event(int64_t now, const std::string& name,
             const std::string& detail = {});
  void problem(const std::string& text);
  void emit(int64_t now, const std::string& text, bool addReplyDelay = true);
  void emitPrompt(int64_t now);
  int64_t byteTimeUs() const;
  bool speedMatches() const;

  void romByte(int64_t now, uint8_t b);
  void romRecord(int64_t now, const std::string& wireText);
  void romWrite(int64_t now, const Record& r, const std::string& wireText);
  void romReadBack(int64_t now, const Record& r, const std::string& wireText);
  void startBlob(int64_t now);

  void blobByte(int64_t now, uint8_t b);
  void blobBanner(int64_t now);
  void command(int64_t now, const std::string& line);
  void downloadLine(int64_t now, const std::string& line);
  void flash(int64_t now, const std::string& name);
  void usbDisk(int64_t now, const std::string& name);
  void finishFlash(int64_t now, const std::string& name);

  ModuleConfig cfg_;
  int lineSpeed_ = kBlobBaud;
  bool open_ = false;
  bool silent_ = false;

  std::deque<OutByte> out_;
  int64_t wireFreeAtUs_ = 0;
  std::vector<Timed> timed_;
  uint64_t seq_ = 0;

  std::vector<RxChunk> rx_;
  std::vector<Event> events_;
  std::map<std::string, int> eventCounts_;
  std::vector<std::string> problems_;

  Stage stage_ = Stage::BootRom;
  BlobState blob_ = BlobState::Starting;

  // boot ROM
  std::string romBuf_;
  bool afterCr_ = false;
  int crCount_ = 0;
  bool romEnded_ = false;
  std::map<uint32_t, uint8_t> memory_;
  std::map<std::string, int> recordOrdinal_;
  std::map<std::string, int> recordAttempts_;
  std::map<std::string, int> readBackOrdinal_;
  std::map<std::string, int> readBackAttempts_;
  std::vector<Record> expected_;  // write records from the ROM loader file
  std::set<std::string> expectedTexts_;

  // blob
  std::string line_;
  int prompts_ = 0;
  bool downloadBegun_ = false;
  bool downloadDone_ = false;
  int downloadLines_ = 0;
  Bytes blobData_;
  uint64_t usbSession_ = 0;
  std::string usbName_;
  std::map<std::string, int> usbTries_;
  std::set<std::string> diskReceived_;
  bool bootLoaderFlashed_ = false;
  bool kernelFlashed_ = false;
  bool ramdiskFlashed_ = false;
};

}  // namespace devmodel
