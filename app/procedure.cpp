#include "app/procedure.h"

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "serial/discovery.h"
#include "stages/blob_dialogue.h"
#include "stages/boot_loader.h"
#include "stages/image_transfer.h"
#include "stages/rom_loader.h"

namespace {

void openRun(ConfiguratorContext& context) {
  printMessage(pf::consoleOut(), kMsgBanner);
  printMessage(pf::consoleOut(), kMsgCheckJumperIn);
  if (context.openLog("vantor_config.log") < 0) context.abortProcedure();
  if (context.loadConfiguration() < 0) context.abortProcedure();
  context.romLoaderFile = pf::fopen(context.fileNames[0], "r");
  if (context.romLoaderFile == nullptr) {
    consoleThenLog(context, kMsgCannotOpenFile, context.fileNames[0]);
    context.abortProcedure();
  }
}

// One baud-rate pass after the other until blob answers; the module is
// asked to restart between passes.
void reachBlobInSomePass(ConfiguratorContext& context) {
  for (;;) {
    context.port->close();
    if (!findModule(context)) {
      consoleThenLog(context, kMsgNoConnection);
      context.abortProcedure();
    }
    if (uploadRomLoader(context) && reachBlob(context)) return;
    if (context.baudIndex >= context.baudCount) context.abortProcedure();
  }
}

}  // namespace

int runProcedure(ConfiguratorContext& context) {
  openRun(context);
  reachBlobInSomePass(context);
  std::fclose(context.romLoaderFile);
  context.romLoaderFile = nullptr;
  if (updateBootLoader(context) < 0) context.abortProcedure();
  if (transferImage(context, "kernel") < 0) context.abortProcedure();
  if (transferImage(context, "ramdisk") < 0) context.abortProcedure();

  context.port->close();
  std::fclose(context.log);
  context.log = nullptr;
  printMessage(pf::consoleOut(), kMsgConfigurationDone);
  printMessage(pf::consoleOut(), kMsgPowerOffUnplugCables);
  printMessage(pf::consoleOut(), kMsgPressEnterToEnd);
  waitForEnter();
  return 0;
}
