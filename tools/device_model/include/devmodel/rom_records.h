#pragma once
// Record text as the boot ROM understands it: 8 hex digits of address,
// 2 hex digits of control byte, then (control & 0x1F) data bytes as hex.
// Control bit 0x20 asks the ROM to send the data at the address back.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devmodel {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kRecordCountMask = 0x1F;
constexpr uint8_t kRecordReadBack = 0x20;
constexpr size_t kRecordHeaderChars = 10;

// The write that reprograms the ROM's own UART timing: its echo is cut short.
constexpr const char* kPartialEchoRecord = "0021B000C4E7400402";
constexpr size_t kPartialEchoChars = 13;
// Jump-to-loader record: the ROM hands over to blob without answering.
constexpr const char* kEndRecord = "0871800000";

struct Record {
  std::string text;  // upper case, exactly as it travels on the wire
  uint32_t address = 0;
  uint8_t control = 0;
  Bytes data;  // empty for a read-back request

  bool readBack() const { return (control & kRecordReadBack) != 0; }
  size_t count() const { return control & kRecordCountMask; }
};

bool isHexDigit(char c);
std::string toUpper(std::string s);
std::string hexText(const Bytes& data);  // upper case, two digits per byte

// Total text length a record needs once its header is known
// (header only for read-back requests).
size_t recordLength(uint8_t control);

// Parses a complete record; nullopt when the text is not exactly one record.
std::optional<Record> parseRecord(const std::string& text);

struct RomLoaderFile {
  std::vector<Record> records;      // every record line, in file order
  std::vector<std::string> errors;  // lines that are not records
};

// Blank lines and lines starting with '#', ';' or "//" are comments.
RomLoaderFile parseRomLoaderText(const std::string& text);

}  // namespace devmodel
