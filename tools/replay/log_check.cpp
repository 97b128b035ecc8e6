// Whether a file is a log of this program at all: every log it writes
// begins with the configuration block (or, when the folder's path is too
// long to reach the configuration, with the one message that says so), and
// the log reader could follow it to its end. The walk of the explanation
// then holds every line of the program's own to the lines it writes.
#include "explain.h"

namespace replay {
namespace {

const char kCrLf[] = "\r\n";
const char kConfigurationRefused[] = "Non posso aprire il file vantor_config.ini";
const char kNotCompleted[] = "Procedura non completata: riprovare dall'inizio";

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool allDigits(const std::string& s, std::size_t from) {
  if (from < s.size() && s[from] == '-') ++from;
  if (from >= s.size()) return false;
  for (std::size_t i = from; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// The log of a run refused before its configuration was read: that
// message, then message 39 (or as much of it as was written).
std::string checkRefusedStart(const std::string& raw, int* line) {
  std::string rest = raw.substr(sizeof kConfigurationRefused + 1);
  std::string ending = std::string(kNotCompleted) + kCrLf;
  if (ending.compare(0, rest.size(), rest) == 0) return std::string();
  *line = 2;
  return "the log goes on after the refused configuration";
}

}  // namespace

std::string checkProgramLog(const FieldLog& log, int* line) {
  *line = 1;
  const std::string& s = log.raw;
  if (s.empty()) return "the file is empty";
  if (startsWith(s, std::string(kConfigurationRefused) + kCrLf))
    return checkRefusedStart(s, line);

  static const char* const kKeys[] = {"Nomi dei file:", "[BLOB TXT]: ", "[BLOB]: ",
                                      "[KERNEL]: ",     "[RAMDISK]: ",  "[COM PORT]: ", ""};
  std::size_t at = 0;
  for (int i = 0; i < 7; ++i) {
    *line = i + 1;
    std::size_t end = s.find(kCrLf, at);
    if (end == std::string::npos) {
      return startsWith(kKeys[i], s.substr(at)) || (i > 0 && i < 6)
                 ? "the log ends inside its configuration block"
                 : "the log does not begin with the configuration block";
    }
    std::string text = s.substr(at, end - at);
    at = end + 2;
    bool fits = i == 0 ? text == kKeys[0] : i == 6 ? text.empty() : startsWith(text, kKeys[i]);
    if (fits && i == 5) {
      std::string port = text.substr(12);
      fits = port == "* auto-detect" || (startsWith(port, "COM") && allDigits(port, 3));
    }
    if (!fits) {
      return i == 0 ? "the log does not begin with the configuration block (\"Nomi dei file:\")"
                    : std::string("the configuration block has no line \"") +
                          (i == 6 ? "(empty)" : kKeys[i]) + "...\" here";
    }
  }
  // Where the last piece of a log cut short begins: what the reader makes
  // of a piece cut anywhere is no fault of the log.
  std::size_t lastPiece = log.cutShort && !log.entries.empty() ? log.entries.back().begin
                                                               : s.size() + 1;
  for (const FieldLog::Problem& p : log.problems) {
    // A log whose CR LF line ends were made LF on the way is still the
    // program's; the reader put them back.
    if (p.what.find("bare LF line ends") != std::string::npos) continue;
    if (p.offset >= lastPiece) continue;
    *line = p.line;
    return "the log cannot be followed here: " + p.what;
  }
  return std::string();
}

}  // namespace replay
