// The one writer of the console and the log, the operator's Enter key, the
// spinner of the flashing stages.
#ifndef VANTOR_APP_CONSOLE_H
#define VANTOR_APP_CONSOLE_H

#include <cstdarg>
#include <cstdio>

#include "app/catalogue.h"
#include "platform/platform.h"

struct ConfiguratorContext;

// Formats onto the stream and flushes it at once; the flush's result. A
// stream that is not open takes nothing.
int printFlushed(FILE* stream, const char* format, ...) PF_PRINTF_FORMAT(2, 3);
int vprintFlushed(FILE* stream, const char* format, va_list arguments);

// Catalogue message n, with its arguments, onto one stream.
void printMessage(FILE* stream, Message n, ...);
// Message n on the console and then in the log (when it is open), or in the
// opposite order.
void consoleThenLog(ConfiguratorContext& context, Message n, ...);
void logThenConsole(ConfiguratorContext& context, Message n, ...);

// A line of the log only, when the log is open.
void logPrint(ConfiguratorContext& context, const char* format, ...)
    PF_PRINTF_FORMAT(2, 3);

// Reads one character of standard input and drops it.
void waitForEnter();

// One step of the rotating mark: carriage return, label, ": ", mark.
void advanceSpinner(const char* label);
extern int spinnerPhase;

#endif
