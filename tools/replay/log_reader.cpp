#include "log_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "program_lines.h"

namespace replay {
namespace {

const char kCrLf[] = "\r\n";
// The most the boot loader's download takes from the line at once.
const std::size_t kLongestBlock = 4095;

// Asked at nearly every byte of a log, for many texts: the first byte
// settles most places before a comparison of the rest.
bool startsAt(const std::string& s, std::size_t at, const std::string& what) {
  if (what.empty()) return at <= s.size();
  return at < s.size() && s[at] == what[0] && s.size() - at >= what.size() &&
         s.compare(at, what.size(), what) == 0;
}

// Received bytes back from their logged form: the log is a text-mode
// stream, so every line feed received was stored as CR LF.
std::string decode(const std::string& raw, std::size_t from, std::size_t to) {
  std::string out;
  out.reserve(to - from);
  for (std::size_t i = from; i < to; ++i) {
    if (raw[i] == '\r' && i + 1 < to && raw[i + 1] == '\n') continue;
    out += raw[i];
  }
  return out;
}

// Where `what` starts in s between at and limit, or npos: a search that
// never runs past the line it is about.
std::size_t findWithin(const std::string& s, const char* what, std::size_t at,
                       std::size_t limit) {
  std::size_t length = std::char_traits<char>::length(what);
  // A match starts before limit and may end past it.
  std::size_t end = std::min(s.size(), std::min(limit, s.size()) + length - 1);
  if (at >= end) return std::string::npos;
  auto found = std::search(s.begin() + static_cast<std::ptrdiff_t>(at),
                           s.begin() + static_cast<std::ptrdiff_t>(end), what, what + length);
  return found == s.begin() + static_cast<std::ptrdiff_t>(end)
             ? std::string::npos
             : static_cast<std::size_t>(found - s.begin());
}

bool endsWith(const std::string& s, const std::string& tail) {
  return !tail.empty() && s.size() >= tail.size() &&
         s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ||
         (c >= 'a' && c <= 'f');
}

struct Reader {
  FieldLog& log;
  const std::string& s;
  Phase phase = Phase::Start;
  std::string lastSent;    // last sent text of more than one byte
  std::string lastRecord;  // last record sent to the boot ROM
  bool afterSend = false;           // the last entry was a send
  bool probeAnswer = false;         // the next stream is the probe's answer
  bool downloadBlocks = false;      // blocks of the boot loader download

  Reader(FieldLog& l) : log(l), s(l.raw) {}

  // The program's texts by their first byte: only the texts that begin with
  // the byte found at a place are compared there.
  static const std::array<std::vector<const std::string*>, 256>& byFirstByte() {
    static const std::array<std::vector<const std::string*>, 256> table = [] {
      std::array<std::vector<const std::string*>, 256> t;
      for (const std::string& text : pieceOpenings())
        t[static_cast<unsigned char>(text[0])].push_back(&text);
      return t;
    }();
    return table;
  }

  bool programTextAt(std::size_t at) const {
    if (at >= s.size()) return false;
    for (const std::string* t : byFirstByte()[static_cast<unsigned char>(s[at])])
      if (startsAt(s, at, *t)) return true;
    return false;
  }

  // The first place from p on where received bytes can end: an arrow, a
  // line end or one of the program's texts; s.size() when none is left.
  // Most bytes received can start none of them, and every place between
  // would be looked at in vain.
  std::size_t nextPossibleEnd(std::size_t p) const {
    static const std::array<bool, 256> starts = [] {
      std::array<bool, 256> t{};
      t[' '] = t['\r'] = true;
      for (std::size_t b = 0; b < t.size(); ++b)
        if (!byFirstByte()[b].empty()) t[b] = true;
      return t;
    }();
    while (p < s.size() && !starts[static_cast<unsigned char>(s[p])]) ++p;
    return p;
  }

  // What a wait of the current phase can have been waiting for, found at
  // the end of the received bytes: the wait ended on it.
  bool endsOnAwaited(const std::string& received) const {
    if (phase == Phase::RomLoader) {
      if (endsWith(received, "\r") || endsWith(received, "/")) return true;
      if (lastSent.size() > 1 && endsWith(received, lastSent)) return true;
      if (lastRecord.size() > 10 && endsWith(received, lastRecord.substr(10)))
        return true;
      return endsWith(received, "0021B000C4E74");
    }
    static const char* const kBlobTexts[] = {
        "blob>", "Autoboot", "Autoboot ", "downloading", "connected",
        "*** serial port error"};
    for (const char* t : kBlobTexts)
      if (endsWith(received, t)) return true;
    return false;
  }

  void problem(std::size_t at, const std::string& what) {
    log.problems.push_back({at, log.lineAt(at), what});
  }

