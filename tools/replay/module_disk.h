// The module's USB disk in a replay: each time the log shows it found, it
// is presented so that the eject that follows goes the way the log says.
#ifndef VANTOR_TOOLS_REPLAY_MODULE_DISK_H
#define VANTOR_TOOLS_REPLAY_MODULE_DISK_H

#include <cstddef>
#include <string>

#include "log_reader.h"
#include "tools/device_model/sim/module_link.h"

namespace replay {

// What the log shows of the configuration-manager eject of a disk.
struct EjectOutcome {
  enum Kind {
    NotTried,  // no eject: the hot-plug applet, or the log ends first
    Ejected,   // "Drive Ejected"
    NoVolume,  // "Invalid drive specification": no mount manager record
    Refused,   // "Error ejecting device ID, REASON (R,D)!" or "error code R,D"
    Unsupported,  // "Operating system not supported!": the 9x family's mark
    NoLibrary,    // "Error in device eject, error code 2,E!": no setupapi.dll
    Other,     // any other text: not shaped
  };
  Kind kind = NotTried;
  std::string volumeId;  // Refused: the volume the program looked for
  std::string reason;    // Refused: "vetoed", "has problem", ... or ""
  unsigned result = 0, detail = 0;
};

// The eject that follows the disk found at entry i.
EjectOutcome ejectAfter(const FieldLog& log, std::size_t i);

struct ReplayedDisk {
  sim::SimUsbDisk disk;

  // The disk appears as `letter`, shaped for `outcome`.
  void present(sim::Machine& m, char letter, const EjectOutcome& outcome);
};

}  // namespace replay

#endif
