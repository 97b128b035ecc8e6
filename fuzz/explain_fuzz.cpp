// The explanation of a field log over any bytes: the log reader, the walk
// of the explanation and every rendering of it. Whatever a file holds, the
// tool refuses it with a line or explains it; what it prints never carries
// a control byte from the file, and a CSV row stays one line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/replay/explain.h"

namespace {

// Only line ends: no byte of the log may reach a terminal as a control.
void expectPrintable(const std::string& text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\n') || c == 0x7F) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  replay::FieldLog log = replay::readLog(bytes);
  replay::Explanation x = replay::explainLog(log);
  if (x.outcome == replay::Outcome::Unreadable) {
    if (x.error.empty() || x.errorLine < 1) std::abort();
    expectPrintable(replay::unreadableDetail(x));
  } else {
    for (std::size_t entry : x.exchange)
      if (entry >= log.entries.size()) std::abort();
    if (x.flashedCount < 0 || x.flashedCount > 3) std::abort();
    expectPrintable(replay::explainText(log, x, "vantor_config.log"));
  }
  std::string row = replay::csvRow("vantor_config.log", x);
  if (row.find_first_of("\r\n") != std::string::npos) std::abort();
  expectPrintable(replay::summaryTable({{"vantor_config.log", x}}));
  return 0;
}
