// The mount manager's record of a drive letter, read for the device id of
// the volume behind it.
#ifndef VANTOR_DISK_MOUNTED_DEVICE_H
#define VANTOR_DISK_MOUNTED_DEVICE_H

#include <cstddef>

// The device instance id of the volume behind a drive name ("F:"), from the
// mount manager's record; 1 when the drive has one (possibly empty), else 0.
int mountedDeviceId(const char* driveName, char* buffer, std::size_t capacity);

#endif
