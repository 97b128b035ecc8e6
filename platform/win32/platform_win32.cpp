// The real machine: every call forwards to Windows or its C runtime.
// No decisions are taken here; results pass back unchanged.
#include "platform/platform.h"  // before <windows.h>: shares its macro names

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <mmsystem.h>
#include <direct.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(pf::DCB) == sizeof(::DCB), "DCB layout");
static_assert(sizeof(pf::COMMTIMEOUTS) == sizeof(::COMMTIMEOUTS), "layout");
static_assert(sizeof(pf::COMSTAT) == sizeof(::COMSTAT), "COMSTAT layout");
static_assert(sizeof(pf::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA), "layout");
static_assert(sizeof(::CRITICAL_SECTION) <= sizeof(pf::CRITICAL_SECTION) &&
                  alignof(::CRITICAL_SECTION) <= alignof(pf::CRITICAL_SECTION),
              "CRITICAL_SECTION room");

namespace pf {

FILE* consoleOut() { return stdout; }
int readConsoleChar() { return getchar(); }
char* setlocale(int category, const char* locale) {
  return ::setlocale(category, locale);
}
std::size_t wcstombs(char* dest, const wchar_t* src, std::size_t max) {
  return ::wcstombs(dest, src, max);
}
void* malloc(std::size_t size) { return std::malloc(size); }
void free(void* block) { std::free(block); }
FILE* fopen(const char* path, const char* mode) { return ::fopen(path, mode); }
unsigned long getdrives() { return ::_getdrives(); }
int atexit(void (*handler)()) { return std::atexit(handler); }
void exit(int status) { std::exit(status); }

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

HANDLE CreateThread(void* security, std::size_t stackSize, ThreadStart start,
                    void* argument, DWORD flags, DWORD* threadId) {
  return ::CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security),
                        stackSize,
                        reinterpret_cast<LPTHREAD_START_ROUTINE>(start),
                        argument, flags, threadId);
}

BOOL CancelSynchronousIo(HANDLE thread) {
  // Looked up at run time: the call exists only from Windows Vista on.
  using Fn = ::BOOL(WINAPI*)(::HANDLE);
  ::HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return 0;
  Fn fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "CancelSynchronousIo")));
  if (fn == nullptr) return 0;
  return fn(thread);
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  ::InitializeCriticalSection(reinterpret_cast<::CRITICAL_SECTION*>(section));
}
void EnterCriticalSection(CRITICAL_SECTION* section) {
  ::EnterCriticalSection(reinterpret_cast<::CRITICAL_SECTION*>(section));
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
  ::LeaveCriticalSection(reinterpret_cast<::CRITICAL_SECTION*>(section));
}
void DeleteCriticalSection(CRITICAL_SECTION* section) {
  ::DeleteCriticalSection(reinterpret_cast<::CRITICAL_SECTION*>(section));
}

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
UINT timeBeginPeriod(UINT milliseconds) {
  return ::timeBeginPeriod(milliseconds);
}
UINT timeEndPeriod(UINT milliseconds) { return ::timeEndPeriod(milliseconds); }

HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode,
                   void* security, DWORD creation, DWORD flags,
                   HANDLE templateFile) {
  return ::CreateFileA(name, access, shareMode,
                       static_cast<LPSECURITY_ATTRIBUTES>(security), creation,
                       flags, templateFile);
}
BOOL SetCommMask(HANDLE file, DWORD mask) { return ::SetCommMask(file, mask); }
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  ::COMMTIMEOUTS real;
  std::memcpy(&real, timeouts, sizeof real);
  return ::SetCommTimeouts(file, &real);
}
BOOL SetCommState(HANDLE file, const DCB* dcb) {
  ::DCB real;
  std::memcpy(&real, dcb, sizeof real);
  return ::SetCommState(file, &real);
}
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
              void* overlapped) {
  return ::ReadFile(file, buffer, count, read,
                    static_cast<LPOVERLAPPED>(overlapped));
}
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
               void* overlapped) {
  return ::WriteFile(file, buffer, count, written,
                     static_cast<LPOVERLAPPED>(overlapped));
}
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) {
  // Both out-values are optional; a missing status is simply not returned.
  if (status == nullptr) return ::ClearCommError(file, errors, nullptr);
  ::COMSTAT real;
  std::memcpy(&real, status, sizeof real);
  BOOL result = ::ClearCommError(file, errors, &real);
  std::memcpy(status, &real, sizeof real);
  return result;
}
BOOL SetCommBreak(HANDLE file) { return ::SetCommBreak(file); }
BOOL ClearCommBreak(HANDLE file) { return ::ClearCommBreak(file); }

