// The logged send and receive primitives. Every byte exchanged with the
// module passes through here and leaves its trace in the log:
//   " -> %s\n"  a text sent          " <- "  start of received bytes
//   " -> \n"    a line feed sent      "%c"    each received byte, raw
//   " -> %c\n"  one character sent    "\n"    end of the received bytes
//   " <- %s\n"  a block received
#ifndef VANTOR_SERIAL_TRAFFIC_H
#define VANTOR_SERIAL_TRAFFIC_H

#include <cstddef>

struct ConfiguratorContext;

// Polls of the line that find nothing pause this long; only they count
// towards a time limit.
constexpr int kPollMs = 5;
// The time-out of a wait that has no limit.
constexpr int kWithoutLimit = -1;

int sendText(ConfiguratorContext& context, const char* text, std::size_t length);
int sendNewline(ConfiguratorContext& context);
int sendLine(ConfiguratorContext& context, const char* text);
int sendChar(ConfiguratorContext& context, char character);

// Ends the run through abortProcedure when the port has failed (the
// USB-serial adapter is gone), saying so in the log; returns otherwise.
// Every wait without limit calls it, since no answer can come any more.
void endIfPortFailed(ConfiguratorContext& context);

// Reads and logs bytes until the expected one arrives (0) or more than
// timeoutMs of empty polls have passed (-1). A negative time-out waits
// without limit.
int waitForChar(ConfiguratorContext& context, char expected, int timeoutMs);
// Reads and logs exactly the next byte, if one arrives in time: 0 when it is
// the expected one, else -1.
int expectNextChar(ConfiguratorContext& context, char expected, int timeoutMs);
// Takes the bytes waiting, as many as fit the buffer with a NUL after them
// (the rest stay queued), stores their count and logs them.
int receiveAvailable(ConfiguratorContext& context, char* buffer,
                     std::size_t capacity, int* count);

#endif
