#include "app/console.h"

#include "app/catalogue.h"
#include "app/context.h"

int spinnerPhase = 0;

int vprintFlushed(FILE* stream, const char* format, va_list arguments) {
  if (stream == nullptr) return EOF;
  std::vfprintf(stream, format, arguments);
  return std::fflush(stream);
}

int printFlushed(FILE* stream, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = vprintFlushed(stream, format, arguments);
  va_end(arguments);
  return result;
}

void printMessage(FILE* stream, Message n, ...) {
  va_list arguments;
  va_start(arguments, n);
  vprintFlushed(stream, message(n.id), arguments);
  va_end(arguments);
}

void consoleThenLog(ConfiguratorContext& context, Message n, ...) {
  va_list arguments, copy;
  va_start(arguments, n);
  va_copy(copy, arguments);
  vprintFlushed(pf::consoleOut(), message(n.id), arguments);
  vprintFlushed(context.log, message(n.id), copy);
  va_end(copy);
  va_end(arguments);
}

void logThenConsole(ConfiguratorContext& context, Message n, ...) {
  va_list arguments, copy;
  va_start(arguments, n);
  va_copy(copy, arguments);
  vprintFlushed(context.log, message(n.id), arguments);
  vprintFlushed(pf::consoleOut(), message(n.id), copy);
  va_end(copy);
  va_end(arguments);
}

void logPrint(ConfiguratorContext& context, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vprintFlushed(context.log, format, arguments);
  va_end(arguments);
}

void waitForEnter() { pf::readConsoleChar(); }

void advanceSpinner(const char* label) {
  static const char kMarks[] = {'/', '-', '\\', '|'};
  printFlushed(pf::consoleOut(), "%c%s: %c", '\r', label, kMarks[spinnerPhase]);
  spinnerPhase = (spinnerPhase + 1) % static_cast<int>(sizeof kMarks);
}
