// Whole runs against the device model: the passes of discovery and ROM
// loader upload, the reconnection to blob, and the new boot loader.
#include "app/catalogue.h"
#include "tests/support/whole_run.h"

namespace {

class ProcedureTest : public WholeRunTest {};

TEST_F(ProcedureTest, AWholeRunFlashesEverythingIntactAndSaysSo) {
  devmodel::Module& m = plugModule(expecting(inputs));
  EXPECT_EQ(0, runProgram());
  devmodel::Verdict verdict = m.verdict();
  EXPECT_TRUE(verdict.ok()) << verdict.toText();

  // The operator's dialogue, in the order of a typical run.
  const std::string& console = machine().console;
  const std::vector<std::string> dialogue = {
      "\nUtilit\x85 di configurazione modulo Vantor&Lumis\n",
      "Accertati che il jumper centrale sia correttamente inserito sul modulo "
      "Vantor&Lumis, collega il cavo seriale, accendi il robot e premi INVIO!",
      "Connessione a COM3, baud rate 115200... porta aperta: CONNESSO!\n",
      "\rCaricamento linea 1 - Trasferimento completato: ",
      "Trasferimento completato: 100%",
      "\nBootloader caricato\n\n",
      "Trasferimento blob in corso",
      " trasferito\n",
      "\rFlashing blob: ",
      "\nFatto\n\n",
      "\rSPEGNI il robot, RIMUOVI il jumper e riaccendi il robot! : ",
      "Collega il cavo USB!\n",
      "Trovato disco E\n",
      "Copia di zImage in E:\\zImage... Fatto\n",
      "Rimozione disco E... Disco E rimosso\n",
      "\rFlashing kernel: ",
      "\nFatto\n\n",
      "Scollega e ricollega il cavo USB!\n",
      "Trovato disco E\n",
      "Copia di cramfs.img in E:\\cramfs.img... Fatto\n",
      "Rimozione disco E... Disco E rimosso\n",
      "\rFlashing ramdisk: ",
      "\nFatto\n\n",
      "Configurazione terminata!\nSPEGNI il robot e scollega i cavi USB e "
      "seriale\n\nPremere invio per terminare!\n"};
  std::size_t at = 0;
  for (const std::string& step : dialogue) {
    std::size_t found = console.find(step, at);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: " << step;
    at = found + step.size();
  }
  EXPECT_EQ(console.size(), at);  // the closing messages come last
  EXPECT_EQ('/', console[console.find("\rFlashing blob: ") + 16]);  // the spinner's first mark
  EXPECT_EQ(std::string::npos, console.find("Procedura non completata"));

  std::string log = logText();
  EXPECT_NE(std::string::npos,
            log.find("Closing com port: Port closed.\n\nBootloader caricato\n\n"
                     "Open com port at 115200: port opened.\n"));
  EXPECT_NE(std::string::npos,
            log.find("SPEGNI il robot, RIMUOVI il jumper e riaccendi il robot! \n"));
  EXPECT_NE(std::string::npos, log.find("Drive Ejected\n"));
  // The closing messages are not in the log: it was closed before them.
  EXPECT_EQ(std::string::npos, log.find("Configurazione terminata"));
  EXPECT_EQ(std::string::npos, log.find("Procedura non completata"));
}

TEST_F(ProcedureTest, AFailedUploadIsRepeatedFromTheFirstLineAtTheNextRate) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.dropEcho.record = 3;   // the third record never echoes at 115200
  config.dropEcho.attempts = 5;
  devmodel::Module& m = plugModule(config);
  EXPECT_EQ(0, runProgram());
  EXPECT_TRUE(m.verdict().ok()) << m.verdict().toText();
  const std::string& console = machine().console;
  EXPECT_NE(std::string::npos,
            console.find("\nSpegni e riaccendi il robot e premi INVIO!"
                         "Connessione a COM3, baud rate 38400... "));
  EXPECT_EQ(2, occurrences(console, "\rCaricamento linea 1 - "));
}

TEST_F(ProcedureTest, AnUploadFailingInEveryPassEndsWithoutMessage10) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.ignoreCr = -1;
  plugModule(config);
  EXPECT_EQ(-1, runProgram());
  const std::string& console = machine().console;
  EXPECT_EQ(4, occurrences(console, "CONNESSO!"));
  EXPECT_EQ(std::string::npos, console.find("impostare la connessione"));
  const std::string ending =
      "\nProcedura non completata: riprovare dall'inizio\n";
  EXPECT_EQ(console.size() - ending.size(), console.rfind(ending));
}

// Only the module can tell a run that flashed what it should from one that
// flashed other bytes: here the files are not the ones it expects (a
// record changed, one left out, one foreign, a character of the boot
// loader changed, the ramdisk a byte short), the program cannot know and
// completes, and the verdict must name every difference.
TEST_F(ProcedureTest, TheModuleNamesEveryByteARunDeliveredWrong) {
  devmodel::Module& m = plugModule(expecting(inputs));
  std::vector<std::string> rom = lines(inputs.romLoaderText);
  const std::string changedAt = rom[2].substr(0, 8), missing = rom[3];
  rom[2].back() = rom[2].back() == '0' ? '1' : '0';
  rom.erase(rom.begin() + 3);
  rom.insert(rom.begin() + 1, "B000000001AA");
  std::vector<std::string> uue = lines(inputs.bootLoaderUue);
  uue[3][10] = uue[3][10] == 'A' ? 'B' : 'A';  // still valid uuencode
  machine().writeFile("blob-bootloader.txt", joined(rom));
  machine().writeFile("blob.uue", joined(uue));
  std::string ramdisk = devmodel::asString(inputs.ramdisk);
  ramdisk.pop_back();
  machine().writeFile("cramfs.img", ramdisk);

  EXPECT_EQ(0, runProgram());
  devmodel::Verdict v = m.verdict();
  EXPECT_FALSE(v.romLoaderComplete);
  EXPECT_FALSE(v.bootLoaderFlashed);
  EXPECT_TRUE(v.kernelFlashed);
  EXPECT_FALSE(v.ramdiskFlashed);
  const std::string text = v.toText();
  const std::string problems[] = {"not in the ROM loader file: B000000001AA",
                                  "memory at " + changedAt + " holds", "never arrived: " + missing,
                                  "blob image differs", "ramdisk image differs"};
  for (const std::string& problem : problems)
    EXPECT_NE(std::string::npos, text.find(problem)) << problem << "\n" << text;
}

}  // namespace
