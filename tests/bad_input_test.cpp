// Whole runs with hostile input: odd configuration values and file names,
// a broken ROM loader file, missing and empty files, a misbehaving module
// and a USB-serial adapter that is unplugged. Only what the whole run does
// is checked here (how each file shape or answer is read is the stage
// tests' business): the exit status, the input files untouched, and nothing
// sent to the module that should not reach it.
#include <filesystem>
#include <map>

#include "tests/support/text_files.h"
#include "tests/support/whole_run.h"

namespace {

const std::string kAbort = "Procedura non completata: riprovare dall'inizio\n";
const std::string kNoConnection = "\nNon \x8A possibile impostare la connessione.\n";
const std::string kPortGone = "Serial port failed: the adapter is gone.\n";
const char kPartialEchoRecord[] = "0021B000C4E7400402";

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class BadInputTest : public WholeRunTest {
 protected:
  // Unplugs the adapter when the module sees the event (its `n`-th one).
  void unplugAt(const std::string& event, int n = 1,
                std::int64_t laterUs = 0) {
    auto seen = std::make_shared<int>(0);
    module->onEvent = [this, event, n, laterUs, seen](const devmodel::Event& e) {
      if (e.name != event || ++*seen != n) return;
      unplug(e.atUs + laterUs);
    };
  }
  void unplug(std::int64_t atUs) {
    sim::SimPort* port = com;
    std::int64_t* when = &unpluggedAtUs;
    machine().at(atUs, [port, when](std::int64_t now) {
      port->gone = true;
      *when = now;
    });
  }

  // Every file of the current folder but the log, by content.
  std::map<std::string, std::string> folder() {
    std::map<std::string, std::string> files;
    std::string root = machine().hostPath(machine().currentDirectory);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file() || entry.path().filename() == "vantor_config.log")
        continue;
      files[entry.path().string()] = readWhole(entry.path().string());
    }
    return files;
  }
  // Runs the program and checks that no input file was touched.
  int run() {
    std::map<std::string, std::string> before = folder();
    int status = runProgram();
    EXPECT_EQ(before, folder()) << "an input file changed";
    return status;
  }
  // A failed run: status -1, message 39 last on the console and in the log.
  void runFailing() {
    EXPECT_EQ(-1, run());
    EXPECT_TRUE(endsWith(machine().console, kAbort)) << machine().console;
    EXPECT_TRUE(endsWith(logText(), kAbort)) << logText();
  }
  void runSucceeding() {
    EXPECT_EQ(0, run());
    EXPECT_TRUE(module->verdict().ok()) << module->verdict().toText();
  }
  bool consoleHas(const std::string& text) {
    return machine().console.find(text) != std::string::npos;
  }
  std::int64_t unpluggedAtUs = -1;
};

// ---------------------------------------------------------------- configuration

TEST_F(BadInputTest, APortValueThatIsNoNumberMeansAutoDetection) {
  for (const std::string& value : {std::string("abc"), std::string("\x01\xfe\xff\x7f", 4)}) {
    prepare();
    machine().writeFile("vantor_config.ini", "[COM]\r\nport=" + value + "\r\n");
    plugModule();
    runSucceeding();
    EXPECT_NE(std::string::npos, logText().find("[COM PORT]: * auto-detect\n"));
  }
}

TEST_F(BadInputTest, NegativeAndHugePortNumbersNameAPortThatIsNotThere) {
  // Read as Windows reads them: the number wraps at 32 bits.
  const std::map<std::string, std::string> ports = {
      {"-5", "COM-5"}, {"99999999999", "COM1215752191"}, {"4294967295", "COM-1"}};
  for (const auto& port : ports) {
    prepare();
    machine().writeFile("vantor_config.ini", "[COM]\nport=" + port.first + "\n");
    plugModule();
    runFailing();
    EXPECT_TRUE(consoleHas("Connessione a " + port.second + ", baud rate 115200"));
    EXPECT_EQ(0, com->opens);  // the module's port was never touched
  }
}

