// The opening of a run as the operator and the log see it, and its endings
// when something needed at the start is missing.
#include "tests/support/sim_fixture.h"

namespace {

const std::string kBanner =
    "\nUtilit\x85 di configurazione modulo Vantor&Lumis\n"
    "---------------------------------------------\n\n";
const std::string kJumper =
    "Accertati che il jumper centrale sia correttamente inserito sul modulo "
    "Vantor&Lumis, ";
const std::string kAbort = "Procedura non completata: riprovare dall'inizio\n";

class OpeningTest : public SimTest {};

TEST_F(OpeningTest, MissingRomLoaderEndsBeforeTheOperatorIsAskedAnything) {
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ(kBanner + kJumper +
                "Non posso aprire il file blob-bootloader.txt\n" + kAbort,
            machine().console);
  EXPECT_EQ(1, machine().keyReads);  // the wait of the abort, nothing more
  EXPECT_EQ(
      "Nomi dei file:\n"
      "[BLOB TXT]: blob-bootloader.txt\n"
      "[BLOB]: blob.uue\n"
      "[KERNEL]: zImage\n"
      "[RAMDISK]: cramfs.img\n"
      "[COM PORT]: * auto-detect\n"
      "\n"
      "Non posso aprire il file blob-bootloader.txt\n" +
          kAbort,
      logText());
  // The log is a text file: every line end is stored as CR LF.
  EXPECT_EQ(0u, rawLog().find("Nomi dei file:\r\n[BLOB TXT]"));
}

TEST_F(OpeningTest, ConfiguredPortAndNamesAreRecordedAndUsed) {
  machine().writeFile("vantor_config.ini",
                      "; service settings\r\n"
                      "[file name]\r\n"
                      "BLOB_BOOT = loader-v2.txt\r\n"
                      "blob=new.uue\r\n"
                      "kernel = \"kernel image.bin\"\r\n"
                      "ramdisk=rd.img\r\n"
                      "[COM]\r\n"
                      "Port=12\r\n");
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ(
      "Nomi dei file:\n"
      "[BLOB TXT]: loader-v2.txt\n"
      "[BLOB]: new.uue\n"
      "[KERNEL]: kernel image.bin\n"
      "[RAMDISK]: rd.img\n"
      "[COM PORT]: COM12\n"
      "\n"
      "Non posso aprire il file loader-v2.txt\n" +
          kAbort,
      logText());
}

TEST_F(OpeningTest, AFileNameLongerThan259CharactersIsRefused) {
  machine().writeFile("vantor_config.ini",
                      "[File Name]\nkernel=" + std::string(260, 'z') + "\n");
  machine().writeFile("blob-bootloader.txt", "0A1B2C3D04FF\n");
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ(kBanner + kJumper + "Non posso aprire il file " +
                std::string(259, 'z') + "\n" + kAbort,
            machine().console);
}

TEST_F(OpeningTest, LogFallsBackToTheWindowsTempFolder) {
  machine().unopenable.push_back("C:\\work\\vantor_config.log");
  machine().pressEnter();
  runProgram();
  EXPECT_TRUE(machine().fileExists("C:\\WINDOWS\\temp\\vantor_config.log"));
  EXPECT_NE(std::string::npos,
            logText("C:\\WINDOWS\\temp\\vantor_config.log").find("[BLOB]: blob.uue"));
  EXPECT_EQ(1, machine().calls(sim::Call::CreateDirectoryA));
}

TEST_F(OpeningTest, NoLogAnywhereEndsWithTheFallbackPathOnTheConsoleOnly) {
  machine().unopenable = {"C:\\work\\vantor_config.log",
                          "C:\\WINDOWS\\temp\\vantor_config.log"};
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ(kBanner + kJumper +
                "Non posso aprire il file C:\\WINDOWS\\temp\\vantor_config.log\n" +
                kAbort,
            machine().console);
  EXPECT_FALSE(machine().fileExists("vantor_config.log"));
}

TEST_F(OpeningTest, UnusableFoldersNeverGiveACutPath) {
  machine().fail(sim::Call::GetCurrentDirectoryA);
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ(kBanner + kJumper + "Non posso aprire il file vantor_config.ini\n" +
                kAbort,
            machine().console);

  sim::resetMachine();
  machine().unopenable.push_back("vantor_config.log");
  machine().windowsDirectory = "C:\\" + std::string(300, 'w');
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ(kBanner + kJumper + "Non posso aprire il file vantor_config.log\n" +
                kAbort,
            machine().console);
  EXPECT_EQ(0, machine().calls(sim::Call::CreateDirectoryA));
}

TEST_F(OpeningTest, AConfigurationPathBeyondTheWindowsLimitIsRefused) {
  // 241 characters of folder make the path 259 long, the most that fits.
  for (std::size_t folder : {241u, 242u}) {
    sim::resetMachine();
    machine().currentDirectory = "C:\\" + std::string(folder - 3, 'd');
    machine().makeDirectory(machine().currentDirectory);
    machine().writeFile("vantor_config.ini", "[File Name]\nblob_boot=mine.txt\n");
    machine().pressEnter();
    EXPECT_EQ(-1, runProgram());
    const std::string refused =
        "Non posso aprire il file vantor_config.ini\n" + kAbort;
    if (folder == 241u) {
      EXPECT_NE(std::string::npos, logText().find("[BLOB TXT]: mine.txt\n"));
    } else {
      EXPECT_EQ(kBanner + kJumper + refused, machine().console);
      EXPECT_EQ(refused, logText());
      EXPECT_EQ(0, machine().calls(sim::Call::GetPrivateProfileStringA));
    }
  }
}

TEST_F(OpeningTest, WithoutAPortObjectTheRunEndsAtOnce) {
  // The catalogue takes 45 blocks; the port object is the next one.
  machine().failNth(sim::Call::malloc, 46);
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ("Non posso creare l'oggetto com port!\n" + kAbort,
            machine().console);
}

TEST_F(OpeningTest, AtTheEndOfInputTheAbortDoesNotWait) {
  EXPECT_EQ(-1, runProgram());  // no keys at all: standard input is empty
  EXPECT_EQ(1, machine().keyReads);
}

TEST_F(OpeningTest, TheFinestTimerIsHeldForTheRunOnly) {
  pf::UINT held = 0;
  machine().onKeyWanted = [this, &held] {
    held = machine().timerPeriodMs;
    machine().pressEnter();
  };
  runProgram();
  EXPECT_EQ(1, machine().calls(sim::Call::timeBeginPeriod));
  EXPECT_EQ(1u, held);
  EXPECT_EQ(0u, machine().timerPeriodMs);  // released by the exit
}

}  // namespace
