// Everything said to and heard from blob, the module's boot loader, that
// more than one stage needs: its prompt, reaching it at 115200 baud after
// the ROM loader, confirming it, and having blob flash what it holds.
#ifndef VANTOR_STAGES_BLOB_DIALOGUE_H
#define VANTOR_STAGES_BLOB_DIALOGUE_H

#include <cstddef>

struct ConfiguratorContext;

extern const char kBlobPrompt[];

// Room for a command to blob that names an image ("flash ", "usbddisk ")
// or the spinner's "Flashing " label, with more to spare than any of the
// three names needs.
constexpr std::size_t kCommandSize = 92;

// Tries of confirmPrompt before it gives up on a clean prompt.
constexpr int kConfirmTries = 5;

// Waits for blob's prompt as waitForText does (kWithoutLimit: no limit).
int waitForBlobPrompt(ConfiguratorContext& context, int timeoutMs);

// After the ROM loader: closes the line, opens it again at 115200 baud,
// breaks it and gets blob's prompt, confirmed. False when the port does not
// open or no clean prompt came.
bool reachBlob(ConfiguratorContext& context);

// Sends "\n" and waits for a prompt with no "*** serial port error" after
// it, breaking the line after each bad one; at most five tries. True when a
// clean prompt came. A last line feed follows either way.
bool confirmPrompt(ConfiguratorContext& context);

// Has blob flash what it holds under `name` ("blob", "kernel", "ramdisk"):
// the command, a pause, then the spinner "Flashing <name>" until the prompt
// is back, without limit (only a failed port ends it early). True when blob
// said "not downloaded" meanwhile: it had nothing to flash.
bool flashWithSpinner(ConfiguratorContext& context, const char* name);

// The end of a flash on the console and in the log: a line end, "Fatto",
// an empty line.
void reportFlashed(ConfiguratorContext& context);

#endif
