// Writes logs of whole runs of the program on the simulated machine against
// the device model, one per ending worth keeping as a regression case:
//   make_field_logs OUTPUT_FOLDER
// or writes the input files a kept log was made with:
//   make_field_logs --inputs LOG_NAME OUTPUT_FOLDER
// Each run is the one a workshop could send back, the operator pressing
// Enter whenever asked: unless the scenario says otherwise, the module on
// COM3 and COM1 listed but silent.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "app/program.h"
#include "serial/prompt_watcher.h"
#include "tools/device_model/sim/module_link.h"
#include "tools/replay/field_inputs.h"

namespace {

struct Scenario {
  const char* name;
  std::function<void(devmodel::ModuleConfig&, sim::Machine&)> shape;
  std::size_t cutAt = 0;  // the run was killed: only this much of the log
  // The machine's serial ports; returns the one the module is on.
  std::function<sim::SimPort&(sim::Machine&)> ports = nullptr;
  // What else happens around the module once it is there.
  std::function<void(devmodel::Module&, sim::Machine&, sim::SimPort&)> around = nullptr;
};

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Lists a name under SERIALCOMM; the device behind it, if any, is added
// apart.
void listName(sim::Machine& m, const std::string& name) {
  static int values = 0;
  m.setValue(kSerialComm, "\\Device\\VCP" + std::to_string(values++), pf::REG_SZ,
             name + std::string(1, '\0'));
}

sim::SimPort& usualPorts(sim::Machine& m) {
  listPort(m, "COM1");
  return listPort(m, "COM3");
}

// A port whose next call of some kind never returns until the program
// gives up on it and cancels it.
void hangUntilCancelled(sim::Machine& m) {
  while (m.blockCurrent()) {
  }
}

std::string runScenario(const Scenario& scenario) {
  sim::resetMachine();
  promptWatcher.clear();
  sim::Machine& machine = sim::machine();
  devmodel::InputSet inputs =
      replay::fieldLogInputs(std::string("sim_") + scenario.name);
  writeInputs(machine, inputs);
  operatorAlwaysPressesEnter(machine);
  devmodel::ModuleConfig config = expecting(inputs);
  sim::SimPort& com = scenario.ports ? scenario.ports(machine) : usualPorts(machine);
  scenario.shape(config, machine);
  devmodel::Module module(config);
  attachModule(com, module);
  attachEjectableDisk(machine, module, 'E');
  if (scenario.around) scenario.around(module, machine, com);
  try {
    sim::runProcess(programMain);
  } catch (sim::SimulationStopped& stop) {
    std::fprintf(stderr, "%s: the run could not go on: %s\n", scenario.name,
                 stop.reason.c_str());
  }
  machine.endThreads();
  std::string log = machine.readFile("vantor_config.log");
  if (scenario.cutAt != 0 && scenario.cutAt < log.size())
    log.resize(scenario.cutAt);
  return log;
}

int writeInputFiles(const std::string& logName, const std::string& folder) {
  mkdir(folder.c_str(), 0755);
  std::string error;
  if (!devmodel::writeInputs(folder, replay::fieldLogInputs(logName), &error)) {
    std::fprintf(stderr, "make_field_logs: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--inputs") == 0)
    return writeInputFiles(argv[2], argv[3]);
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: make_field_logs OUTPUT_FOLDER\n"
                 "       make_field_logs --inputs LOG_NAME OUTPUT_FOLDER\n");
    return 2;
  }
  auto none = [](devmodel::ModuleConfig&, sim::Machine&) {};
  // The module's boot ROM only at 38400: the first pass finds nothing, so
  // the second shows which ports are left out.
  auto at38400 = [](devmodel::ModuleConfig& c, sim::Machine&) {
    c.answerBaud = 38400;
    c.garbageAtWrongBaud = false;
  };
  const Scenario scenarios[] = {
      {"whole_run", none},
      {"silent_module",
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentFromUs = 0; }},
      {"never_connected",
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.connectFromTry = 0; }},
      {"missing_boot_loader",
       [](devmodel::ModuleConfig&, sim::Machine& m) {
         std::remove(m.hostPath("blob.uue").c_str());
       }},
      {"record_failure",
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.corruptEcho.record = 4;
         c.corruptEcho.attempts = -1;
       }},
      {"read_back_failure",
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.corruptReadBack.record = 1;
         c.corruptReadBack.attempts = -1;
       }},
      {"prompt_error",
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.serialErrorPrompts = 1; }},
      {"garbage_at_115200",
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.answerBaud = 38400; }},
      {"killed_during_kernel", none, 0},
      // A listed port that does not open (a Bluetooth port, one held by
      // another program): message 18, and no probe of it in later passes.
      {"port_not_opened", at38400, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         listPort(m, "COM1").createFails = true;
         return listPort(m, "COM3");
       }},
      // Ports of every kind a PC lists: one that answers nothing, one that
      // does not open, one named with its device path that echoes what it
      // is sent, one listed but absent, one with a name not COMn, and the
      // module on a port above 9 that answers only at 19200 with bytes
      // mangled at the other rates.
      {"many_ports",
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.answerBaud = 19200; }, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         for (const char* name :
              {"COM1", "COM12", "\\\\.\\COM4", "COM7", "BthModem0", "COM10"})
           listName(m, name);
         m.addPort("COM1");
         m.addPort("COM12").createFails = true;
         sim::SimPort& echo = m.addPort("COM4");
         sim::SimPort* e = &echo;
         echo.onWrite = [e](std::int64_t now, const std::uint8_t* data, std::size_t size) {
           e->deliver(data, size, now + 1000);
         };
         m.addPort("BthModem0");
         return m.addPort("COM10");
       }},
      // Probes that the program gives up on after 3 s: one whose open
      // hangs (an outgoing Bluetooth port trying to reach its device), one
      // whose write of the probe's byte hangs, and one whose open takes
      // 2.5 s, so that the time runs out while it waits for the answer.
      // None of them is probed again in that search.
      {"probe_timed_out", at38400, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         listPort(m, "COM1").openHangs = true;
         sim::Machine* machine = &m;
         listPort(m, "COM2").onWrite = [machine](std::int64_t, const std::uint8_t*,
                                                 std::size_t) {
           hangUntilCancelled(*machine);
         };
         sim::SimPort& slow = listPort(m, "COM4");
         sim::SimPort* s = &slow;
         slow.openHangs = true;
         machine->onCall = [machine, s] {
           if (s->blockedThreads.empty() || !s->openHangs) return;
           s->openHangs = false;  // only the first open is slow
           machine->at(machine->nowUs() + 2500000, [s](std::int64_t) { s->releaseHang(); });
         };
         return listPort(m, "COM3");
       }},
      // The configured port does not open: four passes of nothing, then
      // message 10.
      {"configured_port_not_opened", none, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         m.writeFile("vantor_config.ini", "[COM]\r\nport=12\r\n");
         sim::SimPort& com = m.addPort("COM12");
         com.createFails = true;
         return com;
       }},
      {"no_serial_port", none, 0,
       [](sim::Machine& m) -> sim::SimPort& { return m.addPort("COM3"); }},
      // Comment lines longer than a piece of 79 characters, one of them
      // after a record.
      {"long_rom_loader_lines", none},
      // The port list changes between two searches: a record fails at
      // 115200, and meanwhile a Bluetooth port that cannot be opened has
      // been paired.
      {"ports_change_between_searches",
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.corruptEcho.record = 2;
         c.corruptEcho.attempts = 5;
       },
       0, nullptr,
       [](devmodel::Module& module, sim::Machine& m, sim::SimPort&) {
         sim::Machine* machine = &m;
         module.onEvent = [machine](const devmodel::Event& e) {
           if (e.name != "record" || machine->port("COM8") != nullptr) return;
           // Listed first: the next search tries it before the others.
           auto& values = machine->registry["hardware\\devicemap\\serialcomm"];
           values.insert(values.begin(),
                         {"\\Device\\BthModem1", pf::REG_SZ, std::string("COM8", 5)});
           machine->addPort("COM8").createFails = true;
         };
       }},
      // blob puts a NUL after each line feed, so one stands before every
      // prompt on its line: the NULs are logged as they came, and the
      // prompts are found all the same.
      {"nul_before_prompts", none, 0, nullptr,
       [](devmodel::Module& module, sim::Machine&, sim::SimPort& com) {
         auto inBlob = std::make_shared<bool>(false);
         module.onEvent = [inBlob](const devmodel::Event& e) {
           if (e.name == "blob-start") *inBlob = true;
         };
         devmodel::Module* mod = &module;
         sim::SimPort* port = &com;
         com.advance = [port, mod, inBlob](std::int64_t now) {
           devmodel::Bytes out = mod->takeOutput(now), sent;
           for (std::uint8_t byte : out) {
             sent.push_back(byte);
             if (*inBlob && byte == '\n') sent.push_back(0);
           }
           if (!sent.empty()) port->deliver(sent.data(), sent.size(), now);
         };
       }},
      // The operator cancels the copy of the ramdisk in the shell's
      // progress window.
      {"copy_cancelled",
       [](devmodel::ModuleConfig&, sim::Machine& m) { m.shellCopyCancelNth = 2; }},
      // The module's port does not open again at 115200 for blob (another
      // program took it): the next pass starts, with the module in blob.
      {"reopen_fails",
       [](devmodel::ModuleConfig&, sim::Machine& m) { m.failNth(sim::Call::CreateFileA, 3); }},
      // The eject of the kernel's disk is vetoed (a window still shows the
      // disk): the program opens the hot-plug applet and the operator
      // stops the disk there. The ramdisk's disk ejects.
      {"eject_vetoed", none, 0, nullptr,
       [](devmodel::Module&, sim::Machine& m, sim::SimPort&) {
         sim::SimDeviceTree& tree = m.deviceTree;
         int volume = tree.find("STORAGE\\REMOVABLEMEDIA\\7&1A2B3C&0&RM");
         if (volume < 0) return;
         const std::string id = "STORAGE\\REMOVABLEMEDIA\\8&2F7E1D0&0&RM";
         tree.nodes[static_cast<std::size_t>(volume)].deviceId = id;
         sim::mountVolume(m, 'E', id);
         tree.failures.push_back({sim::CmCall::CM_Request_Device_EjectA,
                                  "USB\\VID_C0DE&PID_B007\\0001", pf::CR_REMOVE_VETOED,
                                  1, 6, "\\Device\\HarddiskVolume9"});
       }},
      // The USB serial adapter is pulled out while blob flashes the kernel.
      {"adapter_gone", none, 0, nullptr,
       [](devmodel::Module& module, sim::Machine& m, sim::SimPort& com) {
         sim::Machine* machine = &m;
         sim::SimPort* port = &com;
         module.onEvent = [machine, port](const devmodel::Event& e) {
           if (e.name == "flash-kernel")
             machine->at(machine->nowUs() + 1500000,
                         [port](std::int64_t) { port->gone = true; });
         };
       }},
  };
  for (const Scenario& s : scenarios) {
    Scenario scenario = s;
    std::string log = runScenario(scenario);
    if (std::string(scenario.name) == "killed_during_kernel") {
      // Cut inside the bytes received while the kernel is flashed.
      std::size_t at = log.find(" -> flash kernel");
      if (at != std::string::npos) log.resize(std::min(log.size(), at + 60));
    }
    std::string path = std::string(argv[1]) + "/sim_" + scenario.name + ".log";
    std::ofstream out(path, std::ios::binary);
    out << log;
    std::printf("%s: %zu bytes\n", path.c_str(), log.size());
  }
  return 0;
}
