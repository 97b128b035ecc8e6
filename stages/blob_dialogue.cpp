#include "stages/blob_dialogue.h"

#include <cstdio>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"

const char kBlobPrompt[] = "blob>";

namespace {

const int kBlobBaud = 115200;
const char kPromptError[] = "*** serial port error";
const char kNothingToFlash[] = "not downloaded";
// The line is opened again only after the old handle is surely released.
const int kReopenPauseMs = 10;
const int kAutobootMs = 2000;
const int kFirstPromptMs = 2000;
const int kPromptMs = 1000;
const int kPromptErrorMs = 500;
const int kFlashCommandPauseMs = 500;
const int kSpinnerStepMs = 100;

// Captures what blob says for as long as it lives: the watcher never keeps a
// capture that is gone, however the wait ends.
struct CaptureWhileAlive {
  explicit CaptureWhileAlive(TextCapture& capture) {
    promptWatcher.capture = &capture;
  }
  ~CaptureWhileAlive() { promptWatcher.capture = nullptr; }
  CaptureWhileAlive(const CaptureWhileAlive&) = delete;
  CaptureWhileAlive& operator=(const CaptureWhileAlive&) = delete;
};

}  // namespace

int waitForBlobPrompt(ConfiguratorContext& context, int timeoutMs) {
  return waitForText(context, kBlobPrompt, timeoutMs);
}

bool reachBlob(ConfiguratorContext& context) {
  logPrint(context, "Closing com port: ");
  context.port->close();
  logPrint(context, "Port closed.\n");
  pf::Sleep(kReopenPauseMs);
  consoleThenLog(context, kMsgBootLoaderLoaded);
  logPrint(context, "Open com port at 115200: ");
  if (context.port->open(context.portName, kBlobBaud, 0) != OpenOk)
    return false;
  logPrint(context, "port opened.\n");
  context.port->sendBreak();
  waitForText(context, "Autoboot ", kAutobootMs);
  sendNewline(context);
  if (waitForBlobPrompt(context, kFirstPromptMs) < 0) return false;
  return confirmPrompt(context);
}

bool confirmPrompt(ConfiguratorContext& context) {
  bool clean = false;
  for (int tries = 0; tries < kConfirmTries && !clean; ++tries) {
    sendNewline(context);
    if (waitForBlobPrompt(context, kPromptMs) < 0) continue;
    if (waitForText(context, kPromptError, kPromptErrorMs) < 0) {
      clean = true;
    } else {
      context.port->sendBreak();
    }
  }
  sendNewline(context);
  return clean;
}

bool flashWithSpinner(ConfiguratorContext& context, const char* name) {
  char command[kCommandSize];
  std::snprintf(command, sizeof command, "flash %s", name);
  sendLine(context, command);
  pf::Sleep(kFlashCommandPauseMs);
  char label[kCommandSize];
  std::snprintf(label, sizeof label, "Flashing %s", name);
  // What blob says while it flashes tells whether it had anything at all.
  TextCapture answer;
  answer.start(kNothingToFlash);
  {
    CaptureWhileAlive capturing(answer);
    do {
      endIfPortFailed(context);
      advanceSpinner(label);
    } while (waitForBlobPrompt(context, kSpinnerStepMs) < 0);
  }
  return answer.sawWanted();
}

void reportFlashed(ConfiguratorContext& context) {
  printFlushed(pf::consoleOut(), "\n");
  logPrint(context, "\n");
  consoleThenLog(context, kMsgDone);
  printFlushed(pf::consoleOut(), "\n");
  logPrint(context, "\n");
}
