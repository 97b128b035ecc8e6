// The ROM loader file as the operator may have it, uploaded to the device
// model's boot ROM: every byte the program puts on the line must be something a
// boot ROM can take, the upload must end, and its result must be 0 or 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"
#include "stages/rom_loader.h"
#include "tools/device_model/sim/module_link.h"

namespace {

const char kFileName[] = "blob-bootloader.txt";
const char kEndRecord[] = "0871800000";
const char kPartialEchoRecord[] = "0021B000C4E7400402";
const std::size_t kLongestLine = 79;

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ||
         (c >= 'a' && c <= 'f');
}

bool allHex(const std::string& text) {
  for (char c : text)
    if (!isHex(c)) return false;
  return true;
}

// Every percentage on the console: the progress may never pass 100.
void checkProgress(const std::string& console) {
  for (std::size_t at = console.find('%'); at != std::string::npos;
       at = console.find('%', at + 1)) {
    std::size_t start = at;
    while (start > 0 && console[start - 1] >= '0' && console[start - 1] <= '9')
      --start;
    if (start == at) continue;
    FUZZ_CHECK(at - start <= 3);
    FUZZ_CHECK(std::stoi(console.substr(start, at - start)) <= 100);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::freshMachine();
  sim::Machine& m = sim::machine();
  const std::string file(reinterpret_cast<const char*>(data), size);
  m.writeFile(kFileName, file);

  devmodel::Module rom;
  sim::SimPort& port = m.addPort("COM1");
  attachModule(port, rom);
  // Against a boot ROM that answers a line costs well under a minute of
  // virtual time, even with every attempt of a read-back used up.
  const std::int64_t horizon =
      m.nowUs() + (static_cast<std::int64_t>(size) + 1) * 60 * 1000000;
  m.horizonUs = horizon;

  // The partial-echo record is the one line waited for without limit. When
  // it went out last and nothing can come any more (nothing on its way to
  // the port, nothing queued or due in the boot ROM, no timed event), that
  // wait would poll an idle line until the horizon, hours of virtual time
  // away: it is stopped shortly after instead, with the same outcome. The
  // line is looked at where the program looks at it, before every status
  // query and read of the port, and only while that record went out last:
  // the next write, which only a wait that ended can make, lifts the stop.
  // A second after the line is seen idle: the upload never looks at the
  // line and then pauses that long before its next write.
  const std::int64_t kStopAfterUs = 1000000;
  const auto deliverDue = port.advance;
  const auto stopWhenIdle = [&, deliverDue](std::int64_t now) {
    deliverDue(now);
    if (!port.rx.empty() || rom.queuedBytes() > 0 ||
        rom.nextEventUs() != devmodel::kNever || m.nextEventUs() != sim::kForever)
      return;
    m.horizonUs = std::min(m.horizonUs, now + kStopAfterUs);
  };

  std::vector<std::string> writes;
  const auto deliver = port.onWrite;
  port.onWrite = [&, horizon, deliver](std::int64_t now, const std::uint8_t* bytes,
                                       std::size_t count) {
    writes.emplace_back(reinterpret_cast<const char*>(bytes), count);
    m.horizonUs = horizon;
    if (writes.back().find(kPartialEchoRecord) != std::string::npos)
      port.advance = stopWhenIdle;
    else
      port.advance = deliverDue;
    deliver(now, bytes, count);
  };

  std::unique_ptr<ConfiguratorContext> context = fuzz::openContext();
  fuzz::keepLogInMemory(*context);
  FUZZ_CHECK(context->port->open("COM1", 115200, 0) == 0);
  context->lineDelayMs = 5;
  context->romLoaderFile = pf::fopen(kFileName, "r");
  FUZZ_CHECK(context->romLoaderFile != nullptr);

  int result = -1;
  try {
    result = uploadRomLoader(*context);
  } catch (sim::SimulationStopped& stop) {
    // Only the partial-echo record is waited for without limit; a line that
    // hides it from the boot ROM is waited for as long, by design.
    if (writes.empty() || writes.back().find(kPartialEchoRecord) == std::string::npos) {
      std::fprintf(stderr, "upload did not end: %s\n", stop.reason.c_str());
      FUZZ_CHECK(!"the upload ends against a boot ROM that answers");
    }
    result = 0;
  }
  FUZZ_CHECK(result == 0 || result == 1);

  bool endSent = false;
  for (const std::string& w : writes) {
    // Nothing may follow the end record: the ROM loader has started.
    FUZZ_CHECK(!endSent);
    FUZZ_CHECK(!w.empty());
    FUZZ_CHECK(w.size() <= kLongestLine);
    if (w == "\r") continue;
    // Only a line naming one of the two special records goes out whole;
    // anything else is a record or a read-back header, hex digits only.
    endSent = w.find(kEndRecord) != std::string::npos;
    if (!endSent && w.find(kPartialEchoRecord) == std::string::npos) {
      FUZZ_CHECK(allHex(w));
      continue;
    }
    FUZZ_CHECK(w.find('\n') == std::string::npos);
    FUZZ_CHECK(w.find('\0') == std::string::npos);
  }
  // Success means exactly that the end record went out, and went out last.
  FUZZ_CHECK((result == 1) == endSent);
  FUZZ_CHECK(result == 0 || file.find(kEndRecord) != std::string::npos);
  checkProgress(m.console);

  fuzz::closeContext(*context);
  context.reset();
  // The port's hooks refer to this input's boot ROM and records: they go
  // with the machine.
  fuzz::endInput();
  return 0;
}
