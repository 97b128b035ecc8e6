#include "devmodel/uucode.h"

#include <sstream>

namespace devmodel {

static char uuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(v + 32); }
static unsigned uuValue(char c) { return static_cast<unsigned>(c - 32) & 0x3F; }
static bool uuValid(char c) { return c >= 32 && c <= 96; }

std::string uuencode(const Bytes& data, const std::string& name, int mode) {
  std::ostringstream out;
  out << "begin " << std::oct << mode << std::dec << ' ' << name << '\n';
  for (size_t pos = 0; pos < data.size(); pos += 45) {
    size_t n = std::min<size_t>(45, data.size() - pos);
    std::string line(1, uuChar(static_cast<unsigned>(n)));
    for (size_t i = 0; i < n; i += 3) {
      unsigned b0 = data[pos + i];
      unsigned b1 = i + 1 < n ? data[pos + i + 1] : 0;
      unsigned b2 = i + 2 < n ? data[pos + i + 2] : 0;
      line += uuChar(b0 >> 2);
      line += uuChar(((b0 << 4) | (b1 >> 4)) & 0x3F);
      line += uuChar(((b1 << 2) | (b2 >> 6)) & 0x3F);
      line += uuChar(b2 & 0x3F);
    }
    out << line << '\n';
  }
  out << "`\nend\n";
  return out.str();
}

std::optional<Bytes> uudecodeLine(const std::string& line) {
  if (line.empty() || !uuValid(line[0])) return std::nullopt;
  size_t n = uuValue(line[0]);
  size_t needed = 1 + (n + 2) / 3 * 4;
  // Some encoders strip trailing blanks, which stand for zero bits.
  std::string body = line;
  if (body.size() < needed) body.append(needed - body.size(), ' ');
  Bytes out;
  for (size_t i = 1; i < needed; i += 4) {
    unsigned v[4];
    for (int k = 0; k < 4; ++k) {
      if (!uuValid(body[i + k])) return std::nullopt;
      v[k] = uuValue(body[i + k]);
    }
    uint8_t b[3] = {static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4)),
                    static_cast<uint8_t>((v[1] << 4) | (v[2] >> 2)),
                    static_cast<uint8_t>((v[2] << 6) | v[3])};
    for (int k = 0; k < 3 && out.size() < n; ++k) out.push_back(b[k]);
  }
  return out;
}

std::optional<Bytes> uudecode(const std::string& text, std::string* error) {
  std::istringstream in(text);
  std::string line;
  bool begun = false;
  Bytes out;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!begun) {
      begun = line.compare(0, 6, "begin ") == 0;
      continue;
    }
    if (line == "end") return out;
    auto part = uudecodeLine(line);
    if (!part) {
      if (error) *error = "malformed line " + std::to_string(lineNo);
      return std::nullopt;
    }
    out.insert(out.end(), part->begin(), part->end());
  }
  if (error) *error = begun ? "no end line" : "no begin line";
  return std::nullopt;
}

}  // namespace devmodel
