#include "stages/image_transfer.h"

#include <cstdio>
#include <cstring>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "disk/drive_watcher.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"
#include "stages/blob_dialogue.h"

namespace {

const char kEscape = 0x1B;

// The file each image name copies; none for any other name.
const char* imageFile(ConfiguratorContext& context, const char* name) {
  if (std::strcmp(name, "blob") == 0) return context.fileNames[1];
  if (std::strcmp(name, "kernel") == 0) return context.fileNames[2];
  if (std::strcmp(name, "ramdisk") == 0) return context.fileNames[3];
  return nullptr;
}

// Asks blob for its USB disk, at most four times. True once it reports the
// disk connected, whichever try that was.
bool connectUsbDisk(ConfiguratorContext& context, const char* name) {
  char command[kCommandSize];
  std::snprintf(command, sizeof command, "usbddisk %s", name);
  for (int tries = 0;; ++tries) {
    sendLine(context, command);
    pf::Sleep(kUsbCommandPauseMs);
    if (waitForText(context, "connected", kUsbConnectMs) == 0) return true;
    sendChar(context, kEscape);
    waitForBlobPrompt(context, kUsbAbandonPromptMs);
    if (tries == kUsbTries - 1) return false;
    consoleThenLog(context, kMsgReplugUsbCable);
  }
}

void flashImage(ConfiguratorContext& context, const char* name) {
  if (flashWithSpinner(context, name)) {
    printFlushed(pf::consoleOut(), "\n");
    printMessage(pf::consoleOut(), kMsgImageNotOnDisk);
    printMessage(context.log, kMsgImageNotOnDisk);
    context.abortProcedure();
  }
  reportFlashed(context);
}

// True only for a file that opens and holds no byte at all. A file that
// does not open is left to the shell copy, whose failure is reported.
bool isEmptyFile(const char* fileName) {
  FILE* file = pf::fopen(fileName, "rb");
  if (file == nullptr) return false;
  bool empty = std::fgetc(file) == EOF && !std::ferror(file);
  std::fclose(file);
  return empty;
}

}  // namespace

int copyToDrive(ConfiguratorContext& context, const char* fileName) {
  // Room for the longest name the configuration accepts: a cut destination
  // would store the image under another name.
  char destination[4 + kFileNameSize];
  std::snprintf(destination, sizeof destination, "%c:\\%s",
                context.driveLetter[0], fileName);
  logThenConsole(context, kMsgCopying, fileName, destination);
  // blob would flash an empty image as readily as a real one and leave the
  // module without it: an empty file is never copied.
  if (isEmptyFile(fileName)) {
    logThenConsole(context, kMsgCannotCopy);
    logPrint(context, "The image file is empty: nothing copied.\n");
    context.abortProcedure();
  }

  // The shell takes lists of paths ended by an empty one.
  char from[kFileNameSize + 2] = {};
  char to[sizeof destination + 1] = {};
  std::snprintf(from, sizeof from - 1, "%s", fileName);
  std::snprintf(to, sizeof to - 1, "%s", destination);
  pf::SHFILEOPSTRUCTA operation;
  std::memset(&operation, 0, sizeof operation);
  operation.wFunc = pf::FO_COPY;
  operation.pFrom = from;
  operation.pTo = to;
  operation.fFlags = pf::FOF_NOCONFIRMATION | pf::FOF_SIMPLEPROGRESS;
  const int result = pf::SHFileOperationA(&operation);
  // The progress window has a Cancel button, and Windows may stop a copy
  // too; either leaves part of the image on the disk, and some versions
  // still answer 0. blob would flash that part as readily as the whole.
  if (result != 0 || operation.fAnyOperationsAborted) {
    logThenConsole(context, kMsgCannotCopy);
    if (operation.fAnyOperationsAborted)
      logPrint(context,
               "The copy was cancelled or stopped: nothing is flashed.\n");
    context.abortProcedure();
  }
  logThenConsole(context, kMsgDone);
  if (!hasNewerUsbDiskBehaviour(context.osClass)) {
    printMessage(pf::consoleOut(), kMsgPleaseWait);
    pf::Sleep(kOlderWindowsAfterCopyMs);
    printFlushed(pf::consoleOut(), "\n");
  }
  return 0;
}

int transferImage(ConfiguratorContext& context, const char* name) {
  rememberDrives(context);
  // Where the program ejects the disk itself, the cable is still in from
  // the image before: every image after the kernel has it unplugged and
  // plugged in again.
  bool replug = hasNewerUsbDiskBehaviour(context.osClass) &&
                std::strcmp(name, "kernel") != 0;
  consoleThenLog(context, replug ? kMsgReplugUsbCable : kMsgPlugUsbCable);
  if (!connectUsbDisk(context, name)) return -1;
  waitForNewDrive(context);
  pf::Sleep(kNewDriveSettleMs);
  pf::Sleep(kBeforeCopyMs);
  const char* file = imageFile(context, name);
  if (file != nullptr) copyToDrive(context, file);
  pf::Sleep(kBeforeRemovalMs);
  removeDisk(context);
  waitForBlobPrompt(context, kWithoutLimit);
  sendLine(context, "status");
  waitForBlobPrompt(context, kWithoutLimit);
  flashImage(context, name);
  return 0;
}
