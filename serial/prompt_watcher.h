// The receive window shared by every wait for a text from the module.
#ifndef VANTOR_SERIAL_PROMPT_WATCHER_H
#define VANTOR_SERIAL_PROMPT_WATCHER_H

#include <cstddef>

struct ConfiguratorContext;

constexpr std::size_t kWindowSize = 4096;
// Above this fill the window drops what can no longer start a match.
constexpr int kCompactAbove = 2048;

// Everything the waits read while it is attached, for a stage that must
// look at a whole answer rather than wait for one text.
struct TextCapture {
  char text[kWindowSize];
  int fill;
  // Set once `wanted` has been seen, even if the text has moved on since.
  const char* wanted;
  bool seen;

  void start(const char* wantedText);
  void add(char byte);
  bool sawWanted();
};

struct PromptWatcher {
  // The bytes received since the last line end or match, NUL-terminated.
  char window[kWindowSize];
  int fill;
  TextCapture* capture;

  // Drops bytes from the front while the window is too full, keeping what
  // could still be the start of `text`.
  void compact(const char* text, std::size_t length);
  void clear();
};

// The one window of the process: bytes gathered by a wait that timed out
// count for the next wait, whatever it looks for.
extern PromptWatcher promptWatcher;

// 0 once `text` has appeared within one line of the module's output, -1
// after more than timeoutMs of empty polls; a negative time-out waits
// without limit. Stops on the byte that completes the text, so whatever the
// module sent after it is still queued. NUL bytes are logged but take no
// part in the search.
int waitForText(ConfiguratorContext& context, const char* text, int timeoutMs);

#endif
