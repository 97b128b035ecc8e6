// The seam between the program's logic and the machine it runs on.
//
// Everything above platform/ calls these functions instead of Windows or the
// C runtime's Windows-only services. They keep the Windows names, arguments
// and results, so the logic reads like the Windows program it is. Two
// implementations exist and the build links exactly one of them:
// platform/win32 forwards each call to Windows, platform/sim answers from a
// simulated machine that the tests script.
//
// This header must be included before <windows.h> wherever both are needed:
// the constants below share their names with Windows' macros.
#ifndef VANTOR_PLATFORM_PLATFORM_H
#define VANTOR_PLATFORM_PLATFORM_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(__GNUC__)
#define PF_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PF_PRINTF_FORMAT(fmt, args)
#endif

// Entry points that Windows calls back (threads, setupapi) use the system's
// calling convention, which differs from the default only on 32-bit x86.
#if defined(_M_IX86) || defined(__i386__)
#define PF_WINAPI __stdcall
#else
#define PF_WINAPI
#endif

namespace pf {

// On Windows the integer types are exactly Windows' own, so that pointers
// to them pass through the forwards unchanged; elsewhere they have the same
// widths. Print them through a cast to unsigned or int.
#if defined(_WIN32)
using DWORD = unsigned long;
using LONG = long;
using ULONG = unsigned long;
#else
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
#endif
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using UINT = unsigned int;
using HANDLE = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HWND = void*;

struct HKEY__;
using HKEY = HKEY__*;

inline HANDLE const INVALID_HANDLE_VALUE =
    reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(
    static_cast<std::intptr_t>(static_cast<LONG>(0x80000002u)));

constexpr DWORD MAX_PATH = 260;

// CreateFileA
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;

// Registry
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;

// Serial line settings
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_DISABLE = 0;

// Shell
constexpr UINT FO_COPY = 2;
constexpr WORD FOF_NOCONFIRMATION = 0x0010;
constexpr WORD FOF_SIMPLEPROGRESS = 0x0100;
constexpr int SW_SHOW = 5;

// Configuration manager
using DEVINST = DWORD;
using CONFIGRET = DWORD;
constexpr CONFIGRET CR_SUCCESS = 0;
constexpr CONFIGRET CR_OUT_OF_MEMORY = 2;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 13;
constexpr CONFIGRET CR_REMOVE_VETOED = 23;
constexpr ULONG DN_REMOVABLE = 0x4000;
using PNP_VETO_TYPE = int;

// The layout and bit widths are those of the Windows DCB, field by field.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD flags;  // the Windows bit fields fCtsHold .. fTxim, never read here
  DWORD cbInQue;
  DWORD cbOutQue;
};

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");

struct SHFILEOPSTRUCTA {
  HWND hwnd;
  UINT wFunc;
  const char* pFrom;
  const char* pTo;
  WORD fFlags;
  BOOL fAnyOperationsAborted;
  void* hNameMappings;
  const char* lpszProgressTitle;
};

// Room for Windows' own CRITICAL_SECTION on either width (24 bytes on
// 32-bit Windows, 40 on 64-bit) and for the simulated machine's lock.
struct CRITICAL_SECTION {
  alignas(8) unsigned char opaque[64];
};

using ThreadStart = DWORD(PF_WINAPI*)(void* argument);
using FARPROC = void (*)();

// ---- Console and C runtime ----------------------------------------------

// Standard output of the console.
FILE* consoleOut();
// One character of standard input, or EOF.
int readConsoleChar();
char* setlocale(int category, const char* locale);
std::size_t wcstombs(char* dest, const wchar_t* src, std::size_t max);
void* malloc(std::size_t size);
void free(void* block);
// Opens a file by a Windows path, relative paths against the current
// directory.
FILE* fopen(const char* path, const char* mode);
// _getdrives: bit 0 is A:.
unsigned long getdrives();
// atexit and exit of the C runtime.
int atexit(void (*handler)());
[[noreturn]] void exit(int status);

