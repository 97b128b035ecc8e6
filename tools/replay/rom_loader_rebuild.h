// The ROM loader file as far as a log shows it, for a replay without the
// input files.
#ifndef VANTOR_TOOLS_REPLAY_ROM_LOADER_REBUILD_H
#define VANTOR_TOOLS_REPLAY_ROM_LOADER_REBUILD_H

#include <string>

#include "log_reader.h"

namespace replay {

// From the upload that got furthest: every line in order, a record as it
// was sent (once, without its retries and read-backs), any other line as
// it was logged. The program reads a line in pieces of at most 79
// characters and logs every piece after the first as a line of its own;
// such pieces are joined again. Lines end in CR LF, as on the PC.
std::string rebuildRomLoader(const FieldLog& log);

}  // namespace replay

#endif
