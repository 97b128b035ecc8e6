// Whatever the module may say, read by the waits: the receive window keeps
// its bounds and its terminator, a wait reports the text exactly when the
// text came within one line, a small buffer is never overrun, and the log
// holds every byte taken from the line, in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"

namespace {

// The bytes still queued on the port, readable or not.
std::string queued(const sim::SimPort& port) {
  std::string bytes;
  for (const auto& b : port.rx) bytes += static_cast<char>(b.byte);
  return bytes;
}

void checkWindow() {
  FUZZ_CHECK(promptWatcher.fill >= 0);
  FUZZ_CHECK(promptWatcher.fill < static_cast<int>(kWindowSize));
  FUZZ_CHECK(promptWatcher.window[promptWatcher.fill] == '\0');
}

// The bytes a call took from the line: what was queued before it, less
// what is still queued.
std::string takenSince(const std::string& before, const sim::SimPort& port) {
  return before.substr(0, before.size() - port.rx.size());
}

// The part of `taken` that the window can still be looking at: the last
// line end, which starts the window afresh, and what came after it.
std::string currentLine(const std::string& taken) {
  std::size_t end = taken.find_last_of("\r\n");
  return end == std::string::npos ? taken : taken.substr(end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string wanted = input.ConsumeRandomLengthString(80);
  const int timeoutMs = input.ConsumeIntegralInRange<int>(0, 300);
  const char expected = input.ConsumeIntegral<char>();
  const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 16);
  const int laterMs = input.ConsumeIntegralInRange<int>(0, 400);
  // Enough to overfill half the window, which starts its compaction; more
  // adds nothing but time.
  const std::string first = input.ConsumeRandomLengthString(2400);
  std::string later = input.ConsumeRemainingBytesAsString();
  if (later.size() > 400) later.resize(400);

  fuzz::freshMachine();
  sim::Machine& m = sim::machine();
  sim::SimPort& port = m.addPort("COM1");
  std::unique_ptr<ConfiguratorContext> context = fuzz::openContext();
  fuzz::keepLogInMemory(*context);
  FUZZ_CHECK(context->port->open("COM1", 115200, 0) == 0);
  // Part of the answer may come only after a wait has started polling.
  port.deliver(first, m.nowUs());
  port.deliver(later, m.nowUs() + laterMs * 1000LL);
  // A wait with a limit ends after its empty polls, whatever arrives.
  m.horizonUs = m.nowUs() + 3600LL * 1000000;

  const char* text = wanted.c_str();
  const std::size_t textLength = std::strlen(text);
  std::string before = queued(port);
  int found = waitForText(*context, text, timeoutMs);
  std::string taken = takenSince(before, port);
  // Each wait logs what it takes after its own mark, NULs included.
  std::string log = " <- " + taken + (found == 0 ? "\n" : "");
  FUZZ_CHECK(fuzz::loggedText() == log);
  FUZZ_CHECK(found == 0 || found == -1);
  checkWindow();
  // NUL bytes from the module take no part in the search.
  std::string line = currentLine(taken);
  line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
  if (found == 0) {
    FUZZ_CHECK(promptWatcher.fill == 0);
    // The wait stops on the byte that completes the text.
    if (textLength > 0)
      FUZZ_CHECK(line.size() >= textLength &&
                 line.compare(line.size() - textLength, textLength, text) == 0);
  } else {
    // An empty text is in every window.
    FUZZ_CHECK(textLength > 0);
    FUZZ_CHECK(line.find(text) == std::string::npos);
  }

  before = queued(port);
  int gotChar = waitForChar(*context, expected, timeoutMs);
  FUZZ_CHECK(gotChar == 0 || gotChar == -1);
  log += " <- " + takenSince(before, port) + "\n";
  before = queued(port);
  int next = expectNextChar(*context, expected, timeoutMs);
  FUZZ_CHECK(next == 0 || next == -1);
  log += " <- " + takenSince(before, port) + "\n";
  FUZZ_CHECK(fuzz::loggedText() == log);

  // Exactly sized, so that the sanitizer sees a single byte too many.
  char* buffer = capacity > 0 ? new char[capacity] : nullptr;
  char none = 'x';
  int count = -1;
  before = queued(port);
  std::size_t readableBefore = static_cast<std::size_t>(context->port->bytesWaiting());
  receiveAvailable(*context, capacity > 0 ? buffer : &none, capacity, &count);
  if (capacity == 0) {
    FUZZ_CHECK(count == 0);
    FUZZ_CHECK(none == 'x');
  } else {
    FUZZ_CHECK(count >= 0 && static_cast<std::size_t>(count) < capacity);
    FUZZ_CHECK(static_cast<std::size_t>(count) ==
               std::min(readableBefore, capacity - 1));
    FUZZ_CHECK(buffer[count] == '\0');
    // The bytes handed over are the next ones of the line, in order.
    FUZZ_CHECK(before.compare(0, static_cast<std::size_t>(count), buffer,
                              static_cast<std::size_t>(count)) == 0);
    FUZZ_CHECK(queued(port).size() + static_cast<std::size_t>(count) ==
               before.size());
  }
  log += " <- " + takenSince(before, port) + "\n";
  FUZZ_CHECK(fuzz::loggedText() == log);
  delete[] buffer;
  checkWindow();

  fuzz::closeContext(*context);
  context.reset();
  fuzz::endInput();
  return 0;
}
