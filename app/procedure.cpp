#include "app/procedure.h"

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"

namespace {

void openRun(ConfiguratorContext& context) {
  printMessage(pf::consoleOut(), 0);
  printMessage(pf::consoleOut(), 6);
  if (context.openLog("vantor_config.log") < 0) context.abortProcedure();
  if (context.loadConfiguration() < 0) context.abortProcedure();
  context.romLoaderFile = pf::fopen(context.fileNames[0], "r");
  if (context.romLoaderFile == nullptr) {
    consoleThenLog(context, 9, context.fileNames[0]);
    context.abortProcedure();
  }
}

}  // namespace

int runProcedure(ConfiguratorContext& context) {
  openRun(context);
  // The module cannot be reached yet: discovery and the stages join here.
  context.abortProcedure();
}