  // The received bytes starting at q; returns where the log goes on.
  std::size_t received(std::size_t q, bool marked) {
    Entry e;
    e.kind = EntryKind::Received;
    e.begin = q;
    e.marked = marked;
    std::size_t blockCopy = 0;
    e.line = log.lineAt(q);
    std::size_t next = s.size();
    if (probeAnswer) {
      // The probe reads at most one byte and then ends its line. A line
      // feed received is stored as CR LF, so CR LF CR LF is that byte.
      // Anything else here is the main thread's, which gave up on a probe
      // that hung while it waited for the answer.
      probeAnswer = false;
      std::size_t n = startsAt(s, q, "\r\n\r\n")                  ? 2
                      : startsAt(s, q, kCrLf)                        ? 0
                      : q < s.size() && startsAt(s, q + 1, kCrLf)    ? 1
                                                                     : 0;
      e.end = std::min(s.size(), q + n);
      e.closed = startsAt(s, e.end, kCrLf);
      next = e.closed ? e.end + 2 : e.end;
      if (!e.closed && e.end < s.size() && !programTextAt(e.end))
        problem(e.end, "the probe's answer is not followed by a line end");
    } else {
      bool found = false;
      if (downloadBlocks) {
        // A block is logged, then logged again right after its line end as
        // a text, which ends at the block's first NUL; what follows is the
        // next block or the next send.
        // A block is at most what one read takes, each line feed in it
        // stored as two bytes.
        std::size_t longest = std::min(s.size(), q + 2 * kLongestBlock);
        std::size_t nul = std::string::npos;
        for (std::size_t p = q; p + 2 <= s.size() && p <= longest; ++p) {
          if (s[p] == '\0' && nul == std::string::npos) nul = p;
          if (!startsAt(s, p, kCrLf)) continue;
          std::size_t copy = (nul == std::string::npos ? p : nul) - q;
          std::size_t after = p + 2 + copy;
          if (p > q && after <= s.size() && s.compare(p + 2, copy, s, q, copy) == 0 &&
              (after == s.size() || startsAt(s, after, " <- ") ||
               startsAt(s, after, " -> "))) {
            e.end = p;
            e.block = true;
            e.closed = true;
            next = p + 2;
            blockCopy = copy;
            found = true;
            break;
          }
        }
      }
      for (std::size_t p = q; !found && p <= s.size(); ++p) {
        p = nextPossibleEnd(p);
        if (p == s.size()) {
          e.end = p;
          next = p;
          break;
        }
        if (startsAt(s, p, " -> ") || startsAt(s, p, " <- ")) {
          e.end = p;  // the wait timed out; the program went on writing
          next = p;
          break;
        }
        if (startsAt(s, p, kCrLf)) {
          // Only the end of the bytes so far matters: as much of it as the
          // longest text awaited, each line feed stored as two bytes.
          std::size_t window =
              2 * std::max<std::size_t>({lastSent.size(), lastRecord.size(), 32}) + 2;
          std::size_t from = p - q > window ? p - window : q;
          std::string soFar = decode(s, from, p);
          bool after = p + 2 == s.size() || startsAt(s, p + 2, " -> ") ||
                       startsAt(s, p + 2, " <- ") || startsAt(s, p + 2, kCrLf) ||
                       programTextAt(p + 2);
          if ((p > q || phase == Phase::RomLoader) && endsOnAwaited(soFar)) {
            e.end = p;
            e.closed = true;
            next = p + 2;
            break;
          }
          if (phase == Phase::RomLoader && (after || p == q)) {
            e.end = p;
            e.closed = true;
            next = p + 2;
            break;
          }
          if (p + 2 == s.size()) {
            // The log ends here. Every wait for blob leaves its entry open
            // unless it found its text, so a line end after bytes that hold
            // none was received: the log was cut while the wait went on.
            bool received = phase == Phase::Blob && !endsOnAwaited(soFar);
            e.end = received ? s.size() : p;
            e.closed = !received;
            next = s.size();
            break;
          }
        }
        if (p > q && programTextAt(p)) {
          e.end = p;
          next = p;
          break;
        }
        if (p == q && programTextAt(p) && !startsAt(s, p, kCrLf)) {
          e.end = p;
          next = p;
          break;
        }
      }
    }
    e.bytes = decode(s, e.begin, e.end);
    log.entries.push_back(e);
    if (e.block) {
      // The copy of the block is the program's.
      Entry copy;
      copy.begin = next;
      copy.end = next + blockCopy;
      copy.line = log.lineAt(next);
      copy.bytes = s.substr(next, blockCopy);
      log.entries.push_back(copy);
      next = copy.end;
    }
    return next;
  }

