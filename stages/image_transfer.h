#ifndef VANTOR_STAGES_IMAGE_TRANSFER_H
#define VANTOR_STAGES_IMAGE_TRANSFER_H

struct ConfiguratorContext;

// blob's USB disk: each try sends the command, pauses, and gives blob this
// long to report the disk connected; a try that fails is abandoned with
// Escape and a short wait for the prompt.
constexpr int kUsbTries = 4;
constexpr int kUsbCommandPauseMs = 500;
constexpr int kUsbConnectMs = 60000;
constexpr int kUsbAbandonPromptMs = 1000;
// The pauses around the copy: the new drive settles before it, the copy
// before the removal; Windows without the newer USB-disk behaviour wait
// longer after it.
constexpr int kNewDriveSettleMs = 500;
constexpr int kBeforeCopyMs = 2500;
constexpr int kOlderWindowsAfterCopyMs = 7000;
constexpr int kBeforeRemovalMs = 2500;

// Has blob show its memory as a USB disk, copies the image named `name`
// ("kernel" or "ramdisk") onto it, removes the disk and has blob flash the
// image. 0 when done; -1 when blob never reported the disk connected.
int transferImage(ConfiguratorContext& context, const char* name);

// Copies a file onto the module's drive with the shell; 0 when copied. A
// failed copy ends the run.
int copyToDrive(ConfiguratorContext& context, const char* fileName);

#endif
