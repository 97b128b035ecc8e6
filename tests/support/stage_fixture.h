// Common ground of the tests that call one stage of the program directly:
// the catalogue, a fresh prompt watcher, a context with its log open, and
// the port the stage talks over, either scripted by the test or with the
// device model behind it.
#ifndef VANTOR_TESTS_SUPPORT_STAGE_FIXTURE_H
#define VANTOR_TESTS_SUPPORT_STAGE_FIXTURE_H

#include <memory>
#include <string>

#include "app/context.h"
#include "tools/device_model/sim/module_link.h"
#include "tests/support/sim_fixture.h"

class StageTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A fresh machine and context, for the next case of a table.
  void restart();

  // Adds the port and opens it at 115200, as the stages find it.
  sim::SimPort& openPort(const std::string& name = "COM1");
  // The device model behind a newly opened port.
  devmodel::Module& plugModule(devmodel::ModuleConfig config,
                               const std::string& name = "COM1");
  // Runs `stage`; a run the stage ended (the abort path) gives -2, with the
  // exit status in exitStatus.
  template <typename Stage>
  int ending(Stage stage) {
    try {
      return stage();
    } catch (sim::ProcessExit& e) {
      exitStatus = e.status;
      return -2;
    }
  }
  ConfiguratorContext& ctx() { return *context; }

  std::unique_ptr<ConfiguratorContext> context;
  std::unique_ptr<devmodel::Module> module;
  sim::SimPort* com = nullptr;
  int exitStatus = 0;

 private:
  void openContext();
  void closeContext();
};

#endif