  std::size_t sent(std::size_t at) {
    std::size_t lineEnd = s.find(kCrLf, at + 4);
    Entry e;
    e.kind = EntryKind::Sent;
    e.begin = at + 4;
    e.line = log.lineAt(at);
    std::size_t next;
    if (lineEnd == std::string::npos) {
      e.end = s.size();
      next = s.size();
    } else {
      e.end = lineEnd;
      next = lineEnd + 2;
    }
    // A lone CR sent is stored as CR CR LF, a line feed sent as nothing.
    e.bytes = s.substr(e.begin, e.end - e.begin);
    if (e.bytes.empty() && lineEnd != std::string::npos) e.bytes = "\n";
    if (e.bytes.size() > 1) {
      lastSent = e.bytes;
      if (phase == Phase::RomLoader && isHex(e.bytes[0])) {
        bool header = lastRecord.size() > 10 && e.bytes.size() == 10 &&
                      lastRecord.find("0871") != std::string::npos &&
                      e.bytes.compare(0, 8, lastRecord, 0, 8) == 0;
        if (!header) lastRecord = e.bytes;
      }
    }
    if (e.bytes == "a" && phase == Phase::Probe) probeAnswer = true;
    downloadBlocks = false;
    log.entries.push_back(e);
    return next;
  }

  // The length of a text the program writes before an operation whose
  // outcome it then writes on the same line (opening a port, a probe that
  // goes on, an eject), or 0.
  std::size_t operationOpening(std::size_t at) const {
    static const char* const kOpenings[] = {"porta aperta: ",
                                            "Open com port at 115200: "};
    for (const char* t : kOpenings)
      if (startsAt(s, at, t)) return std::char_traits<char>::length(t);
    // "Rimozione disco X... ", then how the eject went.
    if (startsAt(s, at, "Rimozione disco ") && startsAt(s, at + 17, "... ")) return 21;
    if (!startsAt(s, at, "Connessione a ")) return 0;
    // "Connessione a NAME, baud rate N... "
    std::size_t lineEnd = std::min(s.find(kCrLf, at), s.size());
    for (std::size_t p = findWithin(s, ", baud rate ", at, lineEnd); p < lineEnd;
         p = findWithin(s, ", baud rate ", p + 1, lineEnd)) {
      std::size_t q = p + 12;
      while (q < lineEnd && s[q] >= '0' && s[q] <= '9') ++q;
      if (q > p + 12 && startsAt(s, q, "... ")) return q + 4 - at;
    }
    return 0;
  }

  // A piece of the program's own: up to its line end, or to the next
  // traffic entry on the same line.
  std::size_t text(std::size_t at) {
    std::size_t end = s.size(), next = s.size();
    std::size_t lineEnd = s.find(kCrLf, at);
    std::size_t opening = operationOpening(at);
    if (lineEnd == at) {
      end = at + 2;
      next = end;
    } else if (opening != 0 && (lineEnd == std::string::npos || at + opening < lineEnd)) {
      // What the operation led to follows on the same line.
      end = at + opening;
      next = end;
    } else if (phase == Phase::RomLoader) {
      // A line of the ROM loader file is logged whole, and nothing else is
      // logged on its line: a " -> " in a comment is the comment's.
      end = lineEnd == std::string::npos ? s.size() : lineEnd + 2;
      next = end;
    } else {
      std::size_t limit = lineEnd == std::string::npos ? s.size() : lineEnd;
      std::size_t send = findWithin(s, " -> ", at, limit);
      std::size_t receive = findWithin(s, " <- ", at, limit);
      std::size_t entry = std::min(send, receive);
      if (lineEnd != std::string::npos && lineEnd < entry) {
        end = lineEnd + 2;
        next = end;
      } else if (entry != std::string::npos) {
        end = entry;
        next = entry;
      }
    }
    Entry e;
    e.kind = EntryKind::Text;
    e.begin = at;
    e.end = end;
    e.line = log.lineAt(at);
    e.bytes = s.substr(at, end - at);
    log.entries.push_back(e);
    const std::string& t = e.bytes;
    if (t.find("Connessione a ") != std::string::npos) phase = Phase::Probe;
    if (t.find("CONNESSO!") != std::string::npos) {
      phase = Phase::RomLoader;
      lastRecord.clear();
    }
    if (t.find("Closing com port") != std::string::npos ||
        t.find("Open com port at") != std::string::npos)
      phase = Phase::Blob;
    if (t.find("Trasferimento blob in corso") != std::string::npos)
      downloadBlocks = true;
    return next;
  }

