// The image transfers: blob's USB disk, the drive letter, the copy, the
// safe removal on both paths, and the flash.
#include <cstring>

#include "disk/drive_watcher.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"
#include "stages/image_transfer.h"
#include "tests/support/stage_fixture.h"

namespace {

class ImageTransferTest : public StageTest {
 protected:
  void SetUp() override {
    StageTest::SetUp();
    prepareMachine();
  }
  void prepareMachine() {
    inputs = smallInputs();
    writeInputs(machine(), inputs);
    machine().addDrive('D');  // a drive that is there before and stays
  }

  // blob at its prompt on COM3, its disk showing up as E:.
  void start(int osClass, devmodel::ModuleConfig config) {
    config.startInBlob = true;
    context->osClass = osClass;
    ASSERT_EQ(0, context->loadConfiguration());
    plugModule(config, "COM3");
    attachDisk(machine(), *module, 'E');
    // blob at its prompt, as the boot loader stage leaves it.
    ASSERT_EQ(0, waitForText(*context, "Autoboot", 2000));
    sendNewline(*context);
    ASSERT_EQ(0, waitForText(*context, "blob>", 2000));
    machine().console.clear();
    operatorRemovesDiskInApplet(machine(), *module, 'E');
  }
  int transfer(const char* name) {
    return ending([this, name] { return transferImage(*context, name); });
  }
  // The catalogue messages of the console, in order, by their first words.
  bool inOrder(const std::vector<std::string>& texts) {
    std::size_t at = 0;
    for (const std::string& t : texts) {
      at = machine().console.find(t, at);
      if (at == std::string::npos) {
        ADD_FAILURE() << "missing or out of order: " << t;
        return false;
      }
      at += t.size();
    }
    return true;
  }

  devmodel::InputSet inputs;
};

const char kConnect[] = "Collega il cavo USB!\n";
const char kReplug[] = "Scollega e ricollega il cavo USB!\n";

TEST_F(ImageTransferTest, OlderWindowsRemovesTheDiskThroughTheOperator) {
  start(4, expecting(inputs));  // Windows Me, the newest of them
  machine().pressEnter();
  ASSERT_EQ(0, transfer("kernel"));
  ASSERT_EQ(0, transfer("ramdisk"));
  EXPECT_TRUE(module->verdict().kernelFlashed);
  EXPECT_TRUE(module->verdict().ramdiskFlashed);
  EXPECT_TRUE(module->verdict().problems.empty()) << module->verdict().toText();
  const std::string applet =
      "Nella finestra 'Scollegamento o rimozione di una periferica hardware', "
      "seleziona 'Disco USB (Altamec K-Ferro04 Boot E:)' e cliccare su "
      "'Interrompi'\n";
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(inOrder({kConnect, "Trovato disco E\n",
                         std::string("Copia di ") + (i ? "cramfs.img in E:\\cramfs.img... "
                                                       : "zImage in E:\\zImage... "),
                         "Fatto\n", "Attendere...", "\n", applet,
                         "Disco E rimosso\n", "Scollega il cavo USB!\n",
                         i ? "\rFlashing ramdisk: " : "\rFlashing kernel: ",
                         "\nFatto\n\n"}));
  }
  // The applet's command line and the pauses before it are the timeline's.
  ASSERT_EQ(2u, machine().shellExecutes.size());
  EXPECT_EQ("open", machine().shellExecutes[0].operation);
  EXPECT_EQ(5, machine().shellExecutes[0].show);
  std::string log = logText();
  EXPECT_NE(std::string::npos, log.find(" -> usbddisk kernel\n -> \n"));
  EXPECT_NE(std::string::npos, log.find(" -> status\n -> \n"));
  EXPECT_EQ(std::string::npos, log.find("Attendere"));  // console only
}

TEST_F(ImageTransferTest, NewerWindowsAsksToReplugForTheRamdisk) {
  start(5, expecting(inputs));
  ASSERT_EQ(0, transfer("kernel"));
  ASSERT_EQ(0, transfer("ramdisk"));
  EXPECT_TRUE(module->verdict().ramdiskFlashed) << module->verdict().toText();
  EXPECT_TRUE(inOrder({kConnect, "Trovato disco E\n", kReplug,
                       "Trovato disco E\n"}));
  EXPECT_EQ(std::string::npos, machine().console.find("Attendere"));
  EXPECT_EQ(std::string::npos, machine().console.find("Scollega il cavo USB!"));
}

TEST_F(ImageTransferTest, AFailedEjectFallsBackToTheApplet) {
  start(6, expecting(inputs));
  ASSERT_EQ(0, transfer("kernel"));
  // No device behind the letter: the eject cannot even start.
  EXPECT_TRUE(inOrder({"Rimozione disco E... ",
                       "Nella finestra 'Scollegamento", "Disco E rimosso\n"}));
  EXPECT_NE(std::string::npos,
            logText().find("Invalid drive specification 'E:'!\n"));
  EXPECT_EQ(1u, machine().shellExecutes.size());
}

TEST_F(ImageTransferTest, TheHighestOfSeveralNewLettersIsTheModulesDisk) {
  start(6, expecting(inputs));
  context->drivesBefore = static_cast<std::uint32_t>(machine().drives);
  machine().at(machine().nowUs() + 300000, [this](std::int64_t) {
    machine().addDrive('F');
    machine().addDrive('G');
  });
  waitForNewDrive(*context);
  EXPECT_EQ(7, context->driveNumber);
  EXPECT_STREQ("G", context->driveLetter);
}