TEST_F(BadInputTest, FileNamesAreShownAsTheyAreAndNeverAsFormats) {
  const std::string names[] = {"%s%n %d.txt", std::string("\x01\xfe%n.txt")};
  for (const std::string& name : names) {
    prepare();
    machine().writeFile("vantor_config.ini", "[File Name]\nblob_boot=" + name + "\n");
    plugModule();
    runFailing();
    EXPECT_TRUE(consoleHas("Non posso aprire il file " + name + "\n" + kAbort));
    EXPECT_NE(std::string::npos, logText().find("[BLOB TXT]: " + name + "\n"));
  }
}

TEST_F(BadInputTest, OddButValidFileNamesCarryAWholeRun) {
  // The longest name accepted: 259 characters, through a folder with
  // spaces and percent signs in its name.
  const std::string folderName = "rom loader %s " + std::string(180, 'd');
  std::string romName = folderName + "\\";
  romName += "%n " + std::string(259 - romName.size() - 10, 'r') + " %d.txt";
  ASSERT_EQ(259u, romName.size());
  const std::string kernelName = "kernel %s%n.img";
  const std::string bootName = "100%% blob.uue";
  machine().makeDirectory(folderName);
  machine().writeFile(romName, inputs.romLoaderText);
  machine().writeFile(kernelName, devmodel::asString(inputs.kernel));
  machine().writeFile(bootName, inputs.bootLoaderUue);
  machine().writeFile("vantor_config.ini",
                      "[File Name]\nblob_boot=" + romName + "\nblob=" + bootName +
                          "\nkernel=" + kernelName + "\n");
  plugModule();
  runSucceeding();
  EXPECT_TRUE(consoleHas("Copia di " + kernelName + " in E:\\" + kernelName +
                         "... Fatto\n"));
}

// ---------------------------------------------------------------- ROM loader

TEST_F(BadInputTest, ARomLoaderThatCannotStartBlobEndsTheRunWithoutSendingJunk) {
  std::vector<std::string> text = lines(inputs.romLoaderText);
  const std::map<std::string, std::string> files = {
      {"binary", devmodel::asString(devmodel::randomBytes(4000, 11))},
      {"no end record", joined({text.begin(), text.end() - 1})},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.first);
    prepare();
    machine().writeFile("blob-bootloader.txt", file.second);
    plugModule(devmodel::ModuleConfig());
    runFailing();
    EXPECT_EQ(devmodel::Stage::BootRom, module->stage());
    // Probes, carriage returns and hexadecimal digits only.
    EXPECT_EQ(std::string::npos, module->receivedText().find_first_not_of(
                                     "a\r0123456789ABCDEFabcdef"));
    // Every pass was tried before the run gave up.
    EXPECT_EQ(3, occurrences(machine().console, "Spegni e riaccendi il robot"));
  }
}

// ---------------------------------------------------------------- other files

