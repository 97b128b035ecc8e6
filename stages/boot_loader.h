#ifndef VANTOR_STAGES_BOOT_LOADER_H
#define VANTOR_STAGES_BOOT_LOADER_H

struct ConfiguratorContext;

// Downloads the new boot loader into blob, has it flashed, guides the
// operator through the power cycle and gets the new prompt back cleanly.
// 0 on success, -1 on any failure.
int updateBootLoader(ConfiguratorContext& context);

// Sends "\n" and waits for a prompt with no "*** serial port error" after
// it, breaking the line after each bad one; at most five tries. True when a
// clean prompt came. A last line feed follows either way.
bool confirmPrompt(ConfiguratorContext& context);

#endif
