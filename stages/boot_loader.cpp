#include "stages/boot_loader.h"

#include <cstdio>
#include <cstring>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"
#include "stages/blob_dialogue.h"
#include "stages/file_lines.h"

namespace {

const std::size_t kReceiveSize = 4096;
// The download: a pause after the command, then blob has this long to say
// "downloading".
const int kDownloadPauseMs = 100;
const int kDownloadingMs = 1000;
// The line has no flow control: the pause after each line of the file is
// the transfer's only pacing.
const int kLinePauseMs = 10;
// After the last line, a pause before the line feed; then blob has this
// long to show its prompt.
const int kAfterFilePauseMs = 100;
const int kPromptAfterFileMs = 1000;
// While the operator power-cycles the robot, each wait for "Autoboot" lasts
// this long, one turn of the spinner.
const int kSpinnerStepMs = 200;

// Passes on what the module sent while the file goes out: its progress dots
// to the operator, everything to the log. Taken in pieces when more is
// waiting than the buffer holds.
void drainProgress(ConfiguratorContext& context) {
  int waiting = context.port->bytesWaiting();
  while (waiting > 0) {
    char received[kReceiveSize];
    int count = 0;
    receiveAvailable(context, received, sizeof received, &count);
    if (count <= 0) break;
    if (std::strchr(received, '.') != nullptr)
      printFlushed(pf::consoleOut(), "%s", received);
    logPrint(context, "%s", received);
    waiting -= count;
  }
}

int download(ConfiguratorContext& context) {
  sendLine(context, "download blob");
  pf::Sleep(kDownloadPauseMs);
  if (waitForText(context, "downloading", kDownloadingMs) < 0) return -1;
  // Untranslated: the lines go out exactly as they are in the file.
  FILE* file = pf::fopen(context.fileNames[1], "rb");
  if (file == nullptr) {
    consoleThenLog(context, kMsgCannotOpenFile, context.fileNames[1]);
    return -1;
  }
  consoleThenLog(context, kMsgBlobTransferring);
  while (!std::feof(file)) {
    char line[kLineLimit];
    const int length = readLinePiece(line, file);
    if (length < 0) break;
    context.port->write(line, static_cast<std::size_t>(length));
    drainProgress(context);
    pf::Sleep(kLinePauseMs);
  }
  std::fclose(file);
  pf::Sleep(kAfterFilePauseMs);
  // blob answers the file's last line with a prompt of its own, after that
  // line's drain. Taken here, it cannot pass for the answer to the line
  // feed below, and that answer is not left queued for the flash's wait to
  // take for the end of the flash.
  drainProgress(context);
  sendNewline(context);
  if (waitForBlobPrompt(context, kPromptAfterFileMs) < 0) return -1;
  printFlushed(pf::consoleOut(), " ");
  logPrint(context, " ");
  consoleThenLog(context, kMsgTransferred);
  return 0;
}

int powerCycle(ConfiguratorContext& context) {
  logPrint(context, "%s\n", message(kMsgPowerOffRemoveJumperPowerOn));
  do {
    endIfPortFailed(context);
    advanceSpinner(message(kMsgPowerOffRemoveJumperPowerOn));
  } while (waitForText(context, "Autoboot", kSpinnerStepMs) < 0);
  sendNewline(context);
  if (waitForBlobPrompt(context, kPromptAfterRestartMs) < 0) return -1;
  context.port->sendBreak();
  printFlushed(pf::consoleOut(), "\n");
  return confirmPrompt(context) ? 0 : -1;
}

}  // namespace

int updateBootLoader(ConfiguratorContext& context) {
  if (download(context) < 0) return -1;
  // blob flashes the image it just received, which is surely there.
  flashWithSpinner(context, "blob");
  reportFlashed(context);
  return powerCycle(context);
}
