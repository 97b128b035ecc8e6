#ifndef VANTOR_STAGES_ROM_LOADER_H
#define VANTOR_STAGES_ROM_LOADER_H

struct ConfiguratorContext;

// Sends the ROM loader file, record by record, to the boot ROM on the open
// port. 1 once the end record has gone out; 0 when a record or a read-back
// failed five times, or the file cannot be a ROM loader (empty, or no end
// record). Leaves the file and the port open.
int uploadRomLoader(ConfiguratorContext& context);

#endif
