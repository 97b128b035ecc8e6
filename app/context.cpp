#include "app/context.h"

#include <cstring>
#include <new>

#include "app/catalogue.h"
#include "app/console.h"

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

ConfiguratorContext::ConfiguratorContext()
    : configuredPort(0),
      portName(),
      baudRate(0),
      fileNames(),
      baudIndex(0),
      baudCount(0),
      baudRates(),
      lineDelays(),
      probeTimeoutMs(0),
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
      osClass(0),
      lineDelayMs(0),
      candidateIndex(0) {
  osClass = classifyOs();
  configuredPort = 0;
  if (createPort() < 0) return;
  log = nullptr;
  romLoaderFile = nullptr;
  const std::int32_t rates[4] = {115200, 38400, 19200, 9600};
  const std::int32_t delays[4] = {5, 30, 50, 50};
  for (int i = 0; i < 4; ++i) {
    baudRates[i] = rates[i];
    lineDelays[i] = delays[i];
  }
  baudIndex = 0;
  baudCount = 4;
  probeTimeoutMs = 3000;
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
