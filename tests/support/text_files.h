// Files the tests read whole, and the one edit of a text they make.
#ifndef VANTOR_TESTS_SUPPORT_TEXT_FILES_H
#define VANTOR_TESTS_SUPPORT_TEXT_FILES_H

#include <fstream>
#include <sstream>
#include <string>

// A file's bytes; empty when it cannot be read.
inline std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// `text` with the first `from` in it replaced by `to`.
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
  std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

#endif
