// The device model of the module plugged into a simulated serial port, on
// the machine's virtual clock.
#ifndef VANTOR_TOOLS_DEVICE_MODEL_SIM_MODULE_LINK_H
#define VANTOR_TOOLS_DEVICE_MODEL_SIM_MODULE_LINK_H

#include <memory>
#include <string>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim_devtree.h"

// Connects `module` to `port`: what the program writes reaches the module,
// what the module says becomes readable when its last bit has arrived.
void attachModule(sim::SimPort& port, devmodel::Module& module);

// The module's USB disk: it shows up as drive `letter` `delayUs` after blob
// said "connected" (empty, as a freshly presented disk is), and when blob
// flashes, the module reads back the largest file the program put on it.
// removeModuleDisk is the disk pulled out: the letter goes and blob knows.
void attachDisk(sim::Machine& machine, devmodel::Module& module, char letter,
                std::int64_t delayUs = 1500000);
void removeModuleDisk(sim::Machine& machine, devmodel::Module& module,
                      char letter);

// The module's disk as Windows shows it, named as the module names itself:
// a removable USB disk with its volume mounted at `letter`.
sim::SimUsbDisk addModuleDisk(sim::Machine& machine, char letter, int parent = 0);
// The module presents its disk at `letter`: the first time its device is
// added, afterwards the same device is plugged in again.
void presentModuleDisk(sim::Machine& machine, sim::SimUsbDisk& disk, char letter);

// The module's disk also as a device that the configuration manager can
// eject (the machine then takes the letter away, and blob learns that its
// disk was let go), and an operator who removes the disk in the hot-plug
// applet.
sim::SimUsbDisk attachEjectableDisk(sim::Machine& machine, devmodel::Module& module,
                                    char letter, std::int64_t delayUs = 1500000);
// When the hot-plug applet opens, the operator removes the module's disk
// there a few seconds later.
void operatorRemovesDiskInApplet(sim::Machine& machine, devmodel::Module& module,
                                 char letter);

// Small input files for a quick run, and a module configured (from
// `config`) to expect exactly them.
devmodel::InputSet smallInputs(int records = 12);
devmodel::ModuleConfig expecting(const devmodel::InputSet& inputs,
                                 devmodel::ModuleConfig config = {});

// Writes the four input files into the machine's current folder under
// their default names.
void writeInputs(sim::Machine& machine, const devmodel::InputSet& inputs);

// Lists a port name under HARDWARE\DEVICEMAP\SERIALCOMM, after those
// listed already, as a serial driver does; the device behind it, if any, is
// added apart. listPort lists a port and adds it.
void listPortName(sim::Machine& machine, const std::string& name);
sim::SimPort& listPort(sim::Machine& machine, const std::string& name);

// The operator presses Enter whenever the program waits for it.
void operatorAlwaysPressesEnter(sim::Machine& machine);

#endif
