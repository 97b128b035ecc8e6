// Building registry paths and value names piece by piece, never past the
// buffer: a piece that does not fit is cut, and the text stays terminated.
#ifndef VANTOR_DISK_BOUNDED_TEXT_H
#define VANTOR_DISK_BOUNDED_TEXT_H

#include <cstddef>

inline void appendBounded(char* buffer, std::size_t capacity,
                          std::size_t* length, const char* text) {
  while (*text != '\0' && *length + 1 < capacity) buffer[(*length)++] = *text++;
  buffer[*length] = '\0';
}

#endif
