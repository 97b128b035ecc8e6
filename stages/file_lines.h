// The reading of the text files that the stages send line by line (the ROM
// loader, the boot loader): in pieces of a fixed size, NUL bytes and all.
#ifndef VANTOR_STAGES_FILE_LINES_H
#define VANTOR_STAGES_FILE_LINES_H

#include <cstdio>

// A piece holds at most kLineLimit - 1 characters and the terminator; a
// longer line comes in several pieces.
constexpr int kLineLimit = 80;

// Reads the next piece into `line` (kLineLimit bytes at least) as fgets
// does, line feed included. The number of characters read, NUL bytes among
// them counted, or -1 when nothing could be read.
int readLinePiece(char* line, FILE* file);

#endif
