// The record of a run and its members: the version class, the port object,
// the configuration file, the log, and the ending of a failed run.
#include "app/context.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "app/catalogue.h"
#include "app/console.h"

namespace {

const char kConfigFile[] = "vantor_config.ini";

struct FileNameKey {
  const char* key;
  const char* defaultName;
  const char* logFormat;
};

const FileNameKey kFileNameKeys[kFileNameCount] = {
    {"blob_boot", "blob-bootloader.txt", "[BLOB TXT]: %s\n"},
    {"blob", "blob.uue", "[BLOB]: %s\n"},
    {"kernel", "zImage", "[KERNEL]: %s\n"},
    {"ramdisk", "cramfs.img", "[RAMDISK]: %s\n"},
};

}  // namespace

OsClass classifyOs() {
  pf::OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!pf::GetVersionExA(&info)) return 0;
  pf::DWORD major = info.dwMajorVersion;
  pf::DWORD minor = info.dwMinorVersion;
  if (major > 4 && minor != 0) return 6;
  if (major == 5 && minor == 0) return 5;
  if (major == 4) {
    if (minor == 90) return 4;
    if (minor == 10) return 3;
    if (minor == 0) return 1;
  }
  return 0;
}

bool hasNewerUsbDiskBehaviour(OsClass osClass) {
  return osClass == 5 || osClass == 6;
}

ConfiguratorContext::ConfiguratorContext()
    : configuredPort(0),
      portName(),
      baudRate(0),
      fileNames(),
      baudIndex(0),
      baudCount(kBaudRateCount),
      // Fastest first; each rate's pause after a ROM loader record, in ms.
      baudRates{115200, 38400, 19200, 9600},
      lineDelays{5, 30, 50, 50},
      probeTimeoutMs(kProbeTimeoutMs),
      probeThread(nullptr),
      drivesBefore(0),
      drivesNow(0),
      driveNumber(0),
      driveLetter(),
      romLoaderFile(nullptr),
      port(nullptr),
      log(nullptr),
      candidates(),
      candidateCount(0),
      osClass(classifyOs()),
      lineDelayMs(0),
      candidateIndex(0) {
  createPort();
}

ConfiguratorContext::~ConfiguratorContext() {
  if (port != nullptr) {
    port->~SerialPort();
    pf::free(port);
  }
}

int ConfiguratorContext::createPort() {
  void* block = pf::malloc(sizeof(SerialPort));
  if (block == nullptr) {
    printFlushed(pf::consoleOut(), "%s", message(kMsgNoPortObject));
    return -1;
  }
  port = new (block) SerialPort();
  return 0;
}

int ConfiguratorContext::loadConfiguration() {
  char directory[pf::MAX_PATH];
  pf::DWORD length = pf::GetCurrentDirectoryA(sizeof directory, directory);
  // Windows opens no profile whose path exceeds MAX_PATH: it answers with
  // the defaults as if the file were missing.
  char path[pf::MAX_PATH];
  int pathLength = -1;
  if (length > 0 && length < sizeof directory)
    pathLength = std::snprintf(path, sizeof path, "%s\\%s", directory,
                               kConfigFile);
  if (pathLength < 0 || static_cast<std::size_t>(pathLength) >= sizeof path) {
    // Without a path to the file it cannot be read, and running on the
    // defaults could flash other files than the operator configured.
    consoleThenLog(*this, kMsgCannotOpenFile, kConfigFile);
    return -1;
  }

  const char* tooLong = nullptr;
  for (int i = 0; i < kFileNameCount; ++i) {
    // One character more than a name may have, to tell a name that fits
    // exactly from one that was cut.
    char value[kFileNameSize + 1] = {};
    pf::DWORD n = pf::GetPrivateProfileStringA(
        "File Name", kFileNameKeys[i].key, kFileNameKeys[i].defaultName, value,
        sizeof value, path);
    value[sizeof value - 1] = '\0';
    if (n >= kFileNameSize && tooLong == nullptr) tooLong = fileNames[i];
    // A name that did not fit is kept cut only for the log and the message
    // that refuses it.
    std::memcpy(fileNames[i], value, kFileNameSize - 1);
    fileNames[i][kFileNameSize - 1] = '\0';
  }
  configuredPort = static_cast<std::int32_t>(
      pf::GetPrivateProfileIntA("COM", "port", 0, path));
  std::snprintf(portName, sizeof portName, "COM%d", configuredPort);

  printMessage(log, kMsgFileNames);
  for (int i = 0; i < kFileNameCount; ++i)
    logPrint(*this, kFileNameKeys[i].logFormat, fileNames[i]);
  logPrint(*this, "[COM PORT]: %s\n\n",
           configuredPort != 0 ? portName : "* auto-detect");

  if (tooLong != nullptr) {
    consoleThenLog(*this, kMsgCannotOpenFile, tooLong);
    return -1;
  }
  return 0;
}

int ConfiguratorContext::openLog(const char* fileName) {
  log = pf::fopen(fileName, "w");
  if (log != nullptr) return 0;

  char windows[pf::MAX_PATH];
  pf::UINT length = pf::GetWindowsDirectoryA(windows, sizeof windows);
  char directory[2 * pf::MAX_PATH];
  char fallback[3 * pf::MAX_PATH];
  int dirLength = -1, fallbackLength = -1;
  if (length > 0 && length < sizeof windows) {
    dirLength = std::snprintf(directory, sizeof directory, "%s\\temp\\", windows);
    fallbackLength = std::snprintf(fallback, sizeof fallback, "%s%s",
                                   directory, fileName);
  }
  if (dirLength < 0 || static_cast<std::size_t>(dirLength) >= sizeof directory ||
      fallbackLength < 0 ||
      static_cast<std::size_t>(fallbackLength) >= sizeof fallback) {
    printMessage(pf::consoleOut(), kMsgCannotOpenFile, fileName);
    return -1;
  }

  log = pf::fopen(fallback, "w");
  if (log != nullptr) return 0;
  if (pf::CreateDirectoryA(directory, nullptr)) {
    log = pf::fopen(fallback, "w");
    if (log != nullptr) return 0;
  }
  printMessage(pf::consoleOut(), kMsgCannotOpenFile, fallback);
  return -1;
}

void ConfiguratorContext::abortProcedure() {
  printMessage(pf::consoleOut(), kMsgNotCompleted);
  printMessage(log, kMsgNotCompleted);
  waitForEnter();
  if (port != nullptr) port->close();
  if (romLoaderFile != nullptr) {
    std::fclose(romLoaderFile);
    romLoaderFile = nullptr;
  }
  if (log != nullptr) {
    std::fclose(log);
    log = nullptr;
  }
  pf::exit(-1);
}
