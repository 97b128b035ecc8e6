// Names of device nodes: matching an id against the wanted one, and the
// name the operator knows a device by, from the device's registry key.
#ifndef VANTOR_DISK_DEVICE_NAMES_H
#define VANTOR_DISK_DEVICE_NAMES_H

#include <cstddef>

// Case-insensitive equality in which a '*' in `wanted` stands for any
// remainder of `candidate`; 1 for a match.
int matchDeviceName(const char* wanted, const char* candidate);

// The device's friendly name or description from the registry; 1 when one
// was found.
int deviceDisplayName(const char* deviceId, char* buffer, std::size_t capacity);

#endif
