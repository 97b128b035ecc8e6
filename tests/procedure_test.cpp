// Whole runs against the device model: the passes of discovery and ROM
// loader upload, the reconnection to blob, and the new boot loader.
#include "app/catalogue.h"
#include "serial/prompt_watcher.h"
#include "tests/support/module_link.h"
#include "tests/support/sim_fixture.h"

namespace {

class ProcedureTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    promptWatcher.clear();
    inputs = smallInputs();
    writeInputs(machine(), inputs);
    operatorAlwaysPressesEnter(machine());
  }
  // The module on COM3, with the given configuration.
  devmodel::Module& plugModule(devmodel::ModuleConfig config) {
    module.reset(new devmodel::Module(config));
    attachModule(listPort(machine(), "COM3"), *module);
    return *module;
  }
  int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + 1))
      ++n;
    return n;
  }

  devmodel::InputSet inputs;
  std::unique_ptr<devmodel::Module> module;
};

TEST_F(ProcedureTest, ARunReachesTheNewBootLoaderWithEverythingIntact) {
  devmodel::Module& m = plugModule(expecting(inputs));
  runProgram();
  devmodel::Verdict verdict = m.verdict();
  EXPECT_TRUE(verdict.romLoaderComplete);
  EXPECT_TRUE(verdict.bootLoaderFlashed);
  EXPECT_TRUE(verdict.problems.empty()) << verdict.toText();
  const std::string& console = machine().console;
  EXPECT_NE(std::string::npos, console.find("Trasferimento completato: 100%"));
  EXPECT_NE(std::string::npos, console.find("\nBootloader caricato\n\n"));
  EXPECT_NE(std::string::npos, console.find("Trasferimento blob in corso"));
  EXPECT_NE(std::string::npos, console.find(" trasferito\n"));
  EXPECT_NE(std::string::npos, console.find("\rFlashing blob: "));
  EXPECT_NE(std::string::npos, console.find("\nFatto\n\n"));
  EXPECT_NE(std::string::npos,
            console.find("\rSPEGNI il robot, RIMUOVI il jumper e riaccendi il "
                         "robot! : "));
  std::string log = logText();
  EXPECT_NE(std::string::npos,
            log.find("Closing com port: Port closed.\n\nBootloader caricato\n\n"
                     "Open com port at 115200: port opened.\n"));
  EXPECT_NE(std::string::npos,
            log.find("SPEGNI il robot, RIMUOVI il jumper e riaccendi il robot! \n"));
}

TEST_F(ProcedureTest, AFailedUploadIsRepeatedFromTheFirstLineAtTheNextRate) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.dropEcho.record = 3;   // the third record never echoes at 115200
  config.dropEcho.attempts = 5;
  devmodel::Module& m = plugModule(config);
  runProgram();
  EXPECT_TRUE(m.verdict().romLoaderComplete);
  EXPECT_TRUE(m.verdict().bootLoaderFlashed);
  const std::string& console = machine().console;
  EXPECT_NE(std::string::npos,
            console.find("\nSpegni e riaccendi il robot e premi INVIO!"
                         "Connessione a COM3, baud rate 38400... "));
  EXPECT_EQ(2, count(console, "\rCaricamento linea 1 - "));
}

TEST_F(ProcedureTest, AnUploadFailingInEveryPassEndsWithoutMessage10) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.ignoreCr = -1;
  plugModule(config);
  EXPECT_EQ(-1, runProgram());
  const std::string& console = machine().console;
  EXPECT_EQ(4, count(console, "CONNESSO!"));
  EXPECT_EQ(std::string::npos, console.find("impostare la connessione"));
  const std::string ending =
      "\nProcedura non completata: riprovare dall'inizio\n";
  EXPECT_EQ(console.size() - ending.size(), console.rfind(ending));
}

TEST_F(ProcedureTest, AModuleFoundOnlyAt9600GoesOnLikeAnyOther) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.answerBaud = 9600;
  devmodel::Module& m = plugModule(config);
  runProgram();
  EXPECT_TRUE(m.verdict().bootLoaderFlashed) << m.verdict().toText();
  EXPECT_NE(std::string::npos,
            machine().console.find("baud rate 9600... porta aperta: CONNESSO!"));
}

TEST_F(ProcedureTest, AnErrorAfterThePromptBreaksTheLineAndTriesAgain) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.serialErrorPrompts = 2;
  devmodel::Module& m = plugModule(config);
  runProgram();
  EXPECT_TRUE(m.verdict().bootLoaderFlashed) << m.verdict().toText();
  EXPECT_EQ(1, count(machine().console, "CONNESSO!"));  // no second pass
}

TEST_F(ProcedureTest, NoModuleAtAllEndsWithMessage10) {
  listPort(machine(), "COM3");
  EXPECT_EQ(-1, runProgram());
  EXPECT_NE(std::string::npos,
            machine().console.find("\nNon \x8A possibile impostare la "
                                   "connessione.\nProcedura non completata"));
  EXPECT_EQ(4, count(machine().console, "modulo V&L non trovato!\n"));
}

}  // namespace
