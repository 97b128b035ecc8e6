// Times the ROM loader upload on a real line: the Windows build, under Wine
// against the device model on a pseudo-terminal, or on a service PC against
// a module. Usage: upload_bench COMn ROM_LOADER_FILE
// It prints what it measured; run_bench.py adds the CPU time from outside.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "app/catalogue.h"
#include "app/context.h"
#include "serial/prompt_watcher.h"
#include "stages/rom_loader.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

void mark(const char* what) {
  std::printf("mark %s\n", what);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: upload_bench COMn ROM_LOADER_FILE\n");
    return 2;
  }
  if (buildMessageCatalogue() < 0) return 2;
  pf::timeBeginPeriod(1);
  ConfiguratorContext context;
  if (context.openLog("upload_bench.log") < 0) return 2;
  context.romLoaderFile = pf::fopen(argv[2], "r");
  if (context.romLoaderFile == nullptr ||
      context.port->open(argv[1], 115200, 0) != OpenOk) {
    std::fprintf(stderr, "cannot open the file or the port\n");
    return 2;
  }
  context.lineDelayMs = context.lineDelays[0];

  // Records are the lines that reach the boot ROM with the handshake.
  // Records marked for read-back go through the handshake a second time.
  int records = 0, readBacks = 0;
  char line[96];
  while (std::fgets(line, sizeof line, context.romLoaderFile) != nullptr) {
    if (line[0] == '\0' || std::strchr("0123456789ABCDEFabcdef", line[0]) == nullptr)
      continue;
    ++records;
    if (std::strstr(line, "0871") != nullptr && std::strstr(line, "0871800000") == nullptr)
      ++readBacks;
  }

  mark("upload-start");
  auto start = std::chrono::steady_clock::now();
  int result = uploadRomLoader(context);
  double seconds = secondsSince(start);
  mark("upload-end");
  std::printf("\nresult %d records %d read_backs %d seconds %.3f line_delay_ms %d\n",
              result, records, readBacks, seconds, context.lineDelayMs);

  // A wait on a silent line, as the waits without limit poll it.
  mark("wait-start");
  start = std::chrono::steady_clock::now();
  waitForText(context, "never sent", 10000);
  std::printf("waited_seconds %.3f\n", secondsSince(start));
  mark("wait-end");
  context.port->close();
  pf::timeEndPeriod(1);
  return result == 1 ? 0 : 1;
}
