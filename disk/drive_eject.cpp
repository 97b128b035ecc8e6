#include "disk/drive_eject.h"

#include <cstdio>

#include "app/console.h"
#include "app/context.h"
#include "disk/device_ejector.h"
#include "disk/mounted_device.h"

namespace {

constexpr std::size_t kDriveNameSize = 80;

// The failures the log names; any other gives its code alone.
struct EjectFailure {
  EjectResult result;
  const char* reason;
};
constexpr EjectFailure kEjectFailures[] = {
    {NotFound, "not found"},
    {NotRemovable, "not removable"},
    {HasProblem, "has problem"},
    {Vetoed, "vetoed"},
};

}  // namespace

int ejectDrive(ConfiguratorContext& context, char letter) {
  char driveName[kDriveNameSize];
  std::snprintf(driveName, sizeof driveName, "%c:", letter);

  // A record that holds no id names no device: the drive is refused like
  // one without a record.
  char deviceId[kDeviceIdSize];
  if (!mountedDeviceId(driveName, deviceId, sizeof deviceId) ||
      deviceId[0] == '\0') {
    logPrint(context, "Invalid drive specification '%s'!\n", driveName);
    return -1;
  }

  // The ejector is not released: setupapi.dll stays loaded for the rest of
  // the run, and the next eject finds it already there.
  DeviceEjector ejector;
  if (ejector.status == Unsupported) {
    logPrint(context, "Operating system not supported!\n");
    return -1;
  }
  if (ejector.status != Ready) {
    logPrint(context, "Error in device eject, error code %u,%u!\n",
             static_cast<unsigned>(ejector.status),
             static_cast<unsigned>(ejector.lastError));
    return -1;
  }

  pf::ULONG detail = 0;
  EjectResult result = ejector.ejectDevice(deviceId, &detail);
  if (result == Ok) {
    logPrint(context, "Drive Ejected\n");
    return 0;
  }
  unsigned code = static_cast<unsigned>(result);
  unsigned value = static_cast<unsigned>(detail);
  for (const EjectFailure& failure : kEjectFailures) {
    if (failure.result == result) {
      logPrint(context, "Error ejecting device %s, %s (%u,%u)!\n", deviceId,
               failure.reason, code, value);
      return -1;
    }
  }
  logPrint(context, "Error ejecting device %s, error code %u,%u!\n", deviceId,
           code, value);
  return -1;
}
