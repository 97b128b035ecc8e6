// The eject as the disk removal uses it: one attempt, its outcome in the
// log, and a plain result so that the caller can fall back to the operator.
#ifndef VANTOR_DISK_DRIVE_EJECT_H
#define VANTOR_DISK_DRIVE_EJECT_H

struct ConfiguratorContext;

// Ejects the device behind the drive letter; 0 when the eject was requested
// successfully, -1 otherwise. The outcome goes to the log only.
int ejectDrive(ConfiguratorContext& context, char letter);

#endif
