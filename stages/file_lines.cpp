#include "stages/file_lines.h"

#include <cstring>

int readLinePiece(char* line, FILE* file) {
  // A NUL byte read from the file looks like the end of the text. The
  // buffer is filled with another byte first, so that the last NUL in it is
  // the one the read put after what it read.
  std::memset(line, 1, kLineLimit);
  if (std::fgets(line, kLineLimit, file) == nullptr) return -1;
  int length = kLineLimit - 1;
  while (length > 0 && line[length] != '\0') --length;
  return length;
}
