#include "app/program.h"

#include "app/catalogue.h"
#include "app/context.h"
#include "app/procedure.h"
#include "platform/platform.h"

namespace {

const pf::UINT kTimerResolutionMs = 1;

void restoreTimerResolution() { pf::timeEndPeriod(kTimerResolutionMs); }

}  // namespace

int programMain() {
  if (buildMessageCatalogue() < 0) {
    // Out of memory before the first word: this message needs no
    // conversion, being plain ASCII.
    std::fputs("Procedura non completata: riprovare dall'inizio\n",
               pf::consoleOut());
    std::fflush(pf::consoleOut());
    // Like every other failure, it waits for the operator to have read it.
    pf::readConsoleChar();
    return -1;
  }
  pf::atexit(releaseMessageCatalogue);
  // Every poll of the line pauses 5 ms; on the default scheduler tick of
  // about 15.6 ms each pause, and with it every time-out, would last three
  // times what the procedure means.
  if (pf::timeBeginPeriod(kTimerResolutionMs) == 0)
    pf::atexit(restoreTimerResolution);
  ConfiguratorContext context;
  // Without a port object nothing can be done; message 4 has been printed.
  if (context.port == nullptr) context.abortProcedure();
  runProcedure(context);
  return 0;
}
