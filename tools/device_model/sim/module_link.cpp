#include "tools/device_model/sim/module_link.h"

#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>

// The machine's serial port asks the model when it has something next, and
// both say "nothing" the same way.
static_assert(devmodel::kNever == sim::kForever, "one value for no event at all");

void attachModule(sim::SimPort& port, devmodel::Module& module) {
  sim::SimPort* p = &port;
  devmodel::Module* m = &module;
  port.onConfigured = [m](std::int64_t now, const pf::DCB& dcb) {
    m->setLineSpeed(static_cast<int>(dcb.BaudRate));
    if (!m->isOpen()) m->open(now);
  };
  port.onClosed = [m](std::int64_t now) { m->close(now); };
  port.onWrite = [m](std::int64_t now, const std::uint8_t* data,
                     std::size_t size) { m->receive(now, data, size); };
  port.onBreak = [m](std::int64_t now, std::int64_t durationUs) {
    m->lineBreak(now, static_cast<int>(durationUs / 1000));
  };
  port.advance = [p, m](std::int64_t now) {
    devmodel::Bytes out = m->takeOutput(now);
    if (!out.empty()) p->deliver(out.data(), out.size(), now);
  };
  port.nextEventUs = [m] { return m->nextEventUs(); };
}

devmodel::InputSet smallInputs(int records) {
  devmodel::InputSizes sizes;
  sizes.records = records;
  sizes.bootLoader = 3000;
  sizes.kernel = 9000;
  sizes.ramdisk = 12000;
  return devmodel::makeInputs(sizes, 7);
}

devmodel::ModuleConfig expecting(const devmodel::InputSet& inputs,
                                 devmodel::ModuleConfig config) {
  config.romLoaderText = inputs.romLoaderText;
  config.expectedBootLoader = inputs.bootLoader;
  config.expectedKernel = inputs.kernel;
  config.expectedRamdisk = inputs.ramdisk;
  return config;
}

void writeInputs(sim::Machine& machine, const devmodel::InputSet& inputs) {
  machine.writeFile("blob-bootloader.txt", inputs.romLoaderText);
  machine.writeFile("blob.uue", inputs.bootLoaderUue);
  machine.writeFile("zImage", devmodel::asString(inputs.kernel));
  machine.writeFile("cramfs.img", devmodel::asString(inputs.ramdisk));
}

void listPortName(sim::Machine& machine, const std::string& name) {
  const std::string key = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
  machine.addKey(key);
  auto& values = machine.registry["hardware\\devicemap\\serialcomm"];
  values.push_back({"\\Device\\Serial" + std::to_string(values.size()), pf::REG_SZ,
                    name + std::string(1, '\0')});
}

sim::SimPort& listPort(sim::Machine& machine, const std::string& name) {
  listPortName(machine, name);
  return machine.addPort(name);
}

void operatorAlwaysPressesEnter(sim::Machine& machine) {
  sim::Machine* m = &machine;
  machine.onKeyWanted = [m] { m->keys.push_back('\n'); };
}

void attachDisk(sim::Machine& machine, devmodel::Module& module, char letter,
                std::int64_t delayUs) {
  sim::Machine* m = &machine;
  std::string folder = machine.hostPath(std::string(1, letter) + ":\\");
  module.onDiskAttach = [m, letter, delayUs, folder](const std::string&) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    m->at(m->nowUs() + delayUs, [m, letter](std::int64_t) { m->addDrive(letter); });
  };
  module.readDisk = [folder](const std::string&) -> std::optional<devmodel::Bytes> {
    std::error_code error;
    std::string largest;
    std::uintmax_t size = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
      if (entry.is_regular_file() && (largest.empty() || entry.file_size() > size)) {
        largest = entry.path().string();
        size = entry.file_size();
      }
    if (largest.empty()) return std::nullopt;
    std::ifstream in(largest, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return devmodel::asBytes(content.str());
  };
}

void removeModuleDisk(sim::Machine& machine, devmodel::Module& module,
                      char letter) {
  machine.removeDrive(letter);
  module.diskRemoved(machine.nowUs());
}

sim::SimUsbDisk addModuleDisk(sim::Machine& machine, char letter, int parent) {
  sim::SimUsbDisk disk;
  disk.deviceId = "USB\\VID_C0DE&PID_B007\\0001";
  disk.diskId = "USBSTOR\\DISK&VEN_ALTAMEC&PROD_K-FERRO04_BOOT&REV_1.00\\0001&0";
  disk.diskName = "Altamec K-Ferro04 Boot USB Device";
  sim::addUsbDisk(machine, disk, letter, parent);
  return disk;
}

void presentModuleDisk(sim::Machine& machine, sim::SimUsbDisk& disk, char letter) {
  if (disk.device < 0)
    disk = addModuleDisk(machine, letter);
  else
    machine.deviceTree.restoreSubtree(disk.device);
}

void operatorRemovesDiskInApplet(sim::Machine& machine, devmodel::Module& module,
                                 char letter) {
  sim::Machine* m = &machine;
  devmodel::Module* mod = &module;
  machine.onShellExecute = [m, mod, letter](const sim::ShellExecuteRecord&) {
    m->at(m->nowUs() + 4000000, [m, mod, letter](std::int64_t) {
      removeModuleDisk(*m, *mod, letter);
    });
  };
}

sim::SimUsbDisk attachEjectableDisk(sim::Machine& machine, devmodel::Module& module,
                                    char letter, std::int64_t delayUs) {
  attachDisk(machine, module, letter, delayUs);
  auto disk = std::make_shared<sim::SimUsbDisk>();
  presentModuleDisk(machine, *disk, letter);
  sim::Machine* m = &machine;
  devmodel::Module* mod = &module;
  auto present = module.onDiskAttach;
  module.onDiskAttach = [m, disk, letter, present](const std::string& name) {
    presentModuleDisk(*m, *disk, letter);
    present(name);
  };
  machine.deviceTree.onEject = [m, mod](const std::string&) { mod->diskRemoved(m->nowUs()); };
  operatorRemovesDiskInApplet(machine, module, letter);
  return *disk;
}
