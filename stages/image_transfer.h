#ifndef VANTOR_STAGES_IMAGE_TRANSFER_H
#define VANTOR_STAGES_IMAGE_TRANSFER_H

struct ConfiguratorContext;

// Has blob show its memory as a USB disk, copies the image named `name`
// ("kernel" or "ramdisk") onto it, removes the disk and has blob flash the
// image. 0 when done; -1 when blob never reported the disk connected.
int transferImage(ConfiguratorContext& context, const char* name);

// Copies a file onto the module's drive with the shell; 0 when copied. A
// failed copy ends the run.
int copyToDrive(ConfiguratorContext& context, const char* fileName);

#endif
