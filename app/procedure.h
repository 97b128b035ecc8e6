#ifndef VANTOR_APP_PROCEDURE_H
#define VANTOR_APP_PROCEDURE_H

struct ConfiguratorContext;

// The whole firmware update. Returns 0 after a successful run; every
// failure ends the process through abortProcedure.
int runProcedure(ConfiguratorContext& context);

#endif
