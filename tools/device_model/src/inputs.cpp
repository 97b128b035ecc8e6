#include "devmodel/inputs.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "devmodel/rom_records.h"
#include "devmodel/uucode.h"

namespace devmodel {

Bytes randomBytes(size_t n, uint32_t seed) {
  // Raw engine output: the distributions are not the same on every library.
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng() >> 24);
  return out;
}

std::string makeRomLoaderText(int records, uint32_t seed) {
  std::mt19937 rng(seed);
  std::ostringstream out;
  out << "# ROM loader generated for the device model (seed " << seed << ")\n";
  char buf[16];
  for (int i = 0; i < records; ++i) {
    // Every fourth record lands in the 0871xxxx window the PC verifies.
    uint32_t address = (i % 4 == 3) ? 0x08710000u + 0x10u * static_cast<uint32_t>(i)
                                    : 0xA0000000u + 0x40u * static_cast<uint32_t>(i);
    unsigned count = 1 + rng() % 8;
    std::snprintf(buf, sizeof buf, "%08X%02X", address, count);
    Bytes data(count);
    for (auto& b : data) b = static_cast<uint8_t>(rng() >> 24);
    out << buf << hexText(data) << "\n";
  }
  out << kPartialEchoRecord << "\n" << kEndRecord << "\n";
  return out.str();
}

InputSet makeInputs(const InputSizes& sizes, uint32_t seed) {
  InputSet s;
  s.romLoaderText = makeRomLoaderText(sizes.records, seed);
  s.bootLoader = randomBytes(sizes.bootLoader, seed + 1);
  s.bootLoaderUue = uuencode(s.bootLoader, "blob");
  s.kernel = randomBytes(sizes.kernel, seed + 2);
  s.ramdisk = randomBytes(sizes.ramdisk, seed + 3);
  return s;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

bool writeInputs(const std::string& dir, const InputSet& inputs,
                 std::string* error) {
  const std::pair<const char*, std::string> files[] = {
      {"blob-bootloader.txt", inputs.romLoaderText},
      {"blob.uue", inputs.bootLoaderUue},
      {"zImage", asString(inputs.kernel)},
      {"cramfs.img", asString(inputs.ramdisk)},
  };
  for (const auto& f : files) {
    std::string path = dir + "/" + f.first;
    if (!writeFile(path, f.second)) {
      if (error) *error = "cannot write " + path;
      return false;
    }
  }
  return true;
}

}  // namespace devmodel
