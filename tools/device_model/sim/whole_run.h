// A whole run of the program on the simulated machine against the device
// model, laid out one way for the host tests, the replay's log maker and the
// fault campaign. Made, it is a fresh machine with the input files under
// their default names and an operator who presses Enter whenever asked.
// Plugged, the module sits behind a serial port, its USB disk comes as a
// drive letter that the configuration manager can eject and that the
// operator removes in the hot-plug applet. A run is varied by the fields
// set before plugging, and by the hooks of the machine, the port and the
// module changed after.
#ifndef VANTOR_TOOLS_DEVICE_MODEL_SIM_WHOLE_RUN_H
#define VANTOR_TOOLS_DEVICE_MODEL_SIM_WHOLE_RUN_H

#include <cstdint>
#include <memory>

#include "tools/device_model/sim/module_link.h"

struct WholeRun {
  explicit WholeRun(const devmodel::InputSet& files);

  // Makes the module from `config` and plugs it in behind `port`.
  devmodel::Module& plug(sim::SimPort& port);

  devmodel::InputSet inputs;
  devmodel::ModuleConfig config;        // expects exactly the inputs
  char diskLetter = 'E';
  std::int64_t diskDelayUs = 1500000;   // from "connected" to the letter

  std::unique_ptr<devmodel::Module> module;
  sim::SimPort* port = nullptr;
  sim::SimUsbDisk disk;
};

#endif
