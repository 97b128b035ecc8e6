#include "devmodel/rom_records.h"

#include <cctype>
#include <sstream>

namespace devmodel {

bool isHexDigit(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string toUpper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string hexText(const Bytes& data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(data.size() * 2);
  for (uint8_t b : data) {
    s += digits[b >> 4];
    s += digits[b & 0x0F];
  }
  return s;
}

size_t recordLength(uint8_t control) {
  if (control & kRecordReadBack) return kRecordHeaderChars;
  return kRecordHeaderChars + 2 * static_cast<size_t>(control & kRecordCountMask);
}

static uint32_t hexValue(const std::string& s, size_t pos, size_t len) {
  return static_cast<uint32_t>(std::stoul(s.substr(pos, len), nullptr, 16));
}

std::optional<Record> parseRecord(const std::string& text) {
  if (text.size() < kRecordHeaderChars) return std::nullopt;
  for (char c : text)
    if (!isHexDigit(c)) return std::nullopt;
  Record r;
  r.text = toUpper(text);
  r.address = hexValue(r.text, 0, 8);
  r.control = static_cast<uint8_t>(hexValue(r.text, 8, 2));
  if (text.size() != recordLength(r.control)) return std::nullopt;
  if (!r.readBack())
    for (size_t i = kRecordHeaderChars; i < r.text.size(); i += 2)
      r.data.push_back(static_cast<uint8_t>(hexValue(r.text, i, 2)));
  return r;
}

static std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

RomLoaderFile parseRomLoaderText(const std::string& text) {
  RomLoaderFile file;
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  while (std::getline(in, raw)) {
    ++lineNo;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';' ||
        line.compare(0, 2, "//") == 0)
      continue;
    auto r = parseRecord(line);
    if (r)
      file.records.push_back(*r);
    else
      file.errors.push_back("line " + std::to_string(lineNo) +
                            " is not a record: " + line);
  }
  return file;
}

}  // namespace devmodel
