// The one record of a run: configuration, the baud-rate sweep, the port
// candidates, the drive state, the open streams and the serial port.
#ifndef VANTOR_APP_CONTEXT_H
#define VANTOR_APP_CONTEXT_H

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "serial/serial_port.h"

enum ProbeState { Pending = 0, Found = 1, NoAnswer = 2, Failed = 3 };

// The running Windows by version, 0 to 6 (classifyOs). Classes 5 and 6 take
// the newer USB-disk behaviour, 0 to 4 the older one.
using OsClass = int;

constexpr int kMaxCandidates = 256;
// A search goes through this many baud rates, one pass each, fastest first.
constexpr int kBaudRateCount = 4;
// How long the main thread waits for one probe's verdict before it gives
// the probe up (an open or a write that hangs).
constexpr std::int32_t kProbeTimeoutMs = 3000;
constexpr std::size_t kPortNameSize = 40;
// A file name is held up to the Windows path limit; a longer one is refused,
// never cut.
constexpr std::size_t kFileNameSize = pf::MAX_PATH;
// The files the configuration names: ROM loader, boot loader, kernel,
// ramdisk.
constexpr int kFileNameCount = 4;

struct PortCandidate {
  char name[kPortNameSize];
  // Written by the probe thread, polled by the main thread.
  std::atomic<int> state;
};

struct ConfiguratorContext {
  std::int32_t configuredPort;
  char portName[kPortNameSize];
  std::int32_t baudRate;
  char fileNames[kFileNameCount][kFileNameSize];
  std::int32_t baudIndex;
  std::int32_t baudCount;
  std::int32_t baudRates[kBaudRateCount];
  std::int32_t lineDelays[kBaudRateCount];
  std::int32_t probeTimeoutMs;
  pf::HANDLE probeThread;
  std::uint32_t drivesBefore;
  std::uint32_t drivesNow;
  std::int8_t driveNumber;
  char driveLetter[2];
  FILE* romLoaderFile;
  SerialPort* port;
  FILE* log;
  PortCandidate candidates[kMaxCandidates];
  std::int32_t candidateCount;
  OsClass osClass;
  std::int32_t lineDelayMs;
  std::int32_t candidateIndex;

  ConfiguratorContext();
  // Releases the port object's memory only; the device is closed by the
  // endings of the procedure.
  ~ConfiguratorContext();
  ConfiguratorContext(const ConfiguratorContext&) = delete;
  ConfiguratorContext& operator=(const ConfiguratorContext&) = delete;

  int createPort();
  // 0, or -1 when a configured value cannot be used (it has been reported).
  int loadConfiguration();
  int openLog(const char* fileName);
  [[noreturn]] void abortProcedure();
};

OsClass classifyOs();

// The newer USB-disk behaviour: the program ejects the module's disk itself
// and the cable stays in between the images; no pause follows the copy.
// With the older one the operator stops the disk in the hot-plug applet and
// unplugs the cable, and each copy is followed by a pause.
bool hasNewerUsbDiskBehaviour(OsClass osClass);

#endif
