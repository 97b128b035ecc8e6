// Noticing the module's USB disk among the drive letters, and removing it
// again safely before blob flashes what was copied onto it.
#ifndef VANTOR_DISK_DRIVE_WATCHER_H
#define VANTOR_DISK_DRIVE_WATCHER_H

struct ConfiguratorContext;

// Remembers the drives present before the module's disk is added.
int rememberDrives(ConfiguratorContext& context);
// Waits, without limit, for a drive letter to be added; sets driveNumber and
// driveLetter and prints message 28.
int waitForNewDrive(ConfiguratorContext& context);
// Waits, without limit, until drive driveNumber is gone; prints message 29.
int waitForDriveRemoval(ConfiguratorContext& context);
// Removes the module's disk (by the configuration manager on newer Windows,
// else, or when that fails, by the operator through the hot-plug applet),
// and waits for its letter to go.
int removeDisk(ConfiguratorContext& context);

#endif