TEST_F(ImageTransferTest, ALetterThatGoesAwayIsNotTheModulesDiskButMayComeBackAsIt) {
  start(6, expecting(inputs));
  context->drivesBefore = static_cast<std::uint32_t>(machine().drives);
  std::int64_t start = machine().nowUs();
  machine().at(start + 300000, [this](std::int64_t) { machine().removeDrive('D'); });
  machine().at(start + 900000, [this](std::int64_t) { machine().addDrive('D'); });
  waitForNewDrive(*context);
  EXPECT_EQ(4, context->driveNumber);
  EXPECT_STREQ("D", context->driveLetter);
  EXPECT_EQ("Trovato disco D\n", machine().console);
}

TEST_F(ImageTransferTest, RemovalWaitsOnlyForItsOwnLetter) {
  start(6, expecting(inputs));
  machine().addDrive('H');
  context->driveNumber = 8;
  std::strcpy(context->driveLetter, "H");
  std::int64_t start = machine().nowUs();
  machine().at(start + 250000, [this](std::int64_t) { machine().addDrive('K'); });
  machine().at(start + 450000, [this](std::int64_t) { machine().removeDrive('D'); });
  machine().at(start + 1000000, [this](std::int64_t) { machine().removeDrive('H'); });
  waitForDriveRemoval(*context);
  EXPECT_EQ(1100000, machine().nowUs() - start);
  EXPECT_EQ("Disco H rimosso\n", machine().console);
}

TEST_F(ImageTransferTest, AModuleThatNeverConnectsIsAskedFourTimes) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.connectFromTry = 0;
  start(6, config);
  EXPECT_EQ(-1, transfer("kernel"));
  EXPECT_EQ(4, module->eventCount("usbddisk"));
  EXPECT_EQ(4, module->eventCount("usb-abandon"));
  const std::string& console = machine().console;
  EXPECT_EQ(3, occurrences(console, kReplug));
}

TEST_F(ImageTransferTest, ARefusedOrCancelledCopyIsNeverFlashed) {
  // Cancelled in the progress window, some Windows versions answer 0, some
  // an error; half the image is on the disk either way.
  struct Case {
    int refusal, cancelResult;
  };
  for (Case c : {Case{0x75, -1}, Case{0, 0}, Case{0, 1223}}) {
    SCOPED_TRACE(testing::Message() << "refusal " << c.refusal << ", cancel " << c.cancelResult);
    restart();
    prepareMachine();
    start(6, expecting(inputs));
    machine().shellCopyResult = c.refusal;
    if (c.cancelResult >= 0) {
      machine().shellCopyCancelNth = 1;
      machine().shellCancelResult = c.cancelResult;
    }
    machine().pressEnter();
    EXPECT_EQ(-2, transfer("kernel"));
    EXPECT_EQ(-1, exitStatus);
    EXPECT_TRUE(inOrder({"Copia di zImage in E:\\zImage... ",
                         "non posso copiare il file\n",
                         "Procedura non completata: riprovare dall'inizio\n"}));
    EXPECT_EQ(c.cancelResult >= 0,
              logText().find("non posso copiare il file\nThe copy was "
                             "cancelled or stopped: nothing is flashed.\n") !=
                  std::string::npos);
    EXPECT_EQ(std::string::npos, module->receivedText().find("flash"));
    EXPECT_EQ(std::string::npos, machine().console.find("Fatto"));
  }
}

TEST_F(ImageTransferTest, AnImageBlobDidNotReceiveEndsTheRun) {
  start(6, expecting(inputs));
  module->readDisk = [](const std::string&) { return std::nullopt; };
  // A NUL ahead of the answer must not hide it.
  module->onEvent = [this](const devmodel::Event& e) {
    if (e.name == "flash-kernel") com->deliver(std::string(1, '\0'), e.atUs);
  };
  EXPECT_EQ(-2, transfer("kernel"));
  EXPECT_EQ(-1, exitStatus);
  EXPECT_TRUE(inOrder({"Trovato disco E\n", "Disco E rimosso\n",
                       "\rFlashing kernel: ", "\nErrore: file non trovato\n",
                       "Procedura non completata"}));
  EXPECT_NE(std::string::npos,
            logText().find("not downloaded\r\n\r\nblob>\nErrore: file non trovato\n"));
}

TEST_F(ImageTransferTest, NulBytesOnEveryLineOfBlobHoldNoWait) {
  // Among them the waits without limit for the prompt after the removal,
  // after "status" and while the image is flashed.
  devmodel::ModuleConfig config = expecting(inputs);
  config.nulInAnswers = true;
  machine().horizonUs = 3600LL * 1000000;
  start(6, config);
  ASSERT_EQ(0, transfer("kernel"));
  EXPECT_TRUE(module->verdict().kernelFlashed) << module->verdict().toText();
}

TEST_F(ImageTransferTest, ACopyOnItsOwnAnswersZeroWhenDone) {
  ASSERT_EQ(0, context->loadConfiguration());
  machine().addDrive('F');
  context->driveLetter[0] = 'F';
  EXPECT_EQ(0, ending([this] { return copyToDrive(*context, "zImage"); }));
  EXPECT_TRUE(machine().fileExists("F:\\zImage"));
}

TEST_F(ImageTransferTest, ALongFileNameIsCopiedUnderItsWholeName) {
  std::string name(200, 'k');
  machine().writeFile(name, devmodel::asString(inputs.kernel));
  machine().writeFile("vantor_config.ini", "[File Name]\nkernel=" + name + "\n");
  start(6, expecting(inputs));
  ASSERT_EQ(0, transfer("kernel"));
  EXPECT_TRUE(machine().fileExists("E:\\" + name));
  EXPECT_TRUE(module->verdict().kernelFlashed);
}

}  // namespace
