#include "app/program.h"

#include "app/catalogue.h"
#include "app/context.h"
#include "app/procedure.h"
#include "platform/platform.h"

int programMain() {
  if (buildMessageCatalogue() < 0) {
    // Out of memory before the first word: this message needs no
    // conversion, being plain ASCII.
    std::fputs("Procedura non completata: riprovare dall'inizio\n",
               pf::consoleOut());
    std::fflush(pf::consoleOut());
    return -1;
  }
  pf::atexit(releaseMessageCatalogue);
  ConfiguratorContext context;
  // Without a port object nothing can be done; message 4 has been printed.
  if (context.port == nullptr) context.abortProcedure();
  runProcedure(context);
  return 0;
}
