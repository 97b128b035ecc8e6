#include "program_lines.h"

#include <algorithm>
#include <vector>

#include "app/catalogue.h"

namespace replay {
namespace {

// No line of the program is longer: the longest is an eject's line with a
// device id of 1023 characters.
const std::size_t kLongestLine = 4096;

struct LineFormat {
  LineId id;
  int message;         // -1: English
  std::string format;  // printf style: %s, %d, %u, %c, %%; line ends as written
};

// A format as a pattern: one token per character or directive.
enum class Token { Literal, Text, OneChar, Digit, Digits, OptionalMinus };

struct Pattern {
  LineId id;
  int message;
  std::vector<Token> tokens;
  std::string literals;  // the character of each Literal token, else 0
  std::string prefix;    // what every match begins with
};

std::string withoutLineEnds(std::string s) {
  while (!s.empty() && s.front() == '\n') s.erase(0, 1);
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// A line's pattern, without the line ends around it.
Pattern compile(const LineFormat& f) {
  Pattern p{f.id, f.message, {}, {}, {}};
  bool inPrefix = true;
  auto add = [&p](Token t, char c) {
    p.tokens.push_back(t);
    p.literals.push_back(c);
  };
  const std::string format = withoutLineEnds(f.format);
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c == '%' && i + 1 < format.size()) {
      char d = format[++i];
      if (d == '%') {
        add(Token::Literal, '%');
        if (inPrefix) p.prefix.push_back('%');
        continue;
      }
      inPrefix = false;
      if (d == 's') {
        add(Token::Text, 0);
      } else if (d == 'c') {
        add(Token::OneChar, 0);
      } else {
        if (d == 'd') add(Token::OptionalMinus, 0);
        add(Token::Digit, 0);
        add(Token::Digits, 0);
      }
      continue;
    }
    add(Token::Literal, c);
    if (inPrefix) p.prefix.push_back(c);
  }
  return p;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The pattern's states that a state reaches without taking a character.
void close(const Pattern& p, std::vector<char>& active) {
  for (std::size_t i = 0; i < p.tokens.size(); ++i) {
    Token t = p.tokens[i];
    if (active[i] && (t == Token::Text || t == Token::Digits || t == Token::OptionalMinus))
      active[i + 1] = 1;
  }
}

// Runs the text through the pattern as a set of states, so that the work
// grows with the text's length times the pattern's, whatever the text.
// 2: the whole text matches; 1: the text is the beginning of a match; 0.
int run(const Pattern& p, const std::string& text) {
  std::size_t n = p.tokens.size();
  std::vector<char> active(n + 1, 0), next(n + 1, 0);
  active[0] = 1;
  close(p, active);
  for (char c : text) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (!active[i]) continue;
      std::size_t to = n + 1;
      switch (p.tokens[i]) {
        case Token::Literal: to = c == p.literals[i] ? i + 1 : to; break;
        case Token::Text: to = i; break;
        case Token::OneChar: to = i + 1; break;
        case Token::Digit: to = isDigit(c) ? i + 1 : to; break;
        case Token::Digits: to = isDigit(c) ? i : to; break;
        case Token::OptionalMinus: to = c == '-' ? i + 1 : to; break;
      }
      if (to <= n) {
        next[to] = 1;
        any = true;
      }
    }
    if (!any) return 0;
    close(p, next);
    active.swap(next);
  }
  return active[n] ? 2 : 1;
}

struct English {
  LineId id;
  // The pieces the program writes in turn, each a literal of its sources.
  std::vector<std::string> pieces;
};

const std::vector<English>& englishLines() {
  static const std::vector<English> lines = {
      {LineId::ClosingPort, {"Closing com port: ", "Port closed."}},
      {LineId::OpeningPort, {"Open com port at 115200: "}},
      {LineId::PortReopened, {"port opened."}},
      {LineId::AdapterGone, {"\nSerial port failed: the adapter is gone.\n"}},
      {LineId::RomLoaderEmpty, {"The ROM loader file is empty: nothing sent."}},
      {LineId::RomLoaderWithoutEnd, {"The ROM loader file ended without its end record."}},
      {LineId::ImageEmpty, {"The image file is empty: nothing copied."}},
      {LineId::CopyCancelled, {"The copy was cancelled or stopped: nothing is flashed."}},
      {LineId::EjectInvalidDrive, {"Invalid drive specification '%s'!"}},
      {LineId::EjectUnsupported, {"Operating system not supported!"}},
      {LineId::EjectNoLibrary, {"Error in device eject, error code %u,%u!"}},
      {LineId::Ejected, {"Drive Ejected"}},
      {LineId::EjectRefused, {"Error ejecting device %s, %s (%u,%u)!"}},
      {LineId::EjectError, {"Error ejecting device %s, error code %u,%u!"}},
  };
  return lines;
}

