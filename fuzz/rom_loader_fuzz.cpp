// The ROM loader file as the operator may have it, uploaded to a boot ROM
// that behaves: every byte the program puts on the line must be something a
// boot ROM can take, the upload must end, and its result must be 0 or 1.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"
#include "stages/rom_loader.h"

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

// A boot ROM that echoes the carriage return, echoes and acknowledges each
// record, and answers a read-back header with the data stored at its
// address. The partial-echo record gets its short echo at once: otherwise
// the program would wait for it forever, as it must.
struct BootRom {
  sim::SimPort* port = nullptr;
  std::map<std::string, std::string> memory;
  std::vector<std::string> writes;

  void answer(std::int64_t now, const std::string& bytes) {
    writes.push_back(bytes);
    if (bytes == "\r") {
      port->deliver("\r", now);
      return;
    }
    if (bytes.find(kPartialEchoRecord) != std::string::npos) {
      port->deliver("0021B000C4E74", now);
      return;
    }
    if (bytes.find(kEndRecord) != std::string::npos) return;
    std::string address = bytes.substr(0, 8);
    if (bytes.size() == 10 && memory.count(address) != 0) {
      port->deliver(bytes + memory[address] + "/", now);
      return;
    }
    memory[address] = bytes.size() > 10 ? bytes.substr(10) : "";
    port->deliver(bytes + "/", now);
  }
};

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

  BootRom rom;
  rom.port = &m.addPort("COM1");
  rom.port->onWrite = [&rom](std::int64_t now, const std::uint8_t* bytes,
                             std::size_t count) {
    rom.answer(now, std::string(reinterpret_cast<const char*>(bytes), count));
  };

  std::unique_ptr<ConfiguratorContext> context = fuzz::openContext();
  FUZZ_CHECK(context->port->open("COM1", 115200, 0) == 0);
  context->lineDelayMs = 5;
  context->romLoaderFile = pf::fopen(kFileName, "r");
  FUZZ_CHECK(context->romLoaderFile != nullptr);

  // Against a ROM that answers at once a line costs well under a minute of
  // virtual time, even with every attempt of a read-back used up.
  m.horizonUs = m.nowUs() + (static_cast<std::int64_t>(size) + 1) * 60 * 1000000;
  int result = -1;
  try {
    result = uploadRomLoader(*context);
  } catch (sim::SimulationStopped& stop) {
    std::fprintf(stderr, "upload did not end: %s\n", stop.reason.c_str());
    FUZZ_CHECK(!"the upload ends against a boot ROM that answers");
  }
  FUZZ_CHECK(result == 0 || result == 1);

  bool endSent = false;
  for (const std::string& w : rom.writes) {
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
  rom.port->onWrite = nullptr;
  return 0;
}
