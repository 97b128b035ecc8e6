// The mount manager keeps, for every drive letter it assigned, the name of
// the volume's device interface: "\??\" and the device instance id with '#'
// for '\', followed by "#{interface class}". A fixed disk's record holds a
// disk signature and an offset instead, which is not an id at all.
#include "disk/mounted_device.h"

#include "disk/bounded_text.h"
#include "platform/platform.h"

namespace {

constexpr char kMountedDevicesKey[] = "SYSTEM\\MountedDevices";
constexpr char kDosDevicesPrefix[] = "\\DosDevices\\";
constexpr std::size_t kValueNameSize = 256;
constexpr pf::DWORD kMountedDataSize = 1024;

// The prefix of every interface name that the mount manager records.
constexpr char kInterfacePrefix[] = {'\\', '?', '?', '\\'};
constexpr std::size_t kPrefixUnits = sizeof kInterfacePrefix;

unsigned unitAt(const pf::BYTE* data, std::size_t index) {
  return static_cast<unsigned>(data[2 * index]) |
         (static_cast<unsigned>(data[2 * index + 1]) << 8);
}

}  // namespace

int mountedDeviceId(const char* driveName, char* buffer, std::size_t capacity) {
  if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
  if (driveName == nullptr || driveName[0] == '\0' || buffer == nullptr ||
      capacity == 0)
    return 0;

  pf::HKEY key = nullptr;
  if (pf::RegOpenKeyExA(pf::HKEY_LOCAL_MACHINE, kMountedDevicesKey, 0,
                        pf::KEY_QUERY_VALUE, &key) != pf::ERROR_SUCCESS)
    return 0;

  char valueName[kValueNameSize];
  std::size_t nameLength = 0;
  appendBounded(valueName, sizeof valueName, &nameLength, kDosDevicesPrefix);
  appendBounded(valueName, sizeof valueName, &nameLength, driveName);

  pf::BYTE data[kMountedDataSize];
  pf::DWORD dataLength = sizeof data;
  pf::DWORD type = 0;
  pf::LONG queried =
      pf::RegQueryValueExA(key, valueName, nullptr, &type, data, &dataLength);
  pf::RegCloseKey(key);
  if (queried != pf::ERROR_SUCCESS || type != pf::REG_BINARY) return 0;

  // Never trust the reported length beyond the buffer that was offered.
  std::size_t units =
      (dataLength < sizeof data ? dataLength : sizeof data) / 2;
  if (units < kPrefixUnits) return 0;
  for (std::size_t i = 0; i < kPrefixUnits; ++i)
    if (unitAt(data, i) != static_cast<unsigned char>(kInterfacePrefix[i]))
      return 0;

  std::size_t written = 0;
  for (std::size_t i = kPrefixUnits; i < units; ++i) {
    char c = static_cast<char>(unitAt(data, i) & 0xFF);
    if (c == '{') break;  // the interface class, not part of the id
    if (c == '#') {
      if (i + 1 < units && static_cast<char>(unitAt(data, i + 1) & 0xFF) == '{')
        break;
      c = '\\';
    }
    // An over-long id is cut, not refused: the walk then simply finds no
    // node of that name.
    if (written + 1 < capacity) buffer[written++] = c;
  }
  buffer[written] = '\0';
  return 1;
}
