#include "tools/device_model/sim/module_link.h"

#include "platform/sim/sim_devtree.h"

#include <filesystem>
#include <fstream>
#include <sstream>

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

devmodel::ModuleConfig expecting(const devmodel::InputSet& inputs) {
  devmodel::ModuleConfig config;
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

sim::SimPort& listPort(sim::Machine& machine, const std::string& name) {
  machine.setValue("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\" + name,
                   pf::REG_SZ, name + std::string(1, '\0'));
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

void attachEjectableDisk(sim::Machine& machine, devmodel::Module& module,
                         char letter) {
  attachDisk(machine, module, letter);
  int device = sim::addModuleDisk(machine, letter).device;
  sim::Machine* m = &machine;
  devmodel::Module* mod = &module;
  // An eject takes the device out of the tree; each time the module
  // presents its disk again, the device is back.
  auto present = module.onDiskAttach;
  module.onDiskAttach = [m, device, present](const std::string& name) {
    m->deviceTree.restoreSubtree(device);
    present(name);
  };
  machine.deviceTree.onEject = [m, mod, letter](const std::string&) {
    removeModuleDisk(*m, *mod, letter);
  };
  machine.onShellExecute = [m, mod, letter](const sim::ShellExecuteRecord&) {
    m->at(m->nowUs() + 4000000, [m, mod, letter](std::int64_t) {
      removeModuleDisk(*m, *mod, letter);
    });
  };
}
