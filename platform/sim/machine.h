// A simulated Windows machine behind the platform calls, for the host build.
//
// Tests script it (versions, directories, registry, ports and what sits at
// their far end, drives, keys typed by the operator, failures of any call)
// and read what the program did to it (console bytes, files, bytes written
// to each port, calls made).
//
// Time is virtual: Sleep advances the clock and returns at once. Threads
// created through CreateThread are real threads, but only one simulated
// thread runs at a time and the clock passes only when every thread waits,
// so a run is the same every time it is repeated.
#ifndef VANTOR_PLATFORM_SIM_MACHINE_H
#define VANTOR_PLATFORM_SIM_MACHINE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_devtree.h"

namespace sim {

// Every platform call that a test can make fail or count.
enum class Call {
  CreateFileA, SetCommMask, SetCommTimeouts, SetCommState, ReadFile,
  WriteFile, ClearCommError, SetCommBreak, ClearCommBreak, CloseHandle,
  CreateThread, CancelSynchronousIo, GetVersionExA, GetVersion,
  GetCurrentDirectoryA, GetWindowsDirectoryA, CreateDirectoryA,
  GetPrivateProfileStringA, GetPrivateProfileIntA, GetModuleHandleA,
  LoadLibraryA, GetProcAddress, FreeLibrary, RegOpenKeyExA, RegEnumValueA,
  RegQueryValueExA, RegCloseKey, SHFileOperationA, ShellExecuteA, fopen,
  malloc, setlocale, wcstombs, getdrives, timeBeginPeriod, Count
};

constexpr std::int64_t kForever = INT64_MAX;

// Thrown through the program when the simulated process ends (exit), so a
// test regains control with the status.
struct ProcessExit {
  int status;
};

// Thrown when the simulation cannot go on: every thread waits for something
// that can never come, or virtual time ran past the test's horizon.
struct SimulationStopped {
  std::string reason;
};

// One serial port of the machine and what is plugged into it.
struct SimPort {
  std::string name;  // as listed, e.g. "COM3"

  // Faults of the port itself.
  bool createFails = false;     // CreateFileA answers INVALID_HANDLE_VALUE
  bool maskFails = false;
  bool timeoutsFails = false;
  bool stateFails = false;
  bool openHangs = false;       // CreateFileA blocks until released/cancelled
  bool gone = false;            // the adapter is unplugged: I/O calls fail

  // The far end. Each hook is optional. Times are virtual microseconds.
  std::function<void(std::int64_t now, const pf::DCB& dcb)> onConfigured;
  std::function<void(std::int64_t now)> onClosed;
  std::function<void(std::int64_t now, const std::uint8_t* data,
                     std::size_t size)> onWrite;
  // Told every byte the program takes from the line, as it takes it.
  std::function<void(std::int64_t now, const std::uint8_t* data,
                     std::size_t size)> onRead;
  std::function<void(std::int64_t now, std::int64_t durationUs)> onBreak;
  // Called before the port is looked at, so the far end can deliver what is
  // due; and asked when it next has something to deliver.
  std::function<void(std::int64_t now)> advance;
  std::function<std::int64_t()> nextEventUs;

  // Queues bytes that become readable at the given time. Bytes delivered
  // while the port is closed are lost, as on a real line.
  void deliver(const std::string& bytes, std::int64_t availableAtUs);
  void deliver(const std::uint8_t* bytes, std::size_t size,
               std::int64_t availableAtUs);
  // Lets a hung CreateFileA go on (and succeed, unless createFails).
  void releaseHang();

  // What happened, for the tests.
  bool isOpen = false;
  int opens = 0;                 // successful CreateFileA calls
  pf::DCB lastDcb{};
  pf::COMMTIMEOUTS lastTimeouts{};
  pf::DWORD lastMask = 0xFFFFFFFFu;
  std::string written;           // every byte the program wrote, in order
  std::vector<std::int64_t> breakStarts;
  std::vector<std::int64_t> breakEnds;

  // Internal state.
  struct RxByte {
    std::uint8_t byte;
    std::int64_t at;
  };
  std::deque<RxByte> rx;
  // How many bytes at the front of rx were readable when last looked at.
  // The clock never goes back, so they stay readable: the next look starts
  // after them instead of at the front of a queue that may hold thousands.
  std::size_t rxReadable = 0;
  bool hangReleased = false;
  bool inBreak = false;
  std::vector<int> blockedThreads;  // waiting in ReadFile or a hung open
  void wakeBlocked();
};

struct SimRegistryValue {
  std::string name;
  pf::DWORD type = pf::REG_SZ;
  std::string data;  // raw bytes, a terminating NUL only if the test put one
};

struct ShellExecuteRecord {
  std::string operation, file, parameters;
  int show = 0;
  std::int64_t at = 0;
};

struct PlatformRecords;

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ---- time ----
  std::int64_t nowUs() const;
  std::int64_t nowMs() const { return nowUs() / 1000; }
  // Runs fn at the given virtual time (on whichever thread looks at the
  // machine first from then on).
  void at(std::int64_t timeUs, std::function<void(std::int64_t now)> fn);
  // Virtual time after which the simulation stops with SimulationStopped.
  std::int64_t horizonUs = 48LL * 3600 * 1000000;

  // ---- console ----
  std::string console;                 // everything written to stdout
  std::deque<int> keys;                // the operator's keys; EOF when empty
  std::function<void()> onKeyWanted;   // called when keys is empty
  int keyReads = 0;
  void pressEnter(int times = 1);
  int codePage = 850;                  // 850 or 437

