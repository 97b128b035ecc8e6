// Writes logs of whole runs of the program on the simulated machine against
// the device model, one per ending worth keeping as a regression case:
//   make_field_logs OUTPUT_FOLDER
// Each run is the one a workshop could send back: the module on COM3 (COM1
// listed but silent), the operator pressing Enter whenever asked.
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/program.h"
#include "serial/prompt_watcher.h"
#include "tools/device_model/sim/module_link.h"

namespace {

struct Scenario {
  const char* name;
  std::function<void(devmodel::ModuleConfig&, sim::Machine&)> shape;
  std::size_t cutAt = 0;  // the run was killed: only this much of the log
};

std::string runScenario(const Scenario& scenario) {
  sim::resetMachine();
  promptWatcher.clear();
  sim::Machine& machine = sim::machine();
  devmodel::InputSet inputs = smallInputs();
  writeInputs(machine, inputs);
  operatorAlwaysPressesEnter(machine);
  devmodel::ModuleConfig config = expecting(inputs);
  listPort(machine, "COM1");
  sim::SimPort& com = listPort(machine, "COM3");
  scenario.shape(config, machine);
  devmodel::Module module(config);
  attachModule(com, module);
  attachEjectableDisk(machine, module, 'E');
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_field_logs OUTPUT_FOLDER\n");
    return 2;
  }
  auto none = [](devmodel::ModuleConfig&, sim::Machine&) {};
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
