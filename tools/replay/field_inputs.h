// The input files of the runs whose logs are kept in tests/replay_logs:
// what the logs were made with, so that a replay can be given them, and
// the runs made again.
#ifndef VANTOR_TOOLS_REPLAY_FIELD_INPUTS_H
#define VANTOR_TOOLS_REPLAY_FIELD_INPUTS_H

#include <string>

#include "devmodel/inputs.h"

namespace replay {

// A ROM loader whose comment lines are longer than the program's 79
// characters a piece, with CR LF line ends as a file edited on the PC has.
std::string withLongLines(const std::string& romLoader);

// The inputs of the kept log of this name (without ".log"): "sim_" logs
// were made on the simulated machine, "wine_" ones under Wine; a name with
// "long_rom_loader_lines" in it had the ROM loader withLongLines; one with
// "empty_rom_loader", "rom_loader_without_end" or "empty_kernel" had that
// file so.
devmodel::InputSet fieldLogInputs(const std::string& name);

}  // namespace replay

#endif
