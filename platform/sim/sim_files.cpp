// Files, folders and initialisation files of the simulated machine.
//
// Windows paths map onto a real folder per drive below the machine's root.
// Files opened in text mode behave as under the Windows C runtime: "\n" is
// written as CR LF, CR LF reads as "\n", and Ctrl-Z ends what can be read.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

// A Windows path split into its drive letter and the rest, with backslashes.
// Relative paths are resolved against the current directory. An empty
// result means a path that names no file (a device, a network share).
bool splitPath(const Machine& m, std::string path, char* drive,
               std::string* rest) {
  for (char& c : path)
    if (c == '/') c = '\\';
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return false;
  if (path.size() >= 2 && path[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(path[0]))) {
    *drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    *rest = path.substr(2);
    if (rest->empty() || (*rest)[0] != '\\') *rest = "\\" + *rest;
    return true;
  }
  std::string base = m.currentDirectory;
  *drive = static_cast<char>(std::toupper(static_cast<unsigned char>(base[0])));
  if (!path.empty() && path[0] == '\\') {
    *rest = path;
  } else {
    *rest = base.substr(2);
    if (rest->empty() || rest->back() != '\\') *rest += "\\";
    *rest += path;
  }
  return true;
}

bool driveExists(const Machine& m, char drive) {
  return (m.drives >> (drive - 'A')) & 1ul;
}

struct TextFile {
  FILE* raw;
  bool ended;  // Ctrl-Z seen
};

ssize_t textRead(void* cookie, char* out, size_t size) {
  TextFile* f = static_cast<TextFile*>(cookie);
  size_t n = 0;
  while (n < size && !f->ended) {
    int c = fgetc(f->raw);
    if (c == EOF) break;
    if (c == 0x1A) {
      f->ended = true;
      break;
    }
    if (c == '\r') {
      int next = fgetc(f->raw);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        ungetc(next, f->raw);
      }
    }
    out[n++] = static_cast<char>(c);
  }
  return static_cast<ssize_t>(n);
}

ssize_t textWrite(void* cookie, const char* data, size_t size) {
  TextFile* f = static_cast<TextFile*>(cookie);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && fputc('\r', f->raw) == EOF) return -1;
    if (fputc(data[i], f->raw) == EOF) return -1;
  }
  // The program flushed: what it wrote must be in the file now.
  if (fflush(f->raw) != 0) return -1;
  return static_cast<ssize_t>(size);
}

int textSeek(void* cookie, off64_t* offset, int whence) {
  TextFile* f = static_cast<TextFile*>(cookie);
  if (fseeko(f->raw, static_cast<off_t>(*offset), whence) != 0) return -1;
  f->ended = false;
  *offset = static_cast<off64_t>(ftello(f->raw));
  return 0;
}

int textClose(void* cookie) {
  TextFile* f = static_cast<TextFile*>(cookie);
  machine().textStreams.erase(f);
  int result = fclose(f->raw);
  delete f;
  return result;
}

std::string trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
    --end;
  return text.substr(begin, end - begin);
}

// The value of a key as Windows finds it: sections and keys compared without
// case, the first match wins, blanks around the value and one pair of
// matching quotes removed.
bool findProfileValue(const std::string& content, const std::string& section,
                      const std::string& key, std::string* value) {
  std::istringstream in(content);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      size_t close = t.find(']');
      std::string name = trim(t.substr(1, close == std::string::npos
                                              ? std::string::npos
                                              : close - 1));
      inSection = lowerCase(name) == lowerCase(section);
      continue;
    }
    if (!inSection) continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    if (lowerCase(trim(t.substr(0, eq))) != lowerCase(key)) continue;
    std::string v = trim(t.substr(eq + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
      v = v.substr(1, v.size() - 2);
    *value = v;
    return true;
  }
  return false;
}

}  // namespace

std::string Machine::hostPath(const std::string& windowsPath) const {
  char drive;
  std::string rest;
  if (!splitPath(*this, windowsPath, &drive, &rest)) return std::string();
  std::string host = root_ + "/" + drive;
  for (char c : rest) host += c == '\\' ? '/' : c;
  return host;
}

void Machine::makeDirectory(const std::string& windowsPath) {
  std::string host = hostPath(windowsPath);
  for (size_t i = root_.size() + 1; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '/')
      mkdir(host.substr(0, i).c_str(), 0777);
  }
}

