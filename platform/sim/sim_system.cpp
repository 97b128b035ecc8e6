// Handles, threads, time, version, libraries, drives and the shell of the
// simulated machine.
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <new>

#include "platform/platform.h"
#include "platform/sim/sim_internal.h"

namespace sim {

pf::HANDLE makeHandle(HandleKind kind, int index) {
  Machine& m = machine();
  PlatformRecords& r = m.records();
  std::uintptr_t value = r.nextHandle;
  r.nextHandle += 4;
  r.handleTable[value] = {static_cast<int>(kind), index};
  return reinterpret_cast<pf::HANDLE>(value);
}

HandleInfo lookupHandle(pf::HANDLE handle) {
  Machine& m = machine();
  auto& table = m.records().handleTable;
  auto it = table.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == table.end()) return HandleInfo{};
  return HandleInfo{static_cast<HandleKind>(it->second.first),
                    it->second.second};
}

void releaseHandle(pf::HANDLE handle) {
  machine().records().handleTable.erase(reinterpret_cast<std::uintptr_t>(handle));
}

int Machine::openHandles() { return static_cast<int>(records().handleTable.size()); }

namespace {

pf::HMODULE moduleHandle(std::size_t index) {
  return reinterpret_cast<pf::HMODULE>(static_cast<std::uintptr_t>(0x100 + index));
}

std::string moduleName(pf::HMODULE module) {
  Machine& m = machine();
  std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(module);
  if (raw < 0x100 || raw - 0x100 >= m.loadedLibraries.size()) return "";
  return m.loadedLibraries[raw - 0x100];
}

}  // namespace
}  // namespace sim

