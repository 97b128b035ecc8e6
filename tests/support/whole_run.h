// Whole runs of the program on the simulated machine against the device
// model: the small input files under their default names, an operator who
// presses Enter whenever asked, and the module on COM3 with its ejectable
// USB disk E:.
#ifndef VANTOR_TESTS_SUPPORT_WHOLE_RUN_H
#define VANTOR_TESTS_SUPPORT_WHOLE_RUN_H

#include <memory>

#include "serial/prompt_watcher.h"
#include "tools/device_model/sim/module_link.h"
#include "tests/support/sim_fixture.h"

class WholeRunTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    prepare();
  }
  // A fresh machine, for a test that makes several runs.
  void prepare() {
    sim::resetMachine();
    promptWatcher.clear();
    module.reset();
    inputs = smallInputs();
    writeInputs(machine(), inputs);
    operatorAlwaysPressesEnter(machine());
  }
  devmodel::Module& plugModule(devmodel::ModuleConfig config) {
    module.reset(new devmodel::Module(config));
    com = &listPort(machine(), "COM3");
    attachModule(*com, *module);
    attachEjectableDisk(machine(), *module, 'E');
    return *module;
  }
  devmodel::Module& plugModule() { return plugModule(expecting(inputs)); }

  devmodel::InputSet inputs;
  std::unique_ptr<devmodel::Module> module;
  sim::SimPort* com = nullptr;
};

#endif
