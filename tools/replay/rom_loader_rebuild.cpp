#include "rom_loader_rebuild.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace replay {
namespace {

// The program reads the file with a buffer of 80: 79 characters a piece.
const std::size_t kPiece = 79;
const char kEndRecord[] = "0871800000";
const char kPartialEchoRecord[] = "0021B000C4E7400402";

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool special(const std::string& text) {
  return text.find(kEndRecord) != std::string::npos ||
         text.find(kPartialEchoRecord) != std::string::npos;
}

// What the program writes where an upload stops, other than more of the
// file: the lines that end a pass.
bool endsPass(const std::string& t) {
  static const char* const kEndings[] = {
      "Closing com port: ", "Errore di verifica!", "The ROM loader file ",
      "Porte seriali:", "Spegni e riaccendi il robot", "Procedura non completata",
      "Serial port failed", "Nessuna porta seriale trovata!"};
  for (const char* ending : kEndings)
    if (startsWith(t, ending)) return true;
  return false;
}

// The header the program sends to read back what a record stored.
std::string readBackHeader(const std::string& record) {
  if (record.size() < 10) return std::string();
  unsigned control =
      static_cast<unsigned>(std::strtoul(record.substr(8, 2).c_str(), nullptr, 16));
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02X", (control | 0x20u) & 0xFFu);
  return record.substr(0, 8) + digits;
}

// One upload of the file, from CONNESSO! to where it stopped: the pieces
// of the file the program read, in order.
struct Upload {
  struct Piece {
    std::string text;
    bool sent;  // a record, or a line sent whole
  };
  std::vector<Piece> pieces;
  bool endOfFile = false;  // the upload stopped where the file ended
  enum class Wait { Line, Record, ReadBack } wait = Wait::Line;
  std::string record;  // the record being sent or read back

  void logged(const std::string& text) { pieces.push_back({text, false}); }

  void sent(const std::string& text) {
    if (wait == Wait::Record && text == record) return;  // a retry
    if (wait == Wait::ReadBack && text == readBackHeader(record)) return;
    pieces.push_back({text, true});
    record = text;
    wait = special(text) ? Wait::Line : Wait::Record;
  }

  // An attempt ends in the '/' that acknowledges it.
  void received(const Entry& e) {
    if (!e.closed || e.bytes.empty() || e.bytes.back() != '/') return;
    if (wait == Wait::Record && record.find("0871") != std::string::npos &&
        record.size() >= 10)
      wait = Wait::ReadBack;
    else
      wait = Wait::Line;
  }

  // The pass stopped at the program's line `ending`. The empty lines the
  // program wrote before it are not the file's: one before it tells of the
  // end of the file; after a record that failed, no more of the file was
  // read, so every one is the program's.
  void stop(const std::string& ending) {
    endOfFile = startsWith(ending, "The ROM loader file ended");
    std::size_t own = endOfFile ? 1 : pieces.size();
    while (own > 0 && !pieces.empty() && !pieces.back().sent &&
           pieces.back().text.empty()) {
      pieces.pop_back();
      --own;
    }
  }

  std::string text() const {
    std::vector<std::string> lines;
    bool open = false;       // the last piece did not end its line
    bool cutRecord = false;  // the last line is a record that may have had more
    for (const Piece& p : pieces) {
      // A piece that the program would have sent, had it started a line,
      // continues the line before it.
      bool continues = !p.sent && (open || (cutRecord && !p.text.empty() &&
                                            (isHex(p.text[0]) || special(p.text))));
      if (continues && !open) {
        // The record was cut at its first character that is not a digit;
        // what followed up to the end of the piece is not in the log.
        lines.back().resize(kPiece, ' ');
      }
      if (continues) lines.back() += p.text;
      else lines.push_back(p.text);
      open = p.text.size() == kPiece;
      cutRecord = p.sent && !open && !special(p.text);
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      out += lines[i];
      // A piece of 79 at the very end: the file ended without a line end.
      if (i + 1 < lines.size() || !(open && endOfFile)) out += "\r\n";
    }
    return out;
  }
};

}  // namespace

std::string rebuildRomLoader(const FieldLog& log) {
  std::string best;
  Upload upload;
  bool inPass = false;
  auto keep = [&](const Upload& u) {
    std::string text = u.text();
    if (text.size() > best.size()) best = text;
  };
  for (const Entry& e : log.entries) {
    if (e.kind == EntryKind::Text && e.bytes.find("CONNESSO!") != std::string::npos) {
      if (inPass) keep(upload);
      upload = Upload();
      inPass = true;
      continue;
    }
    if (!inPass) continue;
    if (e.kind == EntryKind::Text) {
      // The last piece of a log cut short may be the start of anything.
      if (log.cutShort && e.end >= log.raw.size()) continue;
      if (endsPass(e.bytes)) {
        upload.stop(e.bytes);
        keep(upload);
        inPass = false;
        continue;
      }
      std::string line = e.bytes;
      if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
        line.resize(line.size() - 2);
      upload.logged(line);
    } else if (e.kind == EntryKind::Sent) {
      if (e.bytes != "\r") upload.sent(e.bytes);
    } else {
      upload.received(e);
    }
  }
  if (inPass) keep(upload);
  // A log cut short during the upload does not show the record that came
  // next, but the program must have one to send: any record serves, since
  // the log ends before its text.
  if (log.cutShort && best.find(kEndRecord) == std::string::npos)
    best += "A0000000\r\n";
  return best;
}

}  // namespace replay
