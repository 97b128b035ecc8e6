// Writes logs of whole runs of the program on the simulated machine against
// the device model, one per ending worth keeping as a regression case:
//   make_field_logs OUTPUT_FOLDER
// or writes the input files a kept log was made with:
//   make_field_logs --inputs LOG_NAME OUTPUT_FOLDER
// Each run is the one a workshop could send back, the operator pressing
// Enter whenever asked: unless the scenario says otherwise, the module on
// COM3 and COM1 listed but silent. Beside each log, NAME.truth says what
// the run really did, as the device model and the machine saw it (and the
// step the scenario meant it to stop at), for the test of vantor_explain.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "app/program.h"
#include "tools/device_model/sim/whole_run.h"
#include "tools/replay/field_inputs.h"

namespace {

struct Scenario {
  const char* name;
  // Where the scenario makes the run stop ("end" when it completes) and
  // the message that names the cause (-1: none); the rest of the truth is
  // measured.
  const char* stopsAt;
  int message;
  std::function<void(devmodel::ModuleConfig&, sim::Machine&)> shape;
  std::size_t cutAt = 0;  // the run was killed: only this much of the log
  // The machine's serial ports; returns the one the module is on.
  std::function<sim::SimPort&(sim::Machine&)> ports = nullptr;
  // What else happens around the module once it is plugged in.
  std::function<void(WholeRun&, sim::Machine&)> around = nullptr;
  // The run is killed (the window closed, the PC stopped) this long after
  // the module's event ("name" or "name#N" for the N-th).
  const char* killAfter = nullptr;
  std::int64_t killDelayUs = 0;
};

// What the run did, from the device model's events and the machine.
struct Truth {
  bool killed = false;
  int exitStatus = 0;
  int keyReads = 0;
  std::string port;       // the module's port, once its boot ROM answered
  int baud = 0;           // the rate of that answer
  std::map<std::string, int> events;
  bool nothingToFlash[3] = {false, false, false};
};

const char* const kImages[] = {"blob", "kernel", "ramdisk"};

std::string truthText(const Scenario& scenario, const Truth& t) {
  std::string flashed, interrupted;
  for (int i = 0; i < 3; ++i) {
    std::string image = kImages[i];
    bool started = t.events.count("flash-" + image) != 0;
    bool finished = t.events.count("flashed-" + image) != 0;
    if (finished) flashed += (flashed.empty() ? "" : "+") + image;
    else if (started && !t.nothingToFlash[i]) interrupted = image;
  }
  // Every pass waits for one Enter, and so does the end of a run that was
  // not killed.
  int passes = t.keyReads - (t.killed ? 0 : 1);
  std::string text = "# What the run of sim_" + std::string(scenario.name) +
                     ".log did, written by make_field_logs.\n";
  text += std::string("outcome: ") +
          (t.killed ? "cut" : t.exitStatus == 0 ? "complete" : "failed") + "\n";
  text += std::string("stopped_at: ") + scenario.stopsAt + "\n";
  text += "message: " + (scenario.message >= 0 ? std::to_string(scenario.message) : "") + "\n";
  text += "passes: " + std::to_string(passes) + "\n";
  text += "port: " + t.port + "\n";
  text += "baud: " + (t.baud > 0 ? std::to_string(t.baud) : "") + "\n";
  text += "flashed: " + (flashed.empty() ? "none" : flashed) + "\n";
  text += "interrupted: " + interrupted + "\n";
  return text;
}

bool eventIs(const char* trigger, const devmodel::Event& e, int count) {
  if (trigger == nullptr) return false;
  std::string t = trigger;
  std::size_t hash = t.find('#');
  if (hash == std::string::npos) return t == e.name && count == 1;
  return t.substr(0, hash) == e.name && std::atoi(t.c_str() + hash + 1) == count;
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

std::string runScenario(const Scenario& scenario, Truth& truth) {
  WholeRun run(replay::fieldLogInputs(std::string("sim_") + scenario.name));
  sim::Machine& machine = sim::machine();
  sim::SimPort& com = scenario.ports ? scenario.ports(machine) : usualPorts(machine);
  scenario.shape(run.config, machine);
  devmodel::Module& module = run.plug(com);
  if (scenario.around) scenario.around(run, machine);
  // The truth is taken as the module goes, whatever else listens to it.
  auto listener = module.onEvent;
  sim::Machine* m = &machine;
  devmodel::Module* mod = &module;
  Truth* t = &truth;
  std::string port = com.name;
  module.onEvent = [listener, m, t, &scenario](const devmodel::Event& e) {
    if (listener) listener(e);
    int count = ++t->events[e.name];
    if (eventIs(scenario.killAfter, e, count))
      m->horizonUs = std::min(m->horizonUs, e.atUs + scenario.killDelayUs);
  };
  // The module answered a probe when the first byte the program took after
  // its "a" was the boot ROM's ":".
  auto write = com.onWrite;
  auto probeRate = std::make_shared<int>(0);
  com.onWrite = [write, mod, probeRate](std::int64_t now, const std::uint8_t* data,
                                        std::size_t size) {
    if (size == 1 && data[0] == 'a' && mod->stage() == devmodel::Stage::BootRom)
      *probeRate = mod->lineSpeed();
    write(now, data, size);
  };
  auto read = com.onRead;
  com.onRead = [read, t, port, probeRate](std::int64_t now, const std::uint8_t* data,
                                          std::size_t size) {
    if (size > 0 && *probeRate != 0) {
      if (data[0] == ':') {
        t->port = port;
        t->baud = *probeRate;
      }
      *probeRate = 0;
    }
    if (read) read(now, data, size);
  };
  try {
    truth.exitStatus = sim::runProcess(programMain);
  } catch (sim::SimulationStopped& stop) {
    truth.killed = true;
    if (scenario.killAfter == nullptr)
      std::fprintf(stderr, "%s: the run could not go on: %s\n", scenario.name,
                   stop.reason.c_str());
  }
  truth.keyReads = machine.keyReads;
  for (const std::string& problem : module.verdict().problems)
    for (int i = 0; i < 3; ++i)
      if (problem == std::string("blob: flash ") + kImages[i] +
                         " without the image having been received")
        truth.nothingToFlash[i] = true;
  machine.endThreads();
  machine.closeFilesLeftOpen();
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
      {"whole_run", "end", -1, none},
      {"silent_module", "discovery", 10,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentFromUs = 0; }},
      {"never_connected", "kernel-usb-disk", 33,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.connectFromTry = 0; }},
      {"missing_boot_loader", "boot-loader-download", 9,
       [](devmodel::ModuleConfig&, sim::Machine& m) {
         std::remove(m.hostPath("blob.uue").c_str());
       }},
      {"record_failure", "rom-loader", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.corruptEcho.record = 4;
         c.corruptEcho.attempts = -1;
       }},
      {"read_back_failure", "rom-loader", 42,
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.corruptReadBack.record = 1;
         c.corruptReadBack.attempts = -1;
       }},
      {"prompt_error", "end", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.serialErrorPrompts = 1; }},
      {"garbage_at_115200", "end", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.answerBaud = 38400; }},
      {"killed_during_kernel", "kernel-flash", -1, none, 0, nullptr, nullptr, "flash-kernel",
       1000000},
      // A listed port that does not open (a Bluetooth port, one held by
      // another program): message 18, and no probe of it in later passes.
      {"port_not_opened", "end", -1, at38400, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         listPort(m, "COM1").createFails = true;
         return listPort(m, "COM3");
       }},
      // Ports of every kind a PC lists: one that answers nothing, one that
      // does not open, one named with its device path that echoes what it
      // is sent, one listed but absent, one with a name not COMn, and the
      // module on a port above 9 that answers only at 19200 with bytes
      // mangled at the other rates.
      {"many_ports", "end", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.answerBaud = 19200; }, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         for (const char* name :
              {"COM1", "COM12", "\\\\.\\COM4", "COM7", "BthModem0", "COM10"})
           listPortName(m, name);
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
      {"probe_timed_out", "end", -1, at38400, 0,
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
      {"configured_port_not_opened", "discovery", 10, none, 0,
       [](sim::Machine& m) -> sim::SimPort& {
         m.writeFile("vantor_config.ini", "[COM]\r\nport=12\r\n");
         sim::SimPort& com = m.addPort("COM12");
         com.createFails = true;
         return com;
       }},
      {"no_serial_port", "discovery", 5, none, 0,
       [](sim::Machine& m) -> sim::SimPort& { return m.addPort("COM3"); }},
      // Comment lines longer than a piece of 79 characters, one of them
      // after a record.
      {"long_rom_loader_lines", "end", -1, none},
      // The port list changes between two searches: a record fails at
      // 115200, and meanwhile a Bluetooth port that cannot be opened has
      // been paired.
      {"ports_change_between_searches", "end", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.corruptEcho.record = 2;
         c.corruptEcho.attempts = 5;
       },
       0, nullptr,
       [](WholeRun& run, sim::Machine& m) {
         sim::Machine* machine = &m;
         run.module->onEvent = [machine](const devmodel::Event& e) {
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
      {"nul_before_prompts", "end", -1, none, 0, nullptr,
       [](WholeRun& run, sim::Machine&) {
         auto inBlob = std::make_shared<bool>(false);
         run.module->onEvent = [inBlob](const devmodel::Event& e) {
           if (e.name == "blob-start") *inBlob = true;
         };
         devmodel::Module* mod = run.module.get();
         sim::SimPort* port = run.port;
         port->advance = [port, mod, inBlob](std::int64_t now) {
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
      {"copy_cancelled", "ramdisk-copy", 36,
       [](devmodel::ModuleConfig&, sim::Machine& m) { m.shellCopyCancelNth = 2; }},
      // The module's port does not open again at 115200 for blob (another
      // program took it): the next pass starts, with the module in blob.
      {"reopen_fails", "discovery", 10,
       [](devmodel::ModuleConfig&, sim::Machine& m) { m.failNth(sim::Call::CreateFileA, 3); }},
      // The eject of the kernel's disk is vetoed (a window still shows the
      // disk): the program opens the hot-plug applet and the operator
      // stops the disk there. The ramdisk's disk ejects.
      {"eject_vetoed", "end", -1, none, 0, nullptr,
       [](WholeRun& run, sim::Machine& m) {
         sim::SimDeviceTree& tree = m.deviceTree;
         const std::string id = "STORAGE\\REMOVABLEMEDIA\\8&2F7E1D0&0&RM";
         tree.nodes[static_cast<std::size_t>(run.disk.volume)].deviceId = id;
         sim::mountVolume(m, run.diskLetter, id);
         tree.failures.push_back({sim::CmCall::CM_Request_Device_EjectA, run.disk.deviceId,
                                  pf::CR_REMOVE_VETOED, 1, 6, "\\Device\\HarddiskVolume9"});
       }},
      // The USB serial adapter is pulled out while blob flashes the kernel.
      {"adapter_gone", "kernel-flash", -1, none, 0, nullptr,
       [](WholeRun& run, sim::Machine& m) {
         sim::Machine* machine = &m;
         sim::SimPort* port = run.port;
         run.module->onEvent = [machine, port](const devmodel::Event& e) {
           if (e.name == "flash-kernel")
             machine->at(machine->nowUs() + 1500000,
                         [port](std::int64_t) { port->gone = true; });
         };
       }},
      // ---- one log for each way a run can end, for vantor_explain ----
      // The folder's path is too long to reach the configuration file.
      {"configuration_path_too_long", "start", 9,
       [](devmodel::ModuleConfig&, sim::Machine& m) {
         m.fail(sim::Call::GetCurrentDirectoryA, 1);
       }},
      // A configured name longer than a path may be.
      {"file_name_too_long", "start", 9,
       [](devmodel::ModuleConfig&, sim::Machine& m) {
         m.writeFile("vantor_config.ini",
                     "[File Name]\r\nkernel=" + std::string(300, 'k') + "\r\n");
       }},
      // The ROM loader file is empty (the inputs say so): nothing is sent
      // in any pass.
      {"empty_rom_loader", "rom-loader", -1, none},
      // The ROM loader file lacks its end record: every pass reaches the
      // end of the file and starts again.
      {"rom_loader_without_end", "rom-loader", -1, none},
      // The boot ROM answers only at 9600, and blob's every prompt comes
      // with "*** serial port error": the last pass cannot reach blob.
      {"blob_prompt_error_in_last_pass", "blob-prompt", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) {
         c.answerBaud = 9600;
         c.garbageAtWrongBaud = false;
         c.serialErrorPrompts = 1000;
       }},
      // blob never answers "downloading".
      {"download_refused", "boot-loader-download", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentAfterEvent = "download"; }},
      // The PC stops while blob flashes the boot loader.
      // (The kill comes before the program looks for blob's prompt again:
      // this model leaves one waiting after the download, which the program
      // takes for the end of the flash.)
      {"killed_during_blob_flash", "boot-loader-flash", -1, none, 0, nullptr, nullptr,
       "flash-blob", 100000},
      // Nobody switches the robot off and on again: the program waits for
      // "Autoboot" until the window is closed.
      {"never_restarted", "power-cycle", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.powerCycleDelayUs = devmodel::kNever; },
       0, nullptr, nullptr, "flashed-blob", 20000000},
      // After the restart blob says "Autoboot" and then nothing.
      {"no_prompt_after_restart", "power-cycle", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentAfterEvent = "key#2"; }},
      // The module's disk never gets a drive letter.
      {"no_drive_letter", "kernel-usb-disk", -1, none, 0, nullptr,
       [](WholeRun& run, sim::Machine&) { run.module->onDiskAttach = [](const std::string&) {}; },
       "connected", 10000000},
      // The kernel file is empty (the inputs say so): nothing is copied.
      {"empty_kernel", "kernel-copy", 36, none},
      // The PC stops after the drive letter came, before the copy.
      {"killed_before_copy", "kernel-copy", -1, none, 0, nullptr, nullptr, "connected",
       2500000},
      // The eject of the kernel's disk is refused and nobody removes it in
      // the hot-plug applet.
      {"removal_never_done", "kernel-removal", -1, none, 0, nullptr,
       [](WholeRun& run, sim::Machine& m) {
         m.deviceTree.failures.push_back({sim::CmCall::CM_Request_Device_EjectA,
                                          run.disk.deviceId, pf::CR_REMOVE_VETOED, 1, 6,
                                          "\\Device\\HarddiskVolume9"});
         m.onShellExecute = [](const sim::ShellExecuteRecord&) {};
       },
       "connected", 30000000},
      // blob never says "connected" for the ramdisk's disk.
      {"ramdisk_never_connected", "ramdisk-usb-disk", 33,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentAfterEvent = "usbddisk#2"; }},
      // blob falls silent once the ramdisk's disk is removed.
      {"no_prompt_after_removal", "ramdisk-removal", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentAfterEvent = "disk-removed#2"; },
       0, nullptr, nullptr, "disk-removed#2", 10000000},
      // The copy of the kernel landed where blob cannot find it.
      {"kernel_not_on_disk", "kernel-flash", 38, none, 0, nullptr,
       [](WholeRun& run, sim::Machine&) {
         run.module->readDisk = [](const std::string&) -> std::optional<devmodel::Bytes> {
           return std::nullopt;
         };
       }},
      // The PC stops while blob flashes the ramdisk.
      {"killed_during_ramdisk", "ramdisk-flash", -1, none, 0, nullptr, nullptr,
       "flash-ramdisk", 1000000},
      // The module never echoes the one record whose echo is awaited
      // without limit, and the window is closed.
      {"killed_waiting_for_echo", "rom-loader", -1,
       [](devmodel::ModuleConfig& c, sim::Machine&) { c.silentAfterEvent = "record#13"; },
       0, nullptr, nullptr, "record#13", 5000000},
  };
  for (const Scenario& s : scenarios) {
    Scenario scenario = s;
    Truth truth;
    std::string log = runScenario(scenario, truth);
    if (std::string(scenario.name) == "killed_during_kernel") {
      // Cut inside the bytes received while the kernel is flashed.
      std::size_t at = log.find(" -> flash kernel");
      if (at != std::string::npos) log.resize(std::min(log.size(), at + 60));
    }
    std::string path = std::string(argv[1]) + "/sim_" + scenario.name + ".log";
    std::ofstream out(path, std::ios::binary);
    out << log;
    std::ofstream(std::string(argv[1]) + "/sim_" + scenario.name + ".truth", std::ios::binary)
        << truthText(scenario, truth);
    std::printf("%s: %zu bytes\n", path.c_str(), log.size());
  }
  return 0;
}
