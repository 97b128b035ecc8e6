#include "serial/traffic.h"

#include <cstring>

#include "app/console.h"
#include "app/context.h"
#include "serial/prompt_watcher.h"

namespace {

// A wait with a limit gives up once its empty polls exceed the limit.
bool timedOut(int elapsedMs, int timeoutMs) {
  return timeoutMs >= 0 && elapsedMs > timeoutMs;
}

}  // namespace

void endIfPortFailed(ConfiguratorContext& context) {
  if (!context.port->failed()) return;
  // A capture lives in the frame of the wait that is being left.
  promptWatcher.capture = nullptr;
  // Ends the line of the received bytes or of a spinner first.
  printFlushed(pf::consoleOut(), "\n");
  logPrint(context, "\nSerial port failed: the adapter is gone.\n");
  context.abortProcedure();
}

int sendText(ConfiguratorContext& context, const char* text,
             std::size_t length) {
  context.port->write(text, length);
  logPrint(context, " -> %s\n", text);
  return 0;
}

int sendNewline(ConfiguratorContext& context) {
  context.port->writeByte('\n');
  logPrint(context, " -> \n");
  return 0;
}

int sendLine(ConfiguratorContext& context, const char* text) {
  context.port->write(text, std::strlen(text));
  logPrint(context, " -> %s\n", text);
  return sendNewline(context);
}

int sendChar(ConfiguratorContext& context, char character) {
  context.port->writeByte(static_cast<unsigned char>(character));
  logPrint(context, " -> %c\n", character);
  return 0;
}

int waitForChar(ConfiguratorContext& context, char expected, int timeoutMs) {
  logPrint(context, " <- ");
  char last = '\0';
  int elapsed = 0;
  for (;;) {
    if (context.port->bytesWaiting() > 0) {
      last = static_cast<char>(context.port->readByte());
      logPrint(context, "%c", last);
      if (last == expected) break;
    } else {
      if (timeoutMs < 0) endIfPortFailed(context);
      pf::Sleep(kPollMs);
      elapsed += kPollMs;
      if (last == expected) break;
    }
    if (timedOut(elapsed, timeoutMs)) break;
  }
  logPrint(context, "\n");
  return last == expected ? 0 : -1;
}

int expectNextChar(ConfiguratorContext& context, char expected,
                   int timeoutMs) {
  logPrint(context, " <- ");
  int elapsed = 0;
  while (context.port->bytesWaiting() <= 0) {
    if (timeoutMs < 0) endIfPortFailed(context);
    pf::Sleep(kPollMs);
    elapsed += kPollMs;
    if (timedOut(elapsed, timeoutMs)) {
      logPrint(context, "\n");
      return expected == '\0' ? 0 : -1;
    }
  }
  char byte = static_cast<char>(context.port->readByte());
  logPrint(context, "%c", byte);
  logPrint(context, "\n");
  return byte == expected ? 0 : -1;
}

int receiveAvailable(ConfiguratorContext& context, char* buffer,
                     std::size_t capacity, int* count) {
  int n = 0;
  if (capacity > 0) {
    int waiting = context.port->bytesWaiting();
    std::size_t room = capacity - 1;
    n = waiting < 0 ? 0
        : static_cast<std::size_t>(waiting) > room ? static_cast<int>(room)
                                                  : waiting;
    if (n > 0) n = context.port->read(buffer, static_cast<std::size_t>(n));
    buffer[n] = '\0';
  }
  if (count != nullptr) *count = n;
  // A NUL from the line would end a "%s" early and hide the bytes after it
  // from the log: the text is logged piece by piece, each NUL as a byte.
  logPrint(context, " <- ");
  for (int at = 0; at < n;) {
    const std::size_t piece = std::strlen(buffer + at);
    if (piece > 0) logPrint(context, "%s", buffer + at);
    at += static_cast<int>(piece);
    if (at < n) {
      logPrint(context, "%c", '\0');
      ++at;
    }
  }
  logPrint(context, "\n");
  return 0;
}