TEST_F(BadInputTest, AMissingOrEmptyFileIsNeverFlashed) {
  struct Case {
    const char* file;
    std::string content;  // "-" removes the file
    std::string console;
    const char* neverSent;
  } cases[] = {
      {"blob.uue", "-", "Non posso aprire il file blob.uue\n" + kAbort, "flash blob"},
      {"blob.uue", "", kAbort, "flash blob"},
      {"zImage", "-", "non posso copiare il file\n" + kAbort, "flash kernel"},
      {"zImage", "", "non posso copiare il file\n" + kAbort, "flash kernel"},
      {"cramfs.img", "", "non posso copiare il file\n" + kAbort, "flash ramdisk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.content == "-" ? " missing" : " empty"));
    prepare();
    if (c.content == "-")
      std::filesystem::remove(machine().hostPath(c.file));
    else
      machine().writeFile(c.file, c.content);
    plugModule();
    runFailing();
    EXPECT_TRUE(endsWith(machine().console, c.console));
    EXPECT_EQ(std::string::npos, module->receivedText().find(c.neverSent));
    EXPECT_FALSE(module->verdict().complete());
    for (const std::string& problem : module->verdict().problems)
      EXPECT_EQ(std::string::npos, problem.find("differs")) << problem;
  }
}

// ---------------------------------------------------------------- the module

TEST_F(BadInputTest, AFloodWithoutLineEndsIsReadThroughOrEndsTheRun) {
  // Shorter than the time limits of the waits: read through in any stage
  // (a flood in front of the probe's colon costs one baud-rate pass).
  for (const char* event : {"probe", "record#3", "download", "usbddisk", "flash-kernel"}) {
    SCOPED_TRACE(event);
    prepare();
    devmodel::ModuleConfig config = expecting(inputs);
    config.floodAfterEvent = event;
    config.floodBytes = 5000;
    plugModule(config);
    runSucceeding();
    EXPECT_NE(std::string::npos, logText().find('#'));
  }
  // Longer than a time limit: the wait gives up and the run ends.
  prepare();
  devmodel::ModuleConfig config = expecting(inputs);
  config.floodAfterEvent = "download";
  config.floodBytes = 200000;
  plugModule(config);
  runFailing();
  EXPECT_EQ(std::string::npos, module->receivedText().find("flash blob"));
}

TEST_F(BadInputTest, NulBytesBeforeEveryAnswerMeanNoModuleWasFound) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.nulInAnswers = true;
  devmodel::Module& m = plugModule(config);
  runFailing();
  EXPECT_TRUE(consoleHas(kNoConnection + kAbort));
  EXPECT_EQ("aaaa", m.receivedText());
}

// ---------------------------------------------------------------- the adapter

TEST_F(BadInputTest, AnAdapterUnpluggedDuringATimedExchangeEndsTheRun) {
  std::vector<std::string> text = lines(inputs.romLoaderText);
  plugModule();
  unplugAt("record", 4);
  runFailing();
  EXPECT_TRUE(consoleHas("38400... non posso aprire la porta.\n"));
  EXPECT_TRUE(consoleHas(kNoConnection + kAbort));
  EXPECT_EQ(std::string::npos, module->receivedText().find(text[5]));

  prepare();
  plugModule();
  unplugAt("download", 1, 300000);  // a few lines into the boot loader
  runFailing();
  EXPECT_TRUE(consoleHas("Trasferimento blob in corso"));
  EXPECT_EQ(std::string::npos, module->receivedText().find("flash blob"));
  EXPECT_FALSE(module->verdict().bootLoaderFlashed);
}

TEST_F(BadInputTest, AnAdapterUnpluggedDuringAWaitWithoutLimitEndsTheRun) {
  struct Case {
    const char* event;
    int n;
    std::int64_t laterUs;
    const char* silentAfter;
  } cases[] = {
      {"record", 0, 0, ""},            // the partial echo
      {"flash-blob", 1, 1000000, ""},  // the flashing spinner
      {"power-cycle", 1, 0, ""},       // waiting for the restart
      // A live but silent blob is waited for without end, by design; only
      // the unplugging an hour later ends the wait for its prompt.
      {"disk-removed", 1, 3600000000LL, "disk-removed"},
      {"flash-kernel", 1, 3600000000LL, "flash-kernel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    prepare();
    devmodel::ModuleConfig config = expecting(inputs);
    config.silentAfterEvent = c.silentAfter;
    plugModule(config);
    machine().horizonUs = 3 * 3600000000LL;  // a hang fails the test soon
    if (c.n > 0) {
      unplugAt(c.event, c.n, c.laterUs);
    } else {
      module->onEvent = [this](const devmodel::Event& e) {
        if (e.name == "record" && e.detail == kPartialEchoRecord) unplug(e.atUs);
      };
    }
    runFailing();
    ASSERT_GE(unpluggedAtUs, 0);
    EXPECT_LT(machine().nowUs() - unpluggedAtUs, 1000000);  // noticed at once
    EXPECT_TRUE(endsWith(logText(), "\n" + kPortGone + kAbort)) << logText();
    EXPECT_TRUE(endsWith(machine().console, "\n" + kAbort));
    EXPECT_FALSE(module->verdict().complete());
  }
}

}  // namespace