// ---- kernel32: time and threads ------------------------------------------

void Sleep(DWORD milliseconds);
HANDLE CreateThread(void* security, std::size_t stackSize, ThreadStart start,
                    void* argument, DWORD flags, DWORD* threadId);
// Windows Vista and later only: the real side looks it up at run time and
// answers 0 where it is missing, like a cancel that found nothing pending.
BOOL CancelSynchronousIo(HANDLE thread);
// Every Windows has critical sections; the win32 thread model of the C++
// runtime has no std::mutex.
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
BOOL CloseHandle(HANDLE handle);
// Asks for a finer scheduler tick for the length of the run; 0 on success.
UINT timeBeginPeriod(UINT milliseconds);
UINT timeEndPeriod(UINT milliseconds);

// ---- kernel32: serial communications -------------------------------------

HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode,
                   void* security, DWORD creation, DWORD flags,
                   HANDLE templateFile);
BOOL SetCommMask(HANDLE file, DWORD mask);
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
BOOL SetCommState(HANDLE file, const DCB* dcb);
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
              void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
               void* overlapped);
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status);
BOOL SetCommBreak(HANDLE file);
BOOL ClearCommBreak(HANDLE file);

// ---- kernel32: system information, files, modules ------------------------

BOOL GetVersionExA(OSVERSIONINFOA* info);
DWORD GetVersion();
DWORD GetCurrentDirectoryA(DWORD size, char* buffer);
UINT GetWindowsDirectoryA(char* buffer, UINT size);
BOOL CreateDirectoryA(const char* path, void* security);
DWORD GetPrivateProfileStringA(const char* section, const char* key,
                               const char* defaultValue, char* buffer,
                               DWORD size, const char* fileName);
UINT GetPrivateProfileIntA(const char* section, const char* key,
                           int defaultValue, const char* fileName);
HMODULE GetModuleHandleA(const char* name);
HMODULE LoadLibraryA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
DWORD GetLastError();
BOOL FreeLibrary(HMODULE module);

// ---- advapi32 -------------------------------------------------------------

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access,
                   HKEY* result);
LONG RegEnumValueA(HKEY key, DWORD index, char* valueName,
                   DWORD* valueNameLength, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataLength);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* dataLength);
LONG RegCloseKey(HKEY key);

// ---- shell32 --------------------------------------------------------------

int SHFileOperationA(SHFILEOPSTRUCTA* operation);
HINSTANCE ShellExecuteA(HWND owner, const char* operation, const char* file,
                        const char* parameters, const char* directory,
                        int showCommand);

// ---- setupapi entry points, as GetProcAddress hands them out ---------------

using CM_Locate_DevNodeA_Fn = CONFIGRET(PF_WINAPI*)(DEVINST* devInst,
                                                    const char* deviceId,
                                                    ULONG flags);
using CM_Get_Child_Fn = CONFIGRET(PF_WINAPI*)(DEVINST* child, DEVINST devInst,
                                              ULONG flags);
using CM_Get_Sibling_Fn = CONFIGRET(PF_WINAPI*)(DEVINST* sibling,
                                                DEVINST devInst, ULONG flags);
using CM_Get_DevNode_Status_Fn = CONFIGRET(PF_WINAPI*)(ULONG* status,
                                                       ULONG* problem,
                                                       DEVINST devInst,
                                                       ULONG flags);
using CM_Get_Device_ID_Size_Fn = CONFIGRET(PF_WINAPI*)(ULONG* length,
                                                       DEVINST devInst,
                                                       ULONG flags);
using CM_Get_Device_IDA_Fn = CONFIGRET(PF_WINAPI*)(DEVINST devInst,
                                                   char* buffer, ULONG length,
                                                   ULONG flags);
using CM_Request_Device_EjectA_Fn = CONFIGRET(PF_WINAPI*)(
    DEVINST devInst, PNP_VETO_TYPE* vetoType, char* vetoName,
    ULONG vetoNameLength, ULONG flags);

}  // namespace pf

#endif
