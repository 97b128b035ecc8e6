// Console, locale and C runtime services of the simulated machine.
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim/codepage.h"
#include "platform/sim/sim_internal.h"

namespace sim {

namespace {

ssize_t consoleWrite(void* cookie, const char* data, size_t size) {
  static_cast<Machine*>(cookie)->console.append(data, size);
  return static_cast<ssize_t>(size);
}

}  // namespace

FILE* openConsoleStream(Machine& machine) {
  cookie_io_functions_t io{};
  io.write = consoleWrite;
  FILE* stream = fopencookie(&machine, "w", io);
  // Unbuffered: the transcript must show what the program flushed and also
  // what it forgot to flush, byte for byte, the moment it was written.
  if (stream != nullptr) setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

std::string lowerCase(const std::string& text) {
  std::string lower = text;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool sameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void Machine::pressEnter(int times) {
  for (int i = 0; i < times; ++i) keys.push_back('\n');
}

}  // namespace sim

namespace pf {

FILE* consoleOut() { return sim::machine().consoleStream(); }

int readConsoleChar() {
  sim::Machine& m = sim::machine();
  m.processDue();
  ++m.keyReads;
  if (m.keys.empty() && m.onKeyWanted) m.onKeyWanted();
  if (m.keys.empty()) return EOF;
  int key = m.keys.front();
  m.keys.pop_front();
  return key;
}

char* setlocale(int category, const char* locale) {
  static char answer[64];
  if (sim::enterFails(sim::Call::setlocale)) return nullptr;
  sim::Machine& m = sim::machine();
  if (category != LC_ALL || locale == nullptr) return nullptr;
  if (std::strcmp(locale, ".OCP") == 0)
    m.records().locale = "Italian_Italy." + std::to_string(m.codePage);
  else if (std::strcmp(locale, "C") == 0 || locale[0] == '\0')
    m.records().locale = "C";
  else
    return nullptr;
  std::snprintf(answer, sizeof answer, "%s", m.records().locale.c_str());
  return answer;
}

std::size_t wcstombs(char* dest, const wchar_t* src, std::size_t max) {
  if (sim::enterFails(sim::Call::wcstombs)) return static_cast<std::size_t>(-1);
  sim::Machine& m = sim::machine();
  bool oem = m.records().locale != "C";
  std::size_t written = 0;
  for (const wchar_t* p = src;; ++p) {
    int byte;
    if (*p == 0) {
      byte = 0;
    } else if (oem) {
      byte = sim::oemByte(m.codePage, *p);
    } else {
      byte = *p < 0x100 ? static_cast<int>(*p) : -1;
    }
    if (byte < 0) return static_cast<std::size_t>(-1);
    if (dest != nullptr) {
      if (written >= max) return written;
      dest[written] = static_cast<char>(byte);
    }
    if (byte == 0) return written;
    ++written;
  }
}

void* malloc(std::size_t size) {
  if (sim::enterFails(sim::Call::malloc)) return nullptr;
  sim::Machine& m = sim::machine();
  if (m.allocationFails && m.allocationFails(size)) return nullptr;
  void* block = std::malloc(size);
  if (block != nullptr) ++m.liveBlocks;
  return block;
}

void free(void* block) {
  if (block != nullptr) --sim::machine().liveBlocks;
  std::free(block);
}

int atexit(void (*handler)()) {
  sim::machine().exitHandlers.push_back(handler);
  return 0;
}

void exit(int status) {
  FILE* console = sim::machine().consoleStream();
  if (console != nullptr) std::fflush(console);
  throw sim::ProcessExit{status};
}

}  // namespace pf
