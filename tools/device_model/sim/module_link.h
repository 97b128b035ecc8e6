// The device model of the module plugged into a simulated serial port, on
// the machine's virtual clock.
#ifndef VANTOR_TOOLS_DEVICE_MODEL_SIM_MODULE_LINK_H
#define VANTOR_TOOLS_DEVICE_MODEL_SIM_MODULE_LINK_H

#include <memory>
#include <string>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "platform/sim/machine.h"

// Connects `module` to `port`: what the program writes reaches the module,
// what the module says becomes readable when its last bit has arrived.
void attachModule(sim::SimPort& port, devmodel::Module& module);

// The module's USB disk: it shows up as drive `letter` `delayUs` after blob
// said "connected" (empty, as a freshly presented disk is), and when blob
// flashes, the module reads back the largest file the program put on it.
// removeModuleDisk takes the letter away and tells the module.
void attachDisk(sim::Machine& machine, devmodel::Module& module, char letter,
                std::int64_t delayUs = 1500000);
void removeModuleDisk(sim::Machine& machine, devmodel::Module& module,
                      char letter);

// The module's disk also as a device node that the configuration manager
// can eject (which takes the letter away), and an operator who, when the
// hot-plug applet opens, removes the disk a few seconds later.
void attachEjectableDisk(sim::Machine& machine, devmodel::Module& module,
                         char letter);

// Small input files for a quick run, and a module configured to expect
// exactly them.
devmodel::InputSet smallInputs(int records = 12);
devmodel::ModuleConfig expecting(const devmodel::InputSet& inputs);

// Writes the four input files into the machine's current folder under
// their default names.
void writeInputs(sim::Machine& machine, const devmodel::InputSet& inputs);

// Lists a port under HARDWARE\DEVICEMAP\SERIALCOMM and adds it.
sim::SimPort& listPort(sim::Machine& machine, const std::string& name);

// The operator presses Enter whenever the program waits for it.
void operatorAlwaysPressesEnter(sim::Machine& machine);

#endif
