#ifndef VANTOR_STAGES_BOOT_LOADER_H
#define VANTOR_STAGES_BOOT_LOADER_H

struct ConfiguratorContext;

// After the restarted module's "Autoboot", the time its prompt has to come.
constexpr int kPromptAfterRestartMs = 2000;

// Downloads the new boot loader into blob, has it flashed, guides the
// operator through the power cycle and gets the new prompt back cleanly.
// 0 on success, -1 on any failure.
int updateBootLoader(ConfiguratorContext& context);

#endif