namespace pf {

void Sleep(DWORD milliseconds) {
  sim::Machine& m = sim::machine();
  m.processDue();
  m.sleepFor(static_cast<std::int64_t>(milliseconds) * 1000);
  m.processDue();
}

HANDLE CreateThread(void*, std::size_t, ThreadStart start, void* argument,
                    DWORD, DWORD* threadId) {
  if (sim::enterFails(sim::Call::CreateThread)) return nullptr;
  // Windows 95 and 98 refuse a thread without a place for its id; the
  // simulated machine is as strict as the strictest Windows.
  if (threadId == nullptr) return nullptr;
  int id = sim::machine().spawnThread([start, argument] { start(argument); });
  if (threadId != nullptr) *threadId = static_cast<DWORD>(id);
  return sim::makeHandle(sim::HandleKind::Thread, id);
}

BOOL CancelSynchronousIo(HANDLE thread) {
  if (sim::enterFails(sim::Call::CancelSynchronousIo)) return 0;
  sim::HandleInfo info = sim::lookupHandle(thread);
  if (info.kind != sim::HandleKind::Thread) return 0;
  return sim::machine().cancelThreadIo(info.index) ? 1 : 0;
}

// The simulated threads are real threads, so a real lock stands behind the
// Windows one.
static_assert(sizeof(std::mutex) <= sizeof(CRITICAL_SECTION) &&
                  alignof(std::mutex) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION room");
static std::mutex& sectionLock(CRITICAL_SECTION* section) {
  return *std::launder(reinterpret_cast<std::mutex*>(section->opaque));
}
void InitializeCriticalSection(CRITICAL_SECTION* section) {
  new (section->opaque) std::mutex();
}
void EnterCriticalSection(CRITICAL_SECTION* section) {
  sectionLock(section).lock();
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
  sectionLock(section).unlock();
}
void DeleteCriticalSection(CRITICAL_SECTION* section) {
  sectionLock(section).~mutex();
}

BOOL CloseHandle(HANDLE handle) {
  if (sim::enterFails(sim::Call::CloseHandle)) return 0;
  sim::Machine& m = sim::machine();
  sim::HandleInfo info = sim::lookupHandle(handle);
  if (info.kind == sim::HandleKind::None) return 0;
  if (info.kind == sim::HandleKind::Port) {
    sim::SimPort& port = *m.ports[static_cast<std::size_t>(info.index)];
    port.isOpen = false;
    port.rx.clear();
    port.rxReadable = 0;
    if (port.onClosed) port.onClosed(m.nowUs());
  }
  sim::releaseHandle(handle);
  return 1;
}

UINT timeBeginPeriod(UINT period) {
  if (sim::enterFails(sim::Call::timeBeginPeriod)) return 97;  // TIMERR_NOCANDO
  sim::machine().timerPeriodMs = period;
  return 0;
}

UINT timeEndPeriod(UINT period) {
  if (period == 0 || period != sim::machine().timerPeriodMs) return 97;
  sim::machine().timerPeriodMs = 0;
  return 0;
}

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (sim::enterFails(sim::Call::GetVersionExA)) return 0;
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
    return 0;
  const sim::Machine& m = sim::machine();
  info->dwMajorVersion = static_cast<DWORD>(m.versionMajor);
  info->dwMinorVersion = static_cast<DWORD>(m.versionMinor);
  info->dwBuildNumber = static_cast<DWORD>(m.versionBuild);
  info->dwPlatformId = static_cast<DWORD>(m.platformId);
  info->szCSDVersion[0] = '\0';
  return 1;
}

DWORD GetVersion() {
  sim::enterFails(sim::Call::GetVersion);
  const sim::Machine& m = sim::machine();
  DWORD version = static_cast<DWORD>(m.versionMajor & 0xFF) |
                  static_cast<DWORD>((m.versionMinor & 0xFF) << 8) |
                  (static_cast<DWORD>(m.versionBuild & 0x7FFF) << 16);
  if (m.platformId == 1) version |= 0x80000000u;
  return version;
}

HMODULE GetModuleHandleA(const char* name) {
  if (sim::enterFails(sim::Call::GetModuleHandleA) || name == nullptr)
    return nullptr;
  sim::Machine& m = sim::machine();
  std::string wanted = sim::lowerCase(name);
  for (std::size_t i = 0; i < m.loadedLibraries.size(); ++i)
    if (m.loadedLibraries[i] == wanted) return sim::moduleHandle(i);
  return nullptr;
}

HMODULE LoadLibraryA(const char* name) {
  sim::Machine& m = sim::machine();
  if (sim::enterFails(sim::Call::LoadLibraryA) || name == nullptr ||
      m.libraryLoadFails || m.libraries.count(sim::lowerCase(name)) == 0) {
    m.lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  std::string wanted = sim::lowerCase(name);
  for (std::size_t i = 0; i < m.loadedLibraries.size(); ++i)
    if (m.loadedLibraries[i] == wanted) return sim::moduleHandle(i);
  m.loadedLibraries.push_back(wanted);
  return sim::moduleHandle(m.loadedLibraries.size() - 1);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  if (sim::enterFails(sim::Call::GetProcAddress) || name == nullptr)
    return nullptr;
  sim::Machine& m = sim::machine();
  auto lib = m.libraries.find(sim::moduleName(module));
  if (lib == m.libraries.end()) return nullptr;
  auto fn = lib->second.find(name);
  return fn == lib->second.end() ? nullptr : fn->second;
}

DWORD GetLastError() { return sim::machine().lastError; }

BOOL FreeLibrary(HMODULE module) {
  if (sim::enterFails(sim::Call::FreeLibrary)) return 0;
  sim::Machine& m = sim::machine();
  std::string name = sim::moduleName(module);
  if (name.empty()) return 0;
  // Keep the positions of the others: their handles stay valid.
  m.loadedLibraries[reinterpret_cast<std::uintptr_t>(module) - 0x100] = "";
  return 1;
}

unsigned long getdrives() {
  sim::enterFails(sim::Call::getdrives);
  return sim::machine().drives;
}

int SHFileOperationA(SHFILEOPSTRUCTA* operation) {
  sim::Machine& m = sim::machine();
  if (sim::enterFails(sim::Call::SHFileOperationA)) return 0x75;  // cancelled
  const bool cancelled = m.shellCopyCancelNth > 0 && --m.shellCopyCancelNth == 0;
  if (m.shellCopyResult != 0 && !cancelled) return m.shellCopyResult;
  if (operation == nullptr || operation->wFunc != FO_COPY ||
      operation->pFrom == nullptr || operation->pTo == nullptr)
    return 0x7C;  // DE_INVALIDFILES
  std::string to = operation->pTo;
  if (to.size() < 2 || to[1] != ':' ||
      !((m.drives >> (std::toupper(static_cast<unsigned char>(to[0])) - 'A')) & 1ul))
    return 0x7C;
  std::ifstream in(m.hostPath(operation->pFrom), std::ios::binary);
  if (!in) return 2;
  std::ofstream out(m.hostPath(to), std::ios::binary | std::ios::trunc);
  if (!out) return 0x7C;
  if (cancelled) {
    // Stopped halfway, as a Cancel in the progress window leaves it: the
    // first half of the file is on the disk.
    std::string bytes((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    operation->fAnyOperationsAborted = 1;
    if (m.onDiskEvent) m.onDiskEvent(m.nowUs(), "copy cancelled to " + to);
    return m.shellCancelResult;
  }
  // Windows copies an empty file like any other; inserting an empty buffer
  // would mark the stream failed.
  if (in.peek() != std::ifstream::traits_type::eof()) out << in.rdbuf();
  if (m.onDiskEvent) m.onDiskEvent(m.nowUs(), "copy to " + to);
  return out ? 0 : 0x70;  // DE_DIFFDIR... any failure
}

HINSTANCE ShellExecuteA(HWND, const char* operation, const char* file,
                        const char* parameters, const char*, int showCommand) {
  sim::Machine& m = sim::machine();
  if (sim::enterFails(sim::Call::ShellExecuteA))
    return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(2));
  sim::ShellExecuteRecord record{operation != nullptr ? operation : "",
                                 file != nullptr ? file : "",
                                 parameters != nullptr ? parameters : "",
                                 showCommand, m.nowUs()};
  m.shellExecutes.push_back(record);
  if (m.onShellExecute) m.onShellExecute(record);
  return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(42));
}

}  // namespace pf
