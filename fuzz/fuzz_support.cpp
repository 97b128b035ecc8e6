#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/catalogue.h"
#include "platform/sim/machine.h"
#include "serial/prompt_watcher.h"

namespace fuzz {

void fail(const char* property, const char* file, int line) {
  std::fprintf(stderr, "\n%s:%d: property violated: %s\n", file, line,
               property);
  std::fflush(stderr);
  std::abort();
}

void freshMachine() {
  static bool catalogueBuilt = false;
  // The first input makes its own; every later one finds the one the input
  // before it made as it ended.
  sim::machine();
  if (!catalogueBuilt) {
    FUZZ_CHECK(buildMessageCatalogue() == 0);
    catalogueBuilt = true;
  }
  promptWatcher.clear();
  promptWatcher.capture = nullptr;
}

void endInput() { sim::resetMachine(); }

std::unique_ptr<ConfiguratorContext> openContext() {
  std::unique_ptr<ConfiguratorContext> context(new ConfiguratorContext);
  FUZZ_CHECK(context->port != nullptr);
  FUZZ_CHECK(context->openLog("vantor_config.log") == 0);
  return context;
}

namespace {

std::string memoryLog;

ssize_t appendToLog(void*, const char* data, size_t size) {
  memoryLog.append(data, size);
  return static_cast<ssize_t>(size);
}

}  // namespace

void keepLogInMemory(ConfiguratorContext& context) {
  if (context.log != nullptr) std::fclose(context.log);
  memoryLog.clear();
  cookie_io_functions_t io{};
  io.write = appendToLog;
  context.log = fopencookie(nullptr, "w", io);
  FUZZ_CHECK(context.log != nullptr);
}

const std::string& loggedText() { return memoryLog; }

void closeContext(ConfiguratorContext& context) {
  if (context.port != nullptr) context.port->close();
  if (context.romLoaderFile != nullptr) {
    std::fclose(context.romLoaderFile);
    context.romLoaderFile = nullptr;
  }
  if (context.log != nullptr) {
    std::fclose(context.log);
    context.log = nullptr;
  }
}

bool terminatedWithin(const char* text, std::size_t size) {
  return std::memchr(text, '\0', size) != nullptr;
}

}  // namespace fuzz