void Machine::writeFile(const std::string& windowsPath,
                        const std::string& bytes) {
  std::ofstream out(hostPath(windowsPath), std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Machine::readFile(const std::string& windowsPath) const {
  std::ifstream in(hostPath(windowsPath), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Machine::fileExists(const std::string& windowsPath) const {
  struct stat st;
  return stat(hostPath(windowsPath).c_str(), &st) == 0;
}

void Machine::addDrive(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  drives |= 1ul << (letter - 'A');
  makeDirectory(std::string(1, letter) + ":\\");
  if (onDiskEvent) onDiskEvent(nowUs(), std::string("drive ") + letter + ": added");
}

void Machine::closeFilesLeftOpen() {
  while (!textStreams.empty()) fclose(textStreams.begin()->second);
}

void Machine::removeDrive(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  drives &= ~(1ul << (letter - 'A'));
  if (onDiskEvent) onDiskEvent(nowUs(), std::string("drive ") + letter + ": removed");
}

}  // namespace sim

namespace pf {

FILE* fopen(const char* path, const char* mode) {
  if (sim::enterFails(sim::Call::fopen)) return nullptr;
  sim::Machine& m = sim::machine();
  char drive;
  std::string rest;
  if (!sim::splitPath(m, path, &drive, &rest) || !sim::driveExists(m, drive))
    return nullptr;
  std::string full = std::string(1, drive) + ":" + rest;
  for (const std::string& bad : m.unopenable) {
    char badDrive;
    std::string badRest;
    if (sim::splitPath(m, bad, &badDrive, &badRest) && badDrive == drive &&
        sim::lowerCase(badRest) == sim::lowerCase(rest))
      return nullptr;
  }
  bool binary = std::strchr(mode, 'b') != nullptr;
  std::string rawMode;
  for (const char* p = mode; *p != '\0'; ++p)
    if (*p != 'b' && *p != 't') rawMode += *p;
  rawMode += 'b';
  FILE* raw = ::fopen(m.hostPath(full).c_str(), rawMode.c_str());
  if (raw == nullptr || binary) return raw;
  cookie_io_functions_t io{};
  io.read = sim::textRead;
  io.write = sim::textWrite;
  io.seek = sim::textSeek;
  io.close = sim::textClose;
  sim::TextFile* text = new sim::TextFile{raw, false};
  FILE* stream = fopencookie(text, mode, io);
  if (stream == nullptr) {
    ::fclose(raw);
    delete text;
  } else {
    m.textStreams[text] = stream;
  }
  return stream;
}

DWORD GetCurrentDirectoryA(DWORD size, char* buffer) {
  if (sim::enterFails(sim::Call::GetCurrentDirectoryA)) return 0;
  const std::string& dir = sim::machine().currentDirectory;
  if (dir.size() + 1 > size) return static_cast<DWORD>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<DWORD>(dir.size());
}

UINT GetWindowsDirectoryA(char* buffer, UINT size) {
  if (sim::enterFails(sim::Call::GetWindowsDirectoryA)) return 0;
  const std::string& dir = sim::machine().windowsDirectory;
  if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

BOOL CreateDirectoryA(const char* path, void*) {
  if (sim::enterFails(sim::Call::CreateDirectoryA)) return 0;
  sim::Machine& m = sim::machine();
  std::string host = m.hostPath(path);
  if (host.empty()) return 0;
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  return mkdir(host.c_str(), 0777) == 0 ? 1 : 0;
}

}  // namespace pf

namespace sim {
namespace {

pf::DWORD profileString(const char* section, const char* key,
                        const char* defaultValue, char* buffer,
                        pf::DWORD size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  sim::Machine& m = sim::machine();
  std::string value;
  bool found = false;
  // Windows cannot open a profile whose path does not fit MAX_PATH, and
  // says nothing: the caller gets the defaults.
  if (section != nullptr && key != nullptr && fileName != nullptr &&
      std::strlen(fileName) < pf::MAX_PATH) {
    std::ifstream in(m.hostPath(fileName), std::ios::binary);
    if (in) {
      std::ostringstream content;
      content << in.rdbuf();
      found = sim::findProfileValue(content.str(), section, key, &value);
    }
  }
  if (!found) {
    value = defaultValue != nullptr ? defaultValue : "";
    while (!value.empty() && value.back() == ' ') value.pop_back();
  }
  size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<pf::DWORD>(n);
}

}  // namespace
}  // namespace sim

namespace pf {

DWORD GetPrivateProfileStringA(const char* section, const char* key,
                               const char* defaultValue, char* buffer,
                               DWORD size, const char* fileName) {
  if (sim::enterFails(sim::Call::GetPrivateProfileStringA)) return 0;
  return sim::profileString(section, key, defaultValue, buffer, size,
                            fileName);
}

UINT GetPrivateProfileIntA(const char* section, const char* key,
                           int defaultValue, const char* fileName) {
  if (sim::enterFails(sim::Call::GetPrivateProfileIntA)) return 0;
  // Read as Windows does: through a short text buffer, then the leading
  // number in any of the prefixes 0x, 0o, 0b, wrapping on overflow.
  char text[30];
  if (sim::profileString(section, key, "", text, sizeof text, fileName) == 0)
    return static_cast<UINT>(defaultValue);
  const char* p = text;
  while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0' && (p[1] == 'o' || p[1] == 'O')) {
    base = 8;
    p += 2;
  } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) {
    base = 2;
    p += 2;
  }
  std::uint32_t result = 0;
  for (; *p != '\0'; ++p) {
    unsigned digit;
    if (*p >= '0' && *p <= '9') digit = static_cast<unsigned>(*p - '0');
    else if (*p >= 'a' && *p <= 'f') digit = static_cast<unsigned>(*p - 'a' + 10);
    else if (*p >= 'A' && *p <= 'F') digit = static_cast<unsigned>(*p - 'A' + 10);
    else break;
    if (digit >= base) break;
    result = result * base + digit;
  }
  if (negative) result = 0u - result;
  return static_cast<UINT>(result);
}

}  // namespace pf
