#ifndef VANTOR_SERIAL_PORT_LIST_H
#define VANTOR_SERIAL_PORT_LIST_H

struct ConfiguratorContext;

// Rebuilds the candidate list from the serial ports Windows lists, in the
// registry's order, at most 256 of them. Writes the list to the log only.
void listSerialPorts(ConfiguratorContext& context);

#endif
