#include "tests/support/stage_fixture.h"

#include "serial/prompt_watcher.h"

void StageTest::SetUp() {
  SimTest::SetUp();
  useCatalogue();
  openContext();
}

void StageTest::TearDown() {
  closeContext();
  SimTest::TearDown();
}

void StageTest::restart() {
  closeContext();
  sim::resetMachine();
  openContext();
}

void StageTest::openContext() {
  promptWatcher.clear();
  context.reset(new ConfiguratorContext);
  ASSERT_EQ(0, context->openLog("vantor_config.log"));
}

void StageTest::closeContext() {
  if (context) {
    context->port->close();
    if (context->romLoaderFile != nullptr) std::fclose(context->romLoaderFile);
    if (context->log != nullptr) std::fclose(context->log);
  }
  context.reset();
  module.reset();
  com = nullptr;
}
sim::SimPort& StageTest::openPort(const std::string& name) {
  com = &machine().addPort(name);
  EXPECT_EQ(0, context->port->open(name.c_str(), 115200, 0));
  return *com;
}

devmodel::Module& StageTest::plugModule(devmodel::ModuleConfig config,
                                        const std::string& name) {
  module.reset(new devmodel::Module(config));
  com = &machine().addPort(name);
  attachModule(*com, *module);
  EXPECT_EQ(0, context->port->open(name.c_str(), 115200, 0));
  return *module;
}
