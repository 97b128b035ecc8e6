#include "serial/port_list.h"

#include <cstring>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"

namespace {

const char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Room for a usual entry at the first try; a longer one grows the buffers.
const pf::DWORD kFirstCapacity = 32;
// No port's entry comes near this size: a registry that reports more is
// not believed, and the list ends there rather than allocate for it.
const pf::DWORD kLargestEntry = 0xFFFF;

// Copies a port name out of registry data that need not end with a NUL.
// False when the name does not fit: a cut name could open another device.
bool copyPortName(char* name, const unsigned char* data, pf::DWORD size) {
  std::size_t length = 0;
  while (length < size && data[length] != '\0') ++length;
  if (length == 0 || length >= kPortNameSize) return false;
  std::memcpy(name, data, length);
  name[length] = '\0';
  return true;
}

}  // namespace

void listSerialPorts(ConfiguratorContext& context) {
  context.candidateCount = 0;
  printMessage(context.log, kMsgSerialPorts);
  pf::HKEY key;
  if (pf::RegOpenKeyExA(pf::HKEY_LOCAL_MACHINE, kSerialCommKey, 0,
                        pf::KEY_READ, &key) != pf::ERROR_SUCCESS)
    return;

  pf::DWORD nameCapacity = kFirstCapacity, dataCapacity = kFirstCapacity;
  char* name = nullptr;
  unsigned char* data = nullptr;
  for (pf::DWORD index = 0; context.candidateCount < kMaxCandidates;) {
    pf::free(name);
    pf::free(data);
    name = static_cast<char*>(pf::malloc(nameCapacity));
    data = static_cast<unsigned char*>(pf::malloc(dataCapacity));
    if (name == nullptr || data == nullptr) break;
    pf::DWORD nameLength = nameCapacity, dataLength = dataCapacity;
    pf::LONG result = pf::RegEnumValueA(key, index, name, &nameLength, nullptr,
                                        nullptr, data, &dataLength);
    if (result == pf::ERROR_MORE_DATA) {
      // Grow both buffers and ask again for the same value. The name count
      // is not reliable here, so its buffer grows by doubling.
      if (nameLength > kLargestEntry || dataLength > kLargestEntry) break;
      nameCapacity = 2 * nameLength + 2;
      if (dataLength > dataCapacity) dataCapacity = dataLength;
      continue;
    }
    if (result != pf::ERROR_SUCCESS) break;
    ++index;
    PortCandidate& candidate = context.candidates[context.candidateCount];
    pf::DWORD size = dataLength < dataCapacity ? dataLength : dataCapacity;
    if (!copyPortName(candidate.name, data, size)) continue;
    candidate.state.store(Pending);
    printMessage(context.log, kMsgPortFound, candidate.name);
    ++context.candidateCount;
  }
  pf::free(name);
  pf::free(data);
  pf::RegCloseKey(key);
}
