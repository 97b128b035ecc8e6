#include "tools/device_model/sim/whole_run.h"

#include "serial/prompt_watcher.h"

WholeRun::WholeRun(const devmodel::InputSet& files)
    : inputs(files), config(expecting(files)) {
  sim::resetMachine();
  // The watcher is the program's, and outlives a process of the machine.
  promptWatcher.clear();
  writeInputs(sim::machine(), inputs);
  operatorAlwaysPressesEnter(sim::machine());
}

devmodel::Module& WholeRun::plug(sim::SimPort& onPort) {
  module.reset(new devmodel::Module(config));
  port = &onPort;
  attachModule(onPort, *module);
  disk = attachEjectableDisk(sim::machine(), *module, diskLetter, diskDelayUs);
  return *module;
}
