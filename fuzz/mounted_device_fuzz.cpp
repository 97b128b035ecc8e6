// The mount manager's record for a drive letter, as anything may have put
// it there: the id read from it always ends within the buffer, never holds
// the interface class, and a smaller buffer only cuts it shorter.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "disk/mounted_device.h"
#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"

namespace {

// Larger than any id a record can hold, so nothing is cut.
const std::size_t kWholeId = 2048;
const std::size_t kRecordLimit = 1024;  // what the reader offers the registry

bool startsWithInterfacePrefix(const std::string& record) {
  static const char kPrefix[] = {'\\', 0, '?', 0, '?', 0, '\\', 0};
  return record.size() >= sizeof kPrefix &&
         std::memcmp(record.data(), kPrefix, sizeof kPrefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const pf::DWORD type =
      input.ConsumeBool() ? pf::REG_BINARY : input.ConsumeIntegral<pf::DWORD>();
  const std::string record = input.ConsumeRemainingBytesAsString();

  fuzz::freshMachine();
  sim::machine().setValue("SYSTEM\\MountedDevices", "\\DosDevices\\E:", type,
                          record);

  std::unique_ptr<char[]> whole(new char[kWholeId]);
  int found = mountedDeviceId("E:", whole.get(), kWholeId);
  FUZZ_CHECK(found == 0 || found == 1);
  FUZZ_CHECK(fuzz::terminatedWithin(whole.get(), kWholeId));
  const std::string id(whole.get());
  FUZZ_CHECK(id.find('{') == std::string::npos);
  // A '#' either stands for '\' or starts the interface class.
  FUZZ_CHECK(id.find('#') == std::string::npos);
  const bool readable = type == pf::REG_BINARY && record.size() <= kRecordLimit &&
                        startsWithInterfacePrefix(record);
  FUZZ_CHECK(found == (readable ? 1 : 0));
  if (found == 0) FUZZ_CHECK(id.empty());

  // No buffer at all is refused without a write.
  char untouched = 'x';
  FUZZ_CHECK(mountedDeviceId("E:", &untouched, 0) == 0);
  FUZZ_CHECK(untouched == 'x');

  const std::size_t largest = id.size() + 2;
  for (std::size_t capacity = 1; capacity <= largest; ++capacity) {
    // Exactly sized, so that the sanitizer sees a single byte too many.
    std::unique_ptr<char[]> buffer(new char[capacity]);
    std::memset(buffer.get(), 'x', capacity);
    int result = mountedDeviceId("E:", buffer.get(), capacity);
    FUZZ_CHECK(result == found);
    FUZZ_CHECK(fuzz::terminatedWithin(buffer.get(), capacity));
    const std::string cut(buffer.get());
    FUZZ_CHECK(cut.size() < capacity);
    FUZZ_CHECK(cut == id.substr(0, capacity - 1));
  }
  fuzz::endInput();
  return 0;
}
