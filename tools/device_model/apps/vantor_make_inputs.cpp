// Writes a consistent set of input files for a flashing run against the
// device model: blob-bootloader.txt, blob.uue, zImage, cramfs.img.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "devmodel/inputs.h"

static void usage() {
  std::fprintf(stderr,
               "usage: vantor_make_inputs DIR [--records N] [--seed S]\n"
               "       [--blob-size BYTES] [--kernel-size BYTES] [--ramdisk-size BYTES]\n");
}

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    usage();
    return 2;
  }
  std::string dir = argv[1];
  devmodel::InputSizes sizes;
  unsigned long seed = 1;
  for (int i = 2; i < argc; ++i) {
    std::string opt = argv[i];
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    unsigned long v = std::strtoul(argv[++i], nullptr, 0);
    if (opt == "--records") sizes.records = static_cast<int>(v);
    else if (opt == "--seed") seed = v;
    else if (opt == "--blob-size") sizes.bootLoader = v;
    else if (opt == "--kernel-size") sizes.kernel = v;
    else if (opt == "--ramdisk-size") sizes.ramdisk = v;
    else {
      usage();
      return 2;
    }
  }
  mkdir(dir.c_str(), 0755);
  std::string error;
  auto inputs = devmodel::makeInputs(sizes, static_cast<uint32_t>(seed));
  if (!devmodel::writeInputs(dir, inputs, &error)) {
    std::fprintf(stderr, "vantor_make_inputs: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
