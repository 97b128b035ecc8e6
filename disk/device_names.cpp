#include "disk/device_names.h"

#include <cctype>

#include "disk/bounded_text.h"
#include "platform/platform.h"

namespace {

constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr std::size_t kKeyPathSize = 1024;
constexpr pf::DWORD kNameDataSize = 1024;

}  // namespace

int matchDeviceName(const char* wanted, const char* candidate) {
  if (wanted == nullptr) wanted = "";
  if (candidate == nullptr) candidate = "";
  for (;; ++wanted, ++candidate) {
    if (*wanted == '*') return 1;
    if (*candidate == '\0') return *wanted == '\0' ? 1 : 0;
    if (*wanted == '\0') return 0;
    if (std::toupper(static_cast<unsigned char>(*wanted)) !=
        std::toupper(static_cast<unsigned char>(*candidate)))
      return 0;
  }
}

int deviceDisplayName(const char* deviceId, char* buffer,
                      std::size_t capacity) {
  if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
  if (deviceId == nullptr || deviceId[0] == '\0' || buffer == nullptr ||
      capacity == 0)
    return 0;

  char keyPath[kKeyPathSize];
  std::size_t pathLength = 0;
  appendBounded(keyPath, sizeof keyPath, &pathLength, kEnumKey);
  appendBounded(keyPath, sizeof keyPath, &pathLength, deviceId);
  pf::HKEY key = nullptr;
  if (pf::RegOpenKeyExA(pf::HKEY_LOCAL_MACHINE, keyPath, 0,
                        pf::KEY_QUERY_VALUE, &key) != pf::ERROR_SUCCESS)
    return 0;

  pf::BYTE data[kNameDataSize];
  pf::DWORD type = 0;
  pf::DWORD dataLength = sizeof data;
  pf::LONG queried = pf::RegQueryValueExA(key, "FriendlyName", nullptr, &type,
                                          data, &dataLength);
  if (queried != pf::ERROR_SUCCESS) {
    type = 0;
    dataLength = sizeof data;
    queried = pf::RegQueryValueExA(key, "DeviceDesc", nullptr, &type, data,
                                   &dataLength);
  }
  pf::RegCloseKey(key);
  if (queried != pf::ERROR_SUCCESS || type != pf::REG_SZ) return 0;

  // The data need not end in a NUL, and a long description must not run
  // over the caller's buffer.
  std::size_t available = dataLength < sizeof data ? dataLength : sizeof data;
  std::size_t copied = 0;
  while (copied < available && copied + 1 < capacity && data[copied] != 0) {
    buffer[copied] = static_cast<char>(data[copied]);
    ++copied;
  }
  buffer[copied] = '\0';
  return 1;
}
