// Files, folders and initialisation files of the simulated machine.
//
// Windows paths map onto a real folder per drive below the machine's root.
// Files opened in text mode behave as under the Windows C runtime: "\n" is
// written as CR LF, CR LF reads as "\n", and Ctrl-Z ends what can be read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A piece of the profile's text, without blanks at either end.
struct Span {
  const char* begin;
  const char* end;

  Span trimmed() const {
    Span t = *this;
    while (t.begin < t.end && isBlank(*t.begin)) ++t.begin;
    while (t.end > t.begin && isBlank(t.end[-1])) --t.end;
    return t;
  }
  bool empty() const { return begin == end; }
  const char* find(char c) const {
    const void* at = std::memchr(begin, c, static_cast<std::size_t>(end - begin));
    return at != nullptr ? static_cast<const char*>(at) : end;
  }
  // Compared without case with a name, which ends at its NUL.
  bool sameName(const char* name) const {
    const char* p = begin;
    for (; p < end; ++p, ++name) {
      if (*name == '\0') return false;
      if (std::tolower(static_cast<unsigned char>(*p)) !=
          std::tolower(static_cast<unsigned char>(*name)))
        return false;
    }
    return *name == '\0';
  }
};

// The value of a key as Windows finds it: sections and keys compared without
// case, the first match wins, blanks around the value and one pair of
// matching quotes removed. Read in place: every profile read goes through
// here, several times for each key the program asks for.
bool findProfileValue(const std::string& content, const char* section,
                      const char* key, std::string* value) {
  const char* const stop = content.data() + content.size();
  bool inSection = false;
  for (const char* at = content.data(); at < stop;) {
    const char* lineEnd =
        static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(stop - at)));
    if (lineEnd == nullptr) lineEnd = stop;
    Span t = Span{at, lineEnd}.trimmed();
    at = lineEnd + 1;
    if (t.empty() || *t.begin == ';') continue;
    if (*t.begin == '[') {
      Span name{t.begin + 1, t.find(']')};
      inSection = name.trimmed().sameName(section);
      continue;
    }
    if (!inSection) continue;
    const char* eq = t.find('=');
    if (eq == t.end) continue;
    if (!Span{t.begin, eq}.trimmed().sameName(key)) continue;
    Span v = Span{eq + 1, t.end}.trimmed();
    if (v.end - v.begin >= 2 && (*v.begin == '"' || *v.begin == '\'') &&
        v.end[-1] == *v.begin) {
      ++v.begin;
      --v.end;
    }
    value->assign(v.begin, v.end);
    return true;
  }
  return false;
}

// The whole file, or false when it cannot be opened.
bool readWhole(const std::string& hostPath, std::string* content) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    content->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
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
  // Straight to the file: a stream would take an 8 KiB buffer from the heap
  // for every file a test or a fuzz input writes.
  int fd = ::open(hostPath(windowsPath).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
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
    std::string content;
    if (sim::readWhole(m.hostPath(fileName), &content))
      found = sim::findProfileValue(content, section, key, &value);
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
