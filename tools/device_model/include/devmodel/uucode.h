#pragma once
// Classic uuencode: "begin <mode> <name>", lines led by a length character,
// "`" as the zero-length line, then "end".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devmodel {

using Bytes = std::vector<uint8_t>;

std::string uuencode(const Bytes& data, const std::string& name,
                     int mode = 0644);

// Decodes one body line (no line end). nullopt if it is malformed.
std::optional<Bytes> uudecodeLine(const std::string& line);

// Decodes a whole file; text outside begin/end is ignored.
std::optional<Bytes> uudecode(const std::string& text,
                              std::string* error = nullptr);

}  // namespace devmodel
