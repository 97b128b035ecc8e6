#include "disk/drive_watcher.h"

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "disk/drive_eject.h"
#include "serial/prompt_watcher.h"

namespace {

const pf::DWORD kDrivePollMs = 100;
// Bit 0 is A:, bit 25 Z:; no other bit is a drive letter.
const std::uint32_t kLetterBits = 0x03FFFFFFu;

std::uint32_t drives() { return static_cast<std::uint32_t>(pf::getdrives()); }

void openHotPlugApplet() {
  pf::ShellExecuteA(nullptr, "open", "rundll32.exe",
                    "shell32.dll,Control_RunDLL hotplug.dll", nullptr,
                    pf::SW_SHOW);
}

}  // namespace

int rememberDrives(ConfiguratorContext& context) {
  context.drivesBefore = drives();
  return 1;
}

int waitForNewDrive(ConfiguratorContext& context) {
  std::uint32_t added;
  for (;;) {
    context.drivesNow = drives();
    pf::Sleep(kDrivePollMs);
    added = context.drivesNow & ~context.drivesBefore & kLetterBits;
    if (added != 0) break;
    // A letter that went away is not the module's disk: forget it and go on
    // waiting for one that comes.
    context.drivesBefore = context.drivesNow;
  }
  int number = 0;
  for (std::uint32_t bits = added; bits != 0; bits >>= 1) ++number;
  context.driveNumber = static_cast<std::int8_t>(number);
  context.driveLetter[0] = static_cast<char>('A' + number - 1);
  context.driveLetter[1] = '\0';
  consoleThenLog(context, kMsgDiskFound, context.driveLetter);
  return 1;
}

int waitForDriveRemoval(ConfiguratorContext& context) {
  context.drivesBefore = 1u << (context.driveNumber - 1);
  do {
    context.drivesNow = drives();
    pf::Sleep(kDrivePollMs);
  } while ((context.drivesNow & context.drivesBefore) != 0);
  consoleThenLog(context, kMsgDiskRemoved, context.driveLetter);
  return 1;
}

int removeDisk(ConfiguratorContext& context) {
  if (hasNewerUsbDiskBehaviour(context.osClass)) {
    consoleThenLog(context, kMsgRemovingDisk, context.driveLetter);
    if (ejectDrive(context, context.driveLetter[0]) < 0) {
      consoleThenLog(context, kMsgStopDiskInApplet, context.driveLetter);
      openHotPlugApplet();
    }
    waitForDriveRemoval(context);
  } else {
    consoleThenLog(context, kMsgStopDiskInApplet, context.driveLetter);
    openHotPlugApplet();
    waitForDriveRemoval(context);
    consoleThenLog(context, kMsgUnplugUsbCable);
  }
  return 0;
}
