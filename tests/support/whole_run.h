// Whole runs of the program on the simulated machine against the device
// model, laid out by WholeRun: the small input files, an operator who
// presses Enter whenever asked, and the module on COM3 with its ejectable
// USB disk E:.
#ifndef VANTOR_TESTS_SUPPORT_WHOLE_RUN_H
#define VANTOR_TESTS_SUPPORT_WHOLE_RUN_H

#include <memory>

#include "tools/device_model/sim/whole_run.h"
#include "tests/support/sim_fixture.h"

class WholeRunTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    prepare();
  }
  // A fresh machine, for a test that makes several runs.
  void prepare() {
    run.reset(new WholeRun(smallInputs()));
    inputs = run->inputs;
    module = nullptr;
    com = nullptr;
  }
  devmodel::Module& plugModule(devmodel::ModuleConfig config) {
    run->config = config;
    com = &listPort(machine(), "COM3");
    module = &run->plug(*com);
    return *module;
  }
  devmodel::Module& plugModule() { return plugModule(run->config); }

  std::unique_ptr<WholeRun> run;
  devmodel::InputSet inputs;
  devmodel::Module* module = nullptr;
  sim::SimPort* com = nullptr;
};

#endif