// Deprecated since Windows 8.1, where it reports 6.2 to programs without a
// manifest; 6.2 falls in the same version class as Windows 7's 6.1, and the
// replacement helpers do not exist on the older Windows.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
BOOL GetVersionExA(OSVERSIONINFOA* info) {
  return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
}
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
DWORD GetVersion() { return ::GetVersion(); }
DWORD GetCurrentDirectoryA(DWORD size, char* buffer) {
  return ::GetCurrentDirectoryA(size, buffer);
}
UINT GetWindowsDirectoryA(char* buffer, UINT size) {
  return ::GetWindowsDirectoryA(buffer, size);
}
BOOL CreateDirectoryA(const char* path, void* security) {
  return ::CreateDirectoryA(path, static_cast<LPSECURITY_ATTRIBUTES>(security));
}
DWORD GetPrivateProfileStringA(const char* section, const char* key,
                               const char* defaultValue, char* buffer,
                               DWORD size, const char* fileName) {
  return ::GetPrivateProfileStringA(section, key, defaultValue, buffer, size,
                                    fileName);
}
UINT GetPrivateProfileIntA(const char* section, const char* key,
                           int defaultValue, const char* fileName) {
  return ::GetPrivateProfileIntA(section, key, defaultValue, fileName);
}
HMODULE GetModuleHandleA(const char* name) { return ::GetModuleHandleA(name); }
HMODULE LoadLibraryA(const char* name) { return ::LoadLibraryA(name); }
FARPROC GetProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(
      ::GetProcAddress(static_cast<::HMODULE>(module), name)));
}
DWORD GetLastError() { return ::GetLastError(); }
BOOL FreeLibrary(HMODULE module) {
  return ::FreeLibrary(static_cast<::HMODULE>(module));
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access,
                   HKEY* result) {
  return ::RegOpenKeyExA(reinterpret_cast<::HKEY>(key), subKey, options,
                         access, reinterpret_cast<::HKEY*>(result));
}
LONG RegEnumValueA(HKEY key, DWORD index, char* valueName,
                   DWORD* valueNameLength, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataLength) {
  return ::RegEnumValueA(reinterpret_cast<::HKEY>(key), index, valueName,
                         valueNameLength, reserved, type, data, dataLength);
}
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* dataLength) {
  return ::RegQueryValueExA(reinterpret_cast<::HKEY>(key), valueName, reserved,
                            type, data, dataLength);
}
LONG RegCloseKey(HKEY key) {
  return ::RegCloseKey(reinterpret_cast<::HKEY>(key));
}

// Field by field: the shell's structure is byte-packed on 32-bit Windows,
// so its fields do not sit where the seam's naturally aligned ones do.
int SHFileOperationA(SHFILEOPSTRUCTA* operation) {
  ::SHFILEOPSTRUCTA real;
  std::memset(&real, 0, sizeof real);
  real.hwnd = static_cast<::HWND>(operation->hwnd);
  real.wFunc = operation->wFunc;
  real.pFrom = operation->pFrom;
  real.pTo = operation->pTo;
  real.fFlags = operation->fFlags;
  real.lpszProgressTitle = operation->lpszProgressTitle;
  int result = ::SHFileOperationA(&real);
  operation->fAnyOperationsAborted = real.fAnyOperationsAborted;
  operation->hNameMappings = real.hNameMappings;
  return result;
}
HINSTANCE ShellExecuteA(HWND owner, const char* operation, const char* file,
                        const char* parameters, const char* directory,
                        int showCommand) {
  return ::ShellExecuteA(static_cast<::HWND>(owner), operation, file,
                         parameters, directory, showCommand);
}

}  // namespace pf
