#pragma once
// A stand-in for the PC under a virtual clock: sends bytes, waits for text
// the way the utility does, and jumps the clock straight to the model's next
// event instead of sleeping.

#include <algorithm>
#include <string>

#include "devmodel/module.h"

namespace devmodel::testing {

struct VirtualPc {
  explicit VirtualPc(Module& module, int baud = kBlobBaud) : m(module) {
    m.setLineSpeed(baud);
    m.open(now);
  }

  void send(const std::string& text) {
    m.receive(now, text);
    now += 100 * static_cast<int64_t>(text.size());
  }

  // The utility purges its input before each blob command.
  void command(const std::string& line) {
    m.takeText(now);
    seen.clear();
    send(line + "\n");
  }

  // Everything the module says during the next `us` microseconds.
  std::string listen(int64_t us) {
    now += us;
    std::string got = m.takeText(now);
    seen += got;
    return got;
  }

  // Consumes the output up to and including `text`; false on timeout. The
  // clock jumps from one of the model's events to the next.
  bool waitFor(const std::string& text, int64_t timeoutUs) {
    const int64_t end = now + timeoutUs;
    for (;;) {
      size_t pos = seen.find(text);
      if (pos != std::string::npos) {
        seen.erase(0, pos + text.size());
        return true;
      }
      if (now >= end) return false;
      now = std::min(end, std::max(now, m.nextEventUs()));
      seen += m.takeText(now);
    }
  }

  Module& m;
  int64_t now = 0;
  std::string seen;
};

constexpr int64_t kMs = 1000;
constexpr int64_t kSec = 1000000;

}  // namespace devmodel::testing
