// vantor_config.ini as the operator may have edited it: every name the
// context keeps is terminated within its field, a name is either kept whole
// or refused, and the result is 0 or -1.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"

namespace {

const char* const kKeys[4] = {"blob_boot", "blob", "kernel", "ramdisk"};
const char* const kDefaults[4] = {"blob-bootloader.txt", "blob.uue", "zImage",
                                  "cramfs.img"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::freshMachine();
  sim::Machine& m = sim::machine();
  m.writeFile("vantor_config.ini",
              std::string(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<ConfiguratorContext> context = fuzz::openContext();

  int result = context->loadConfiguration();
  FUZZ_CHECK(result == 0 || result == -1);

  // What the file says, read with room for any value it can hold.
  const std::string path = m.currentDirectory + "\\vantor_config.ini";
  static char value[1 << 17];
  bool anyTooLong = false;
  for (int i = 0; i < 4; ++i) {
    const char* name = context->fileNames[i];
    FUZZ_CHECK(fuzz::terminatedWithin(name, kFileNameSize));
    pf::DWORD n = pf::GetPrivateProfileStringA("File Name", kKeys[i],
                                               kDefaults[i], value,
                                               sizeof value, path.c_str());
    if (n >= kFileNameSize) {
      anyTooLong = true;
      continue;
    }
    // A name that fits is kept as the file has it (up to a NUL in it).
    FUZZ_CHECK(std::strcmp(name, value) == 0);
  }
  // A cut name would open another file than the one configured.
  FUZZ_CHECK(result == (anyTooLong ? -1 : 0));

  FUZZ_CHECK(fuzz::terminatedWithin(context->portName, kPortNameSize));
  char portName[kPortNameSize];
  std::snprintf(portName, sizeof portName, "COM%d",
                static_cast<int>(pf::GetPrivateProfileIntA("COM", "port", 0,
                                                           path.c_str())));
  FUZZ_CHECK(std::strcmp(portName, context->portName) == 0);

  fuzz::closeContext(*context);
  context.reset();
  fuzz::endInput();
  return 0;
}
