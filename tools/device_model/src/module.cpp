#include "devmodel/module.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "devmodel/uucode.h"

namespace devmodel {

namespace {

constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;
constexpr uint8_t kEsc = 0x1B;
constexpr const char* kPrompt = "blob> ";
constexpr const char* kSerialError = "\r\n*** serial port error\r\n";
constexpr int64_t kSerialErrorLagUs = 20000;
constexpr size_t kMaxCommandLine = 256;

std::string hex8(uint32_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::string describeBytes(const Bytes& got, const Bytes& want) {
  size_t n = std::min(got.size(), want.size());
  size_t i = 0;
  while (i < n && got[i] == want[i]) ++i;
  std::ostringstream s;
  s << got.size() << " bytes received, " << want.size() << " expected";
  if (i < n || got.size() != want.size()) s << ", first difference at offset " << i;
  return s.str();
}

// "name" or "name#N": does the occurrence `count` of `name` trigger it?
bool eventMatches(const std::string& trigger, const std::string& name, int count) {
  if (trigger.empty()) return false;
  auto hash = trigger.find('#');
  if (hash == std::string::npos) return trigger == name && count == 1;
  return trigger.substr(0, hash) == name &&
         std::atoi(trigger.c_str() + hash + 1) == count;
}

// A digit that is still hex but certainly different.
char otherDigit(char c) { return c == '0' ? '1' : '0'; }

}  // namespace

std::string Verdict::toText() const {
  auto yn = [](bool b) { return b ? "yes" : "no"; };
  std::ostringstream s;
  s << "ok: " << yn(ok()) << "\n"
    << "romLoaderComplete: " << yn(romLoaderComplete) << "\n"
    << "bootLoaderFlashed: " << yn(bootLoaderFlashed) << "\n"
    << "kernelFlashed: " << yn(kernelFlashed) << "\n"
    << "ramdiskFlashed: " << yn(ramdiskFlashed) << "\n";
  for (const auto& p : problems) s << "problem: " << p << "\n";
  return s.str();
}

Module::Module(ModuleConfig config) : cfg_(std::move(config)) {
  if (cfg_.romLoaderText) {
    RomLoaderFile file = parseRomLoaderText(*cfg_.romLoaderText);
    for (const auto& e : file.errors) problem("ROM loader file: " + e);
    for (const auto& r : file.records) {
      if (r.readBack() || r.text == kEndRecord) continue;
      expected_.push_back(r);
      expectedTexts_.insert(r.text);
    }
  }
  if (!cfg_.expectedBootLoader && cfg_.expectedBootLoaderUue) {
    std::string error;
    cfg_.expectedBootLoader = uudecode(*cfg_.expectedBootLoaderUue, &error);
    if (!cfg_.expectedBootLoader) problem("expected boot loader file: " + error);
  }
  if (cfg_.startInBlob) {
    stage_ = Stage::Blob;
    blob_ = BlobState::Starting;
    schedule(cfg_.blobStartDelayUs, [this](int64_t t) { startBlob(t); });
  }
}

// ---------------------------------------------------------------- plumbing

void Module::schedule(int64_t at, std::function<void(int64_t)> action) {
  timed_.push_back({at, seq_++, std::move(action)});
}

void Module::event(int64_t now, const std::string& name,
                   const std::string& detail) {
  events_.push_back({now, name, detail});
  if (onEvent) onEvent(events_.back());
  int count = ++eventCounts_[name];
  if (eventMatches(cfg_.silentAfterEvent, name, count)) silent_ = true;
  if (eventMatches(cfg_.floodAfterEvent, name, count) && cfg_.floodBytes > 0)
    emit(now, std::string(cfg_.floodBytes, '#'));
}

int Module::eventCount(const std::string& name) const {
  auto it = eventCounts_.find(name);
  return it == eventCounts_.end() ? 0 : it->second;
}

void Module::problem(const std::string& text) { problems_.push_back(text); }

int64_t Module::byteTimeUs() const {
  return lineSpeed_ > 0 ? 10 * 1000000LL / lineSpeed_ : 0;
}

bool Module::speedMatches() const {
  if (stage_ == Stage::Blob) return lineSpeed_ == kBlobBaud;
  return cfg_.answerBaud == 0 || lineSpeed_ == cfg_.answerBaud;
}

void Module::emit(int64_t now, const std::string& text, bool addReplyDelay) {
  if (!open_ || silent_ || text.empty()) return;
  int64_t start = now + (addReplyDelay ? cfg_.replyDelayUs : 0);
  if (start >= cfg_.silentFromUs) return;
  if (!speedMatches() && !cfg_.garbageAtWrongBaud) return;
  std::string wire;
  if (cfg_.nulInAnswers) wire += '\0';
  for (char c : text) {
    wire += c;
    if (cfg_.nulInAnswers && c == '\n') wire += '\0';
  }
  int64_t t = std::max(start, wireFreeAtUs_);
  const int64_t perByte = byteTimeUs();
  const bool mangle = !speedMatches();
  for (char c : wire) {
    t += perByte;
    uint8_t b = static_cast<uint8_t>(c);
    // Seen at the wrong rate a byte never decodes to plain ASCII.
    if (mangle) b = static_cast<uint8_t>(0x80 | (b ^ 0x55));
    out_.push_back({b, t});
  }
  wireFreeAtUs_ = t;
}

void Module::setLineSpeed(int baud) { lineSpeed_ = baud; }

void Module::open(int64_t now) {
  advance(now);
  if (open_) return;
  open_ = true;
  event(now, "open", std::to_string(lineSpeed_));
  // Between the PC's passes the operator restarts the robot: the boot ROM
  // listens for a fresh probe, whatever half-record it was in.
  if (stage_ == Stage::BootRom) {
    romBuf_.clear();
    afterCr_ = false;
  }
  if (stage_ == Stage::Blob && cfg_.bannerOnOpen &&
      (blob_ == BlobState::AwaitKey || blob_ == BlobState::Prompt))
    blobBanner(now);
}

void Module::close(int64_t now) {
  advance(now);
  if (!open_) return;
  open_ = false;
  out_.clear();
  wireFreeAtUs_ = now;
  event(now, "close");
}

void Module::advance(int64_t now) {
  for (;;) {
    auto it = std::min_element(timed_.begin(), timed_.end(),
                               [](const Timed& a, const Timed& b) {
                                 return a.atUs != b.atUs ? a.atUs < b.atUs
                                                         : a.seq < b.seq;
                               });
    if (it == timed_.end() || it->atUs > now) return;
    Timed due = std::move(*it);
    timed_.erase(it);
    due.action(due.atUs);
  }
}

int64_t Module::nextEventUs() const {
  int64_t next = kNever;
  if (!out_.empty()) next = out_.front().atUs;
  for (const auto& t : timed_) next = std::min(next, t.atUs);
  return next;
}

Bytes Module::takeOutput(int64_t now) {
  advance(now);
  // Sized once, not grown byte by byte: the line is polled every few
  // milliseconds and each poll takes what arrived since, often dozens of
  // bytes.
  size_t due = 0;
  while (due < out_.size() && out_[due].atUs <= now) ++due;
  Bytes got(due);
  for (size_t i = 0; i < due; ++i) {
    got[i] = out_.front().byte;
    out_.pop_front();
  }
  return got;
}

std::string Module::takeText(int64_t now) {
  Bytes b = takeOutput(now);
  return std::string(b.begin(), b.end());
}

std::string Module::receivedText() const {
  std::string s;
  for (const auto& c : rx_) s.append(c.bytes.begin(), c.bytes.end());
  return s;
}

void Module::receive(int64_t now, const std::string& text) {
  receive(now, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void Module::receive(int64_t now, const uint8_t* data, size_t size) {
  advance(now);
  if (size == 0) return;
  rx_.push_back({now, Bytes(data, data + size)});
  if (!open_) return;
  for (size_t i = 0; i < size; ++i) {
    if (!speedMatches()) {
      // The module cannot make sense of the bytes; a ROM at the wrong rate
      // still reacts to the noise.
      if (stage_ == Stage::BootRom && cfg_.garbageAtWrongBaud)
        emit(now, std::string(1, '\xF0'));
      continue;
    }
    if (stage_ == Stage::BootRom)
      romByte(now, data[i]);
    else
      blobByte(now, data[i]);
  }
}

void Module::lineBreak(int64_t now, int durationMs) {
  advance(now);
  event(now, "break", std::to_string(durationMs));
  if (durationMs < cfg_.breakMinMs || stage_ != Stage::Blob) return;
  switch (blob_) {
    case BlobState::AwaitKey:
    case BlobState::Prompt:
    case BlobState::Download:
      blobBanner(now);
      break;
    default:
      break;  // busy: the break goes unnoticed
  }
}

// ---------------------------------------------------------------- boot ROM

void Module::romByte(int64_t now, uint8_t b) {
  if (b == 'a' && romBuf_.empty() && !afterCr_) {
    event(now, "probe");
    emit(now, cfg_.probePrefix + ":");
    return;
  }
  if (b == kCr) {
    if (!romBuf_.empty()) problem("boot ROM: incomplete record discarded: " + romBuf_);
    romBuf_.clear();
    afterCr_ = true;
    ++crCount_;
    event(now, "cr");
    if (cfg_.ignoreCr == -1 || crCount_ <= cfg_.ignoreCr) return;
    if (cfg_.ignoreCrFrom > 0 && crCount_ >= cfg_.ignoreCrFrom) return;
    emit(now, "\r");
    return;
  }
  if (!isHexDigit(static_cast<char>(b))) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "boot ROM: garbage byte 0x%02X after \"", b);
    problem(buf + romBuf_ + "\"");
    romBuf_.clear();
    return;
  }
  romBuf_ += static_cast<char>(b);
  if (romBuf_.size() < kRecordHeaderChars) return;
  uint8_t control = static_cast<uint8_t>(
      std::stoul(romBuf_.substr(8, 2), nullptr, 16));
  if (romBuf_.size() < recordLength(control)) return;
  std::string text = romBuf_;
  romBuf_.clear();
  afterCr_ = false;
  romRecord(now, text);
}

void Module::romRecord(int64_t now, const std::string& wireText) {
  auto r = parseRecord(wireText);
  if (!r) return;  // cannot happen: length and digits were checked
  if (r->text == kEndRecord) {
    event(now, "rom-end");
    romEnded_ = true;
    stage_ = Stage::Blob;
    blob_ = BlobState::Starting;
    schedule(now + cfg_.blobStartDelayUs, [this](int64_t t) { startBlob(t); });
    return;
  }
  if (r->readBack())
    romReadBack(now, *r, wireText);
  else
    romWrite(now, *r, wireText);
}

void Module::romWrite(int64_t now, const Record& r, const std::string& wireText) {
  auto ins = recordOrdinal_.emplace(r.text, static_cast<int>(recordOrdinal_.size()) + 1);
  int ordinal = ins.first->second;
  int attempt = ++recordAttempts_[r.text];
  event(now, "record", r.text);
  for (size_t i = 0; i < r.data.size(); ++i) memory_[r.address + static_cast<uint32_t>(i)] = r.data[i];
  if (cfg_.romLoaderText && !expectedTexts_.count(r.text) && attempt == 1)
    problem("boot ROM: stored a record that is not in the ROM loader file: " + r.text);

  if (r.text == kPartialEchoRecord) {
    // The write retimes the ROM's UART mid-echo.
    emit(now, wireText.substr(0, kPartialEchoChars));
    return;
  }
  if (cfg_.dropEcho.hits(ordinal, attempt)) return;
  std::string echo = wireText;
  if (cfg_.corruptEcho.hits(ordinal, attempt)) echo.back() = otherDigit(echo.back());
  emit(now, echo + "/");
}

void Module::romReadBack(int64_t now, const Record& r, const std::string& wireText) {
  auto ins = readBackOrdinal_.emplace(r.text, static_cast<int>(readBackOrdinal_.size()) + 1);
  int ordinal = ins.first->second;
  int attempt = ++readBackAttempts_[r.text];
  event(now, "readback", r.text);
  Bytes data(r.count(), 0xFF);  // erased memory
  for (size_t i = 0; i < data.size(); ++i) {
    auto it = memory_.find(r.address + static_cast<uint32_t>(i));
    if (it != memory_.end()) data[i] = it->second;
  }
  std::string text = hexText(data);
  if (!text.empty() && cfg_.corruptReadBack.hits(ordinal, attempt))
    text[0] = otherDigit(text[0]);
  emit(now, wireText + text + "/");
}

// ---------------------------------------------------------------- blob

void Module::startBlob(int64_t now) {
  event(now, "blob-start");
  line_.clear();
  downloadBegun_ = downloadDone_ = false;
  diskReceived_.clear();
  blobBanner(now);
}

void Module::blobBanner(int64_t now) {
  blob_ = BlobState::AwaitKey;
  line_.clear();
  event(now, "autoboot");
  emit(now,
       "\r\nblob version 2.0.5 (device model)\r\n"
       "Autoboot in progress, press any key to stop ...\r\n");
}

void Module::emitPrompt(int64_t now) {
  ++prompts_;
  event(now, "prompt");
  emit(now, std::string("\r\n") + kPrompt);
  if (prompts_ <= cfg_.serialErrorPrompts)
    schedule(now + cfg_.replyDelayUs + kSerialErrorLagUs,
             [this](int64_t t) { emit(t, kSerialError, false); });
}

void Module::blobByte(int64_t now, uint8_t b) {
  switch (blob_) {
    case BlobState::Starting:
      return;
    case BlobState::AwaitKey:
      event(now, "key");
      blob_ = BlobState::Prompt;
      emitPrompt(now);
      return;
    case BlobState::Flashing:
      problem("blob: byte 0x" + hexText({b}) + " received while flashing");
      return;
    case BlobState::UsbConnecting:
    case BlobState::UsbDisk:
      if (b == kEsc) {
        event(now, "usb-abandon", usbName_);
        ++usbSession_;
        blob_ = BlobState::Prompt;
        emitPrompt(now);
      } else {
        problem("blob: byte 0x" + hexText({b}) + " received while the USB disk is up");
      }
      return;
    case BlobState::Download:
      if (b == kLf) {
        std::string l = line_;
        line_.clear();
        if (!l.empty() && l.back() == '\r') l.pop_back();
        downloadLine(now, l);
      } else {
        line_ += static_cast<char>(b);
      }
      return;
    case BlobState::Prompt:
      break;
  }
  if (b == kLf) {
    std::string l = line_;
    line_.clear();
    command(now, l);
  } else if (b == kCr || b == kEsc) {
    // CR LF endings and a stray escape leave the line alone.
  } else if (b == 0x08 || b == 0x7F) {
    if (!line_.empty()) line_.pop_back();
  } else if (b >= 0x20 && b < 0x7F) {
    if (line_.size() < kMaxCommandLine) line_ += static_cast<char>(b);
    if (cfg_.echoCommands) emit(now, std::string(1, static_cast<char>(b)));
  } else {
    problem("blob: control byte 0x" + hexText({b}) + " at the prompt");
  }
}

void Module::command(int64_t now, const std::string& line) {
  std::istringstream in(line);
  std::string verb, arg, extra;
  in >> verb >> arg >> extra;
  if (verb.empty()) {
    emitPrompt(now);
    return;
  }
  event(now, "command", line);
  bool image = arg == "kernel" || arg == "ramdisk";
  if (verb == "download" && arg == "blob" && extra.empty()) {
    event(now, "download");
    blob_ = BlobState::Download;
    downloadBegun_ = downloadDone_ = false;
    downloadLines_ = 0;
    blobData_.clear();
    emit(now, "\r\ndownloading blob, send the uuencoded file\r\n");
  } else if (verb == "flash" && (arg == "blob" || image) && extra.empty()) {
    flash(now, arg);
  } else if (verb == "usbddisk" && image && extra.empty()) {
    usbDisk(now, arg);
  } else if (verb == "status" && arg.empty()) {
    event(now, "status");
    auto have = [this](const std::string& n) {
      return diskReceived_.count(n) ? "received" : "none";
    };
    emit(now, "\r\nstatus: blob " + std::string(downloadDone_ ? "received" : "none") +
                  ", kernel " + have("kernel") + ", ramdisk " + have("ramdisk") + "\r\n");
    emitPrompt(now);
  } else {
    problem("blob: unknown command \"" + line + "\"");
    emit(now, "\r\nunknown command\r\n");
    emitPrompt(now);
  }
}

void Module::downloadLine(int64_t now, const std::string& line) {
  ++downloadLines_;
  if (cfg_.downloadDotEveryLines > 0 && downloadLines_ % cfg_.downloadDotEveryLines == 0)
    emit(now, ".");
  if (!downloadBegun_) {
    if (line.compare(0, 6, "begin ") == 0)
      downloadBegun_ = true;
    else if (!line.empty())
      problem("blob: text before the uuencode header: \"" + line.substr(0, 40) + "\"");
    return;
  }
  if (line.empty()) return;
  if (line == "end") {
    event(now, "download-end", std::to_string(blobData_.size()));
    downloadDone_ = true;
    blob_ = BlobState::Prompt;
    emit(now, "\r\nreceived " + std::to_string(blobData_.size()) + " bytes\r\n");
    emitPrompt(now);
    return;
  }
  auto part = uudecodeLine(line);
  if (!part) {
    problem("blob: malformed uuencoded line " + std::to_string(downloadLines_) + ": \"" +
            line.substr(0, 40) + "\"");
    return;
  }
  blobData_.insert(blobData_.end(), part->begin(), part->end());
}

void Module::flash(int64_t now, const std::string& name) {
  event(now, "flash-" + name);
  std::optional<Bytes> data;
  if (name == "blob") {
    if (downloadDone_) data = blobData_;
  } else if (diskReceived_.count(name) && readDisk) {
    data = readDisk(name);
  }
  if (!data) {
    problem("blob: flash " + name + " without the image having been received");
    emit(now, "\r\nflash " + name + ": not downloaded\r\n");
    emitPrompt(now);
    return;
  }
  const std::optional<Bytes>& want = name == "blob"     ? cfg_.expectedBootLoader
                                     : name == "kernel" ? cfg_.expectedKernel
                                                        : cfg_.expectedRamdisk;
  bool good = !want || *data == *want;
  if (!good) problem(name + " image differs from the expected one: " + describeBytes(*data, *want));
  bool& flag = name == "blob" ? bootLoaderFlashed_
               : name == "kernel" ? kernelFlashed_ : ramdiskFlashed_;
  flag = flag || good;

  int64_t delay = name == "blob"     ? cfg_.flashBlobDelayUs
                  : name == "kernel" ? cfg_.flashKernelDelayUs
                                     : cfg_.flashRamdiskDelayUs;
  blob_ = BlobState::Flashing;
  emit(now, "\r\nflashing " + name + " (" + std::to_string(data->size()) + " bytes) ...\r\n");
  schedule(now + cfg_.replyDelayUs + delay, [this, name](int64_t t) { finishFlash(t, name); });
}

void Module::finishFlash(int64_t now, const std::string& name) {
  event(now, "flashed-" + name);
  blob_ = BlobState::Prompt;
  emit(now, "done\r\n", false);
  emitPrompt(now);
  if (name == "blob" && cfg_.powerCycleDelayUs != kNever)
    schedule(now + cfg_.powerCycleDelayUs, [this](int64_t t) {
      event(t, "power-cycle");
      blob_ = BlobState::Starting;
      ++usbSession_;
      schedule(t + cfg_.blobStartDelayUs, [this](int64_t s) { startBlob(s); });
    });
}

void Module::usbDisk(int64_t now, const std::string& name) {
  int attempt = ++usbTries_[name];
  event(now, "usbddisk", name);
  blob_ = BlobState::UsbConnecting;
  usbName_ = name;
  uint64_t session = ++usbSession_;
  emit(now, "\r\nUSB disk " + name + ": waiting for the host\r\n");
  if (cfg_.connectFromTry <= 0 || attempt < cfg_.connectFromTry) return;
  schedule(now + cfg_.replyDelayUs + cfg_.connectDelayUs, [this, session, name](int64_t t) {
    if (session != usbSession_ || blob_ != BlobState::UsbConnecting) return;
    blob_ = BlobState::UsbDisk;
    event(t, "connected", name);
    emit(t, "connected\r\n", false);
    if (onDiskAttach) onDiskAttach(name);
  });
}

void Module::diskRemoved(int64_t now) {
  advance(now);
  event(now, "disk-removed", usbName_);
  if (blob_ != BlobState::UsbDisk) {
    problem("USB disk removed while none was presented");
    return;
  }
  diskReceived_.insert(usbName_);
  ++usbSession_;
  blob_ = BlobState::Prompt;
  emit(now, "\r\nUSB disk " + usbName_ + " released\r\n");
  emitPrompt(now);
}

// ---------------------------------------------------------------- verdict

Verdict Module::verdict() const {
  Verdict v;
  v.problems = problems_;
  bool romOk = romEnded_ || cfg_.startInBlob;
  if (cfg_.romLoaderText && !cfg_.startInBlob) {
    // Later records may overwrite earlier ones; judge each byte against the
    // last record in the file that writes it.
    std::map<uint32_t, uint8_t> want;
    for (const auto& r : expected_)
      for (size_t i = 0; i < r.data.size(); ++i) want[r.address + static_cast<uint32_t>(i)] = r.data[i];
    for (const auto& r : expected_) {
      Bytes got;
      bool differs = false, anyStored = r.data.empty();
      for (size_t i = 0; i < r.data.size(); ++i) {
        uint32_t a = r.address + static_cast<uint32_t>(i);
        auto it = memory_.find(a);
        anyStored = anyStored || it != memory_.end();
        got.push_back(it == memory_.end() ? 0xFF : it->second);
        if (want[a] == r.data[i] && got.back() != r.data[i]) differs = true;
      }
      if (!anyStored) {
        v.problems.push_back("boot ROM: record never arrived: " + r.text);
        romOk = false;
      } else if (differs) {
        v.problems.push_back("boot ROM: memory at " + hex8(r.address) + " holds " + hexText(got) +
                             ", record was " + r.text);
        romOk = false;
      }
    }
    for (const auto& p : problems_)
      if (p.compare(0, 9, "boot ROM:") == 0) romOk = false;
  }
  v.romLoaderComplete = romOk;
  v.bootLoaderFlashed = bootLoaderFlashed_;
  v.kernelFlashed = kernelFlashed_;
  v.ramdiskFlashed = ramdiskFlashed_;
  return v;
}

}  // namespace devmodel