  // ---- system ----
  int versionMajor = 6, versionMinor = 1, versionBuild = 7601;
  int platformId = 2;  // 1: Windows 9x family
  std::string currentDirectory = "C:\\work";
  std::string windowsDirectory = "C:\\WINDOWS";
  // Root of the real folder that holds the simulated drives: drive X: is
  // the folder root()/X.
  const std::string& root() const { return root_; }
  // Real path of a Windows path (relative ones against currentDirectory).
  std::string hostPath(const std::string& windowsPath) const;
  void writeFile(const std::string& windowsPath, const std::string& bytes);
  std::string readFile(const std::string& windowsPath) const;
  bool fileExists(const std::string& windowsPath) const;
  void makeDirectory(const std::string& windowsPath);
  // Windows paths whose fopen fails (compared without regard to case).
  std::vector<std::string> unopenable;

  // ---- drives ----
  unsigned long drives = 1ul << 2;  // C:
  void addDrive(char letter);
  void removeDrive(char letter);
  std::vector<ShellExecuteRecord> shellExecutes;
  std::function<void(const ShellExecuteRecord&)> onShellExecute;
  int shellCopyResult = 0;  // a non-zero value makes SHFileOperationA fail
  // The n-th copy from now (1: the next) stops halfway and sets
  // fAnyOperationsAborted, as a Cancel in the progress window does; it
  // answers shellCancelResult, which some Windows versions leave at 0.
  int shellCopyCancelNth = 0;
  int shellCancelResult = 0;
  // Told of every drive letter that comes or goes and of every shell copy,
  // with the virtual time, for tests that follow the run as it goes.
  std::function<void(std::int64_t now, const std::string& what)> onDiskEvent;

  // ---- registry (HKEY_LOCAL_MACHINE only) ----
  void setValue(const std::string& keyPath, const std::string& name,
                pf::DWORD type, const std::string& data);
  void addKey(const std::string& keyPath);
  std::map<std::string, std::vector<SimRegistryValue>> registry;  // by
                                                                 // lower-case
                                                                 // key path

  // ---- modules ----
  // Exported functions of loadable libraries, by lower-case library name.
  std::map<std::string, std::map<std::string, pf::FARPROC>> libraries;
  std::vector<std::string> loadedLibraries;   // lower-case names
  bool libraryLoadFails = false;
  pf::DWORD lastError = 0;

  // ---- serial ports ----
  SimPort& addPort(const std::string& name);
  SimPort* port(const std::string& name);
  std::vector<std::unique_ptr<SimPort>> ports;

  // ---- failures and call counts ----
  // Makes the next `times` calls fail (-1: every call).
  void fail(Call call, int times = -1);
  // Fails only the n-th call from now (1 = the next one).
  void failNth(Call call, int n);
  bool shouldFail(Call call);
  int calls(Call call) const { return callCounts_[static_cast<int>(call)]; }
  void count(Call call) { ++callCounts_[static_cast<int>(call)]; }
  std::function<bool(std::size_t size)> allocationFails;
  std::atomic<int> liveBlocks{0};  // given by malloc, not yet freed

  // ---- exit ----
  std::vector<void (*)()> exitHandlers;
  // The period timeBeginPeriod holds, 0 when none; timeEndPeriod is refused
  // for any other, as Windows refuses it.
  pf::UINT timerPeriodMs = 0;

  // ---- threads (used by the platform calls) ----
  void sleepFor(std::int64_t us);
  void sleepUntil(std::int64_t timeUs);
  // Blocks the current thread until wake(id) or a cancel; returns false
  // when cancelled. The wait is cancellable by CancelSynchronousIo.
  bool blockCurrent();
  int currentThread() const;
  int spawnThread(std::function<void()> body);
  void wakeThread(int id);
  bool cancelThreadIo(int id);
  int liveThreads() const;
  // Makes every thread but the main one end at the wait it is in, and joins
  // them.
  void endThreads();
  FILE* consoleStream();
  // Runs due timed events; every platform call starts with it.
  void processDue();
  // Called at the start of every platform call, before due events: lets an
  // observer follow the program step by step (a replay watches its log).
  std::function<void()> onCall;
  // Text-mode files the program has open, so that those of a process that
  // was stopped (not ended) can be closed after it.
  std::map<void*, FILE*> textStreams;
  void closeFilesLeftOpen();
  // Earliest time at which anything scheduled happens.
  std::int64_t nextEventUs();

  // ---- the platform calls' own records (handles, the locale, open
  // registry keys), defined where the calls are: tests leave them alone ----
  PlatformRecords& records() { return *records_; }
  // Handles made and not yet closed (ports and threads).
  int openHandles();

  // ---- configuration manager (setupapi.dll) ----
  SimDeviceTree deviceTree;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<PlatformRecords> records_;
  std::string root_;
  int callCounts_[static_cast<int>(Call::Count)] = {};
  int failTimes_[static_cast<int>(Call::Count)] = {};
  int failNth_[static_cast<int>(Call::Count)] = {};
};

// The one machine of the process.
Machine& machine();
// Replaces it with a machine in its initial state, after ending every thread
// that the previous one still ran. Called by test fixtures on the test
// thread, which becomes the program's main thread.
void resetMachine();

// Runs the program's entry function as the simulated process: returns its
// exit status, whether it returned or called exit, after running the exit
// handlers it registered.
int runProcess(int (*entry)());

}  // namespace sim

#endif
