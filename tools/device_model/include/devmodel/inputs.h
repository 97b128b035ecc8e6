#pragma once
// Input files for tests: a ROM loader, a uuencoded boot loader and two
// images, generated deterministically from a seed.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devmodel {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t n, uint32_t seed);

// `records` ordinary write records (every fourth one in the 0871xxxx range,
// so the PC reads it back), preceded by a comment line and followed by the
// partial-echo record and the end record.
std::string makeRomLoaderText(int records, uint32_t seed);

struct InputSet {
  std::string romLoaderText;
  Bytes bootLoader;
  std::string bootLoaderUue;
  Bytes kernel;
  Bytes ramdisk;
};

struct InputSizes {
  int records = 40;
  size_t bootLoader = 24 * 1024;
  size_t kernel = 300 * 1024;
  size_t ramdisk = 500 * 1024;
};

InputSet makeInputs(const InputSizes& sizes, uint32_t seed);

// Writes blob-bootloader.txt, blob.uue, zImage and cramfs.img into dir.
bool writeInputs(const std::string& dir, const InputSet& inputs,
                 std::string* error);

std::optional<std::string> readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& content);
inline std::string asString(const Bytes& b) { return {b.begin(), b.end()}; }
inline Bytes asBytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace devmodel
