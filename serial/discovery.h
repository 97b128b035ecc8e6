#ifndef VANTOR_SERIAL_DISCOVERY_H
#define VANTOR_SERIAL_DISCOVERY_H

struct ConfiguratorContext;

// Finds the port and baud rate on which the module's boot ROM answers, one
// baud-rate pass after the other from context.baudIndex, with the
// operator's help. 1: the port is open at context.baudRate, portName names
// it, lineDelayMs is set and baudIndex points past the pass. 0: no port is
// listed, or no remaining pass found the module.
int findModule(ConfiguratorContext& context);

#endif
