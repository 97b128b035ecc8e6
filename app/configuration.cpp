// Reading vantor_config.ini and recording what was read in the log.
#include <cstdio>
#include <cstring>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"

namespace {

const char kConfigFile[] = "vantor_config.ini";

struct FileNameKey {
  const char* key;
  const char* defaultName;
  const char* logFormat;
};

const FileNameKey kFileNameKeys[4] = {
    {"blob_boot", "blob-bootloader.txt", "[BLOB TXT]: %s\n"},
    {"blob", "blob.uue", "[BLOB]: %s\n"},
    {"kernel", "zImage", "[KERNEL]: %s\n"},
    {"ramdisk", "cramfs.img", "[RAMDISK]: %s\n"},
};

}  // namespace

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
  for (int i = 0; i < 4; ++i) {
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
  for (int i = 0; i < 4; ++i) logPrint(*this, kFileNameKeys[i].logFormat, fileNames[i]);
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