std::vector<LineFormat> buildFormats() {
  // The catalogue as the program builds it, under the simulated machine's
  // code page; left as it was found.
  bool built = messageCatalogue.texts[0] != nullptr;
  if (!built && buildMessageCatalogue() != 0) return {};
  auto m = [](MessageId n) { return std::string(message(n)); };
  std::vector<LineFormat> f = {
      {LineId::FileNames, kMsgFileNames, m(kMsgFileNames)},
      {LineId::SerialPorts, kMsgSerialPorts, m(kMsgSerialPorts)},
      {LineId::PortFound, kMsgPortFound, m(kMsgPortFound)},
      {LineId::NoSerialPort, kMsgNoSerialPort, m(kMsgNoSerialPort)},
      {LineId::CannotOpenFile, kMsgCannotOpenFile, m(kMsgCannotOpenFile)},
      {LineId::NoConnection, kMsgNoConnection, m(kMsgNoConnection)},
      {LineId::BootLoaderLoaded, kMsgBootLoaderLoaded, m(kMsgBootLoaderLoaded)},
      {LineId::FirstPrompt, kMsgConnectCablePowerOnPressEnter,
       m(kMsgConnectCablePowerOnPressEnter)},
      {LineId::ModuleNotFound, kMsgModuleNotFound, m(kMsgModuleNotFound)},
      {LineId::PowerCyclePrompt, kMsgPowerCyclePressEnter, m(kMsgPowerCyclePressEnter)},
      {LineId::Connecting, kMsgConnectingTo, m(kMsgConnectingTo)},
      {LineId::CannotOpenPort, kMsgCannotOpenPort, m(kMsgCannotOpenPort)},
      {LineId::PortOpened, kMsgPortOpened, m(kMsgPortOpened)},
      {LineId::Connected, kMsgConnected, m(kMsgConnected)},
      {LineId::BlobTransferring, kMsgBlobTransferring, m(kMsgBlobTransferring)},
      {LineId::PowerOffRemoveJumper, kMsgPowerOffRemoveJumperPowerOn,
       m(kMsgPowerOffRemoveJumperPowerOn)},
      // The download writes a blank before its message.
      {LineId::Transferred, kMsgTransferred, " " + m(kMsgTransferred)},
      {LineId::PlugUsb, kMsgPlugUsbCable, m(kMsgPlugUsbCable)},
      {LineId::Done, kMsgDone, m(kMsgDone)},
      {LineId::DiskFound, kMsgDiskFound, m(kMsgDiskFound)},
      {LineId::DiskRemoved, kMsgDiskRemoved, m(kMsgDiskRemoved)},
      {LineId::RemovingDisk, kMsgRemovingDisk, m(kMsgRemovingDisk)},
      {LineId::UnplugUsb, kMsgUnplugUsbCable, m(kMsgUnplugUsbCable)},
      {LineId::ReplugUsb, kMsgReplugUsbCable, m(kMsgReplugUsbCable)},
      {LineId::StopDiskInApplet, kMsgStopDiskInApplet, m(kMsgStopDiskInApplet)},
      // The copy's outcome ends the line that announced it.
      {LineId::CopyDone, kMsgCopying, m(kMsgCopying) + m(kMsgDone)},
      {LineId::CopyFailed, kMsgCopying, m(kMsgCopying) + m(kMsgCannotCopy)},
      {LineId::Copying, kMsgCopying, m(kMsgCopying)},
      {LineId::CannotCopy, kMsgCannotCopy, m(kMsgCannotCopy)},
      {LineId::ImageNotOnDisk, kMsgImageNotOnDisk, m(kMsgImageNotOnDisk)},
      {LineId::NotCompleted, kMsgNotCompleted, m(kMsgNotCompleted)},
      {LineId::VerifyError, kMsgVerifyError, m(kMsgVerifyError)},
  };
  if (!built) releaseMessageCatalogue();
  for (const English& e : englishLines()) {
    std::string format;
    for (const std::string& piece : e.pieces) format += piece;
    f.push_back({e.id, -1, format});
  }
  return f;
}

const std::vector<Pattern>& patterns() {
  static const std::vector<Pattern> all = [] {
    std::vector<Pattern> p;
    for (const LineFormat& f : buildFormats()) p.push_back(compile(f));
    return p;
  }();
  return all;
}

// How a write of the program begins in the log: its text up to the first
// directive, line feeds stored as CR LF, without the line ends it closes
// with.
std::string opening(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') break;
    if (c == '\n') out += '\r';
    out += c;
  }
  while (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) out.resize(out.size() - 2);
  return out;
}

}  // namespace

LineId programLine(const std::string& text, bool partial) {
  if (text.size() > kLongestLine) return LineId::None;
  for (const Pattern& p : patterns()) {
    std::size_t n = std::min(text.size(), p.prefix.size());
    if (text.compare(0, n, p.prefix, 0, n) != 0) continue;
    int result = run(p, text);
    if (result == 2 || (partial && result == 1)) return p.id;
  }
  return LineId::None;
}

int lineMessage(LineId id) {
  for (const Pattern& p : patterns())
    if (p.id == id) return p.message;
  return -1;
}

const std::vector<std::string>& pieceOpenings() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> out;
    auto add = [&out](const std::string& text) {
      std::string o = opening(text);
      if (!o.empty() && std::find(out.begin(), out.end(), o) == out.end()) out.push_back(o);
    };
    for (const LineFormat& f : buildFormats())
      if (f.message >= 0) add(f.format);
    for (const English& e : englishLines())
      for (const std::string& piece : e.pieces) add(piece);
    return out;
  }();
  return all;
}

const std::vector<std::string>& englishLineTexts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all;
    for (const English& e : englishLines())
      for (const std::string& piece : e.pieces) all.push_back(piece);
    return all;
  }();
  return texts;
}

}  // namespace replay
