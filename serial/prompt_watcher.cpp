#include "serial/prompt_watcher.h"

#include <cstring>

#include "app/console.h"
#include "app/context.h"
#include "serial/traffic.h"

PromptWatcher promptWatcher = {{0}, 0, nullptr};

void TextCapture::start(const char* wantedText) {
  fill = 0;
  text[0] = '\0';
  wanted = wantedText;
  seen = false;
}

void TextCapture::add(char byte) {
  // A NUL from the module would hide what follows it from the search.
  if (byte == '\0') return;
  if (fill >= static_cast<int>(kWindowSize) - 1) {
    seen = seen || std::strstr(text, wanted) != nullptr;
    // Keep a tail long enough to hold the start of the wanted text.
    const int keep = 64;
    std::memmove(text, text + fill - keep, keep);
    fill = keep;
  }
  text[fill++] = byte;
  text[fill] = '\0';
}

bool TextCapture::sawWanted() {
  return seen || std::strstr(text, wanted) != nullptr;
}

void PromptWatcher::clear() {
  fill = 0;
  window[0] = '\0';
}

namespace {

// The longest end of the window that the coming bytes could still complete
// into `text`.
int unfinishedMatch(const char* window, int fill, const char* text,
                    std::size_t length) {
  for (std::size_t k = length > 0 ? length - 1 : 0; k > 0; --k)
    if (k <= static_cast<std::size_t>(fill) &&
        std::memcmp(window + fill - static_cast<int>(k), text, k) == 0)
      return static_cast<int>(k);
  return 0;
}

}  // namespace

void PromptWatcher::compact(const char* text, std::size_t length) {
  // The search below looks for the text's characters from the front only;
  // left alone it could drop a match already under way at the end.
  const int keep = unfinishedMatch(window, fill, text, length);
  for (std::size_t i = 0;
       i < length && static_cast<int>(i) < fill && fill > kCompactAbove; ++i) {
    const char* found = std::strchr(window + i, text[i]);
    int drop = found != nullptr ? static_cast<int>(found - window) -
                                      static_cast<int>(i)
                                : fill;
    if (drop > fill - keep) drop = fill - keep;
    std::memmove(window, window + drop,
                 static_cast<std::size_t>(fill - drop) + 1);
    fill -= drop;
  }
  // A text longer than half the window could keep it growing; never let it
  // reach its end.
  if (fill >= static_cast<int>(kWindowSize) - 1) clear();
}

int waitForText(ConfiguratorContext& context, const char* text,
                int timeoutMs) {
  PromptWatcher& w = promptWatcher;
  std::size_t length = std::strlen(text);
  int elapsed = 0;
  // A wait that timed out left its received-bytes entry open in the log;
  // the new bytes continue it.
  if (w.fill == 0) logPrint(context, " <- ");
  // The window is searched on entry, where it may already hold the text,
  // and again only when a byte changed it: an idle poll finds what the
  // search before it found.
  bool changed = true;
  for (;;) {
    if (w.fill > kCompactAbove) w.compact(text, length);
    bool taken = false;
    char byte = '\0';
    if (context.port->bytesWaiting() > 0) {
      byte = static_cast<char>(context.port->readByte());
      // A read that failed on the way brought no byte: nothing to keep.
      taken = !context.port->failed();
    }
    if (!taken) {
      pf::Sleep(kPollMs);
      elapsed += kPollMs;
    }
    // A NUL is logged like any byte but never kept: the window is searched
    // as text, and a NUL in it would hide the awaited text behind it until
    // the next line end, which a wait without limit might never see.
    if (taken) {
      logPrint(context, "%c", byte);
      if (w.capture != nullptr) w.capture->add(byte);
    }
    if (taken && byte != '\0') {
      w.window[w.fill] = byte;
      if (byte == '\r' || byte == '\n') {
        w.window[0] = byte;
        w.fill = 0;
      }
      ++w.fill;
      w.window[w.fill] = '\0';
      changed = true;
    }
    if (changed && std::strstr(w.window, text) != nullptr) {
      logPrint(context, "\n");
      w.clear();
      return 0;
    }
    changed = false;
    // After the search: a text already in the window is still found.
    if (timeoutMs < 0) endIfPortFailed(context);
    if (timeoutMs >= 0 && elapsed > timeoutMs) return -1;
  }
}