  void run() {
    std::size_t at = 0;
    // The configuration block: up to and including its empty line.
    if (startsAt(s, 0, "Nomi dei file:\r\n")) {
      std::size_t p = 0;
      while (p < s.size()) {
        std::size_t e = s.find(kCrLf, p);
        if (e == std::string::npos) break;
        std::string line = s.substr(p, e - p);
        p = e + 2;
        if (line.empty()) break;
        log.configuration.push_back(line);
      }
      at = p;
      log.configurationEnd = p;
      static const char* const kKeys[] = {"[BLOB TXT]: ", "[BLOB]: ",
                                          "[KERNEL]: ", "[RAMDISK]: "};
      for (const std::string& line : log.configuration) {
        for (int i = 0; i < 4; ++i)
          if (startsAt(line, 0, kKeys[i]))
            log.fileNames[i] = line.substr(std::char_traits<char>::length(kKeys[i]));
        if (startsAt(line, 0, "[COM PORT]: COM"))
          log.configuredPort = std::atoi(line.c_str() + 15);
      }
      if (log.configuration.size() < 6)
        problem(at, "the configuration block is incomplete");
    } else if (!s.empty()) {
      problem(0, "the log does not start with the configuration block");
    }
    const char* const kDefaults[] = {"blob-bootloader.txt", "blob.uue",
                                     "zImage", "cramfs.img"};
    for (int i = 0; i < 4; ++i)
      if (log.fileNames[i].empty()) log.fileNames[i] = kDefaults[i];

    while (at < s.size()) {
      std::size_t before = at;
      bool wasSend = afterSend;
      afterSend = false;
      if (startsAt(s, at, " -> ")) {
        at = sent(at);
        afterSend = true;
      } else if (startsAt(s, at, " <- ")) {
        at = received(at + 4, true);
      } else if (wasSend && !programTextAt(at) &&
                 (phase == Phase::RomLoader || phase == Phase::Blob)) {
        // A wait that found bytes left by one that timed out goes on
        // logging them without a mark of its own.
        at = received(at, false);
      } else {
        at = text(at);
      }
      if (at <= before) {
        problem(before, "the reader cannot go on here");
        break;
      }
    }
    for (const Entry& e : log.entries) {
      if (e.kind == EntryKind::Text && startsAt(e.bytes, 0, "Porta trovata: ")) {
        std::string name = e.bytes.substr(15);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
          name.pop_back();
        log.listedPorts.push_back(name);
      }
    }
    // A run ends with message 39 or after the last flash with its "Fatto"
    // and empty line.
    bool ended = endsWith(s, "Procedura non completata: riprovare dall'inizio\r\n") ||
                 (endsWith(s, "\r\nFatto\r\n\r\n") &&
                  s.find(" -> flash ramdisk") != std::string::npos);
    log.cutShort = !ended;
  }
};

}  // namespace

int FieldLog::lineAt(std::size_t offset) const {
  offset = std::min(offset, raw.size());
  if (lineFeeds.empty() && raw.find('\n') != std::string::npos)
    return 1 + static_cast<int>(std::count(raw.begin(), raw.begin() + offset, '\n'));
  return 1 + static_cast<int>(std::lower_bound(lineFeeds.begin(), lineFeeds.end(), offset) -
                              lineFeeds.begin());
}

std::string escapeBytes(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string FieldLog::describeTraffic() const {
  std::string out;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    char where[32];
    std::snprintf(where, sizeof where, "%6d ", e.line);
    if (e.kind == EntryKind::Text) {
      out += where + std::string("program  ") + escapeBytes(e.bytes) + "\n";
    } else if (e.kind == EntryKind::Sent) {
      out += where + std::string("sent     ") + escapeBytes(e.bytes) + "\n";
    } else if (e.kind == EntryKind::Received) {
      out += where + std::string(e.block ? "block    " : "received ") +
             (e.bytes.empty() ? std::string("(nothing)") : escapeBytes(e.bytes)) +
             (e.closed || e.block ? "" : "  [wait timed out]") + "\n";
    }
  }
  return out;
}

FieldLog readLog(const std::string& bytes) {
  FieldLog log;
  log.raw = bytes;
  // A log whose line ends were turned into bare LF (copied through a tool
  // that converts them) is read as stored by the program.
  // The program's text-mode stream never writes a line feed without a CR
  // before it; one that stands alone means every CR LF became LF.
  bool bareLineFeed = false;
  for (std::size_t i = 0; i < bytes.size() && !bareLineFeed; ++i)
    bareLineFeed = bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r');
  if (bareLineFeed) {
    std::string crlf;
    for (char c : bytes) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    log.raw = crlf;
    log.problems.push_back({0, 1, "the log has bare LF line ends (converted on the way); "
                                  "read with its CR LF restored"});
  }
  for (std::size_t i = 0; i < log.raw.size(); ++i)
    if (log.raw[i] == '\n') log.lineFeeds.push_back(i);
  Reader reader(log);
  reader.run();
  readPortSearches(log);
  return log;
}

}  // namespace replay
