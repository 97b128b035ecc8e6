// The ROM loader upload against the device model's boot ROM: the progress
// line, the reading of the file, the handshake around each record and the
// read-back.
#include "stages/rom_loader.h"
#include "tests/support/stage_fixture.h"

namespace {

const char kEnd[] = "0871800000";

std::string progress(int line, int percent) {
  return "\rCaricamento linea " + std::to_string(line) +
         " - Trasferimento completato: " + std::to_string(percent) + "%";
}

// One record with the full handshake, as the log shows it.
std::string handshakeLog(const std::string& record) {
  return " -> \r\n <- \r\n -> " + record + "\n <- " + record + "\n <- /\n";
}

class RomLoaderTest : public StageTest {
 protected:
  void SetUp() override {
    StageTest::SetUp();
    context->lineDelayMs = 5;
  }
  int upload(const std::string& text,
             devmodel::ModuleConfig config = devmodel::ModuleConfig()) {
    if (com == nullptr) plugModule(config);
    machine().writeFile("blob-bootloader.txt", text);
    if (context->romLoaderFile != nullptr) std::fclose(context->romLoaderFile);
    context->romLoaderFile = pf::fopen("blob-bootloader.txt", "r");
    return uploadRomLoader(*context);
  }
  std::int64_t endRecordAtUs() {
    for (const devmodel::Event& e : module->events())
      if (e.name == "rom-end") return e.atUs;
    return -1;
  }
};

TEST_F(RomLoaderTest, ProgressIsOneConsoleLineRewrittenPerLineAndNeverLogged) {
  std::string file = "; 1\n; 2\n0A1B2C3D01FF\n; 4\n; 5\n; 6\n; 7\n";
  file += std::string(kEnd) + "\n";
  std::string atRecord;
  plugModule(devmodel::ModuleConfig());
  module->onEvent = [&](const devmodel::Event& e) {
    if (e.name == "record") atRecord = machine().console;
  };
  EXPECT_EQ(1, upload(file));

  EXPECT_EQ(progress(3, 37), atRecord.substr(atRecord.rfind('\r')));
  std::string console;
  int percents[] = {12, 25, 37, 50, 62, 75, 87, 100};
  for (int line = 1; line <= 8; ++line) console += progress(line, percents[line - 1]);
  EXPECT_EQ(console + progress(8, 100), machine().console);
  EXPECT_EQ("; 1\n; 2\n" + handshakeLog("0A1B2C3D01FF") + "; 4\n; 5\n; 6\n; 7\n"
            " -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, RecordsGoOutBareTheEndRecordWithoutWaitingForAnAnswer) {
  // A record ends at its first character that is not a hexadecimal digit;
  // CR LF line ends read like LF; the end record's line goes out whole.
  EXPECT_EQ(1, upload("0A1B2C3D01FF comment\r\n; note\r\n0871800000 start\n"
                      "; after the end\n"));
  EXPECT_EQ("\r0A1B2C3D01FF0871800000 start", com->written);
  EXPECT_EQ(progress(1, 25) + progress(2, 50) + progress(3, 75) + progress(3, 100),
            machine().console);
  EXPECT_EQ(endRecordAtUs(), machine().nowUs());
  EXPECT_EQ(handshakeLog("0A1B2C3D01FF") + "; note\n -> 0871800000 start\n",
            logText());
}

TEST_F(RomLoaderTest, ACommentNamingTheEndRecordIsTheEndRecord) {
  EXPECT_EQ(1, upload("; jump 0871800000 here\n0A1B2C3D01FF\n"));
  EXPECT_EQ("; jump 0871800000 here", com->written);
  EXPECT_EQ(" -> ; jump 0871800000 here\n", logText());
}

TEST_F(RomLoaderTest, AMarkedRecordIsReadBackWithTheReadFlagInItsHeader) {
  // The mark counts in the data as much as in the address. A record without
  // data gets header echo and "/" together: nothing may take the "/" in
  // place of the missing data.
  EXPECT_EQ(1, upload("087100000201AB\n0A1B2C3D020871\n0871000000\n0871800000\n"));
  EXPECT_EQ("\r087100000201AB\r0871000022\r0A1B2C3D020871\r0A1B2C3D22"
            "\r0871000000\r0871000020" + std::string(kEnd),
            com->written);
  EXPECT_EQ(handshakeLog("087100000201AB") +
                " -> \r\n <- \r\n -> 0871000022\n <- 0871000022\n <- 01AB\n"
                " <- /\n" +
                handshakeLog("0A1B2C3D020871") +
                " -> \r\n <- \r\n -> 0A1B2C3D22\n <- 0A1B2C3D22\n <- 0871\n"
                " <- /\n" +
                handshakeLog("0871000000") +
                " -> \r\n <- \r\n -> 0871000020\n <- 0871000020\n <- /\n"
                " -> 0871800000\n",
            logText());
  EXPECT_TRUE(module->verdict().problems.empty()) << module->verdict().toText();
}

TEST_F(RomLoaderTest, AReadBackThatNeverMatchesFailsAfterFiveAttempts) {
  devmodel::ModuleConfig config;
  config.corruptReadBack.record = 1;
  config.corruptReadBack.attempts = -1;
  EXPECT_EQ(0, upload("087100000201AB\n0871800000\n", config));
  std::string attempts;
  for (int i = 0; i < 5; ++i) attempts += "\r0871000022";
  EXPECT_EQ("\r087100000201AB" + attempts, com->written);
  EXPECT_EQ(progress(1, 50) + "\nErrore di verifica!\n", machine().console);
  const std::string log = logText();
  EXPECT_EQ("\nErrore di verifica!\n", log.substr(log.size() - 21));
}

TEST_F(RomLoaderTest, AReadBackWithoutTheCarriageReturnEchoIsNotVerified) {
  // The boot ROM stored the record and answers every header, but not one
  // carriage return after the first.
  devmodel::ModuleConfig config;
  config.ignoreCrFrom = 2;
  EXPECT_EQ(0, upload("087100000201AB\n0871800000\n", config));
  EXPECT_EQ(progress(1, 50) + "\nErrore di verifica!\n", machine().console);
}

TEST_F(RomLoaderTest, AHeaderEchoIsWaitedForHalfASecond) {
  devmodel::ModuleConfig config;
  config.silentAfterEvent = "readback";
  EXPECT_EQ(0, upload("087100000201AB\n0871800000\n", config));
  std::vector<std::int64_t> at;  // the header, then the next carriage return
  for (const devmodel::Event& e : module->events())
    if (e.name == "readback" || (e.name == "cr" && !at.empty())) at.push_back(e.atUs);
  ASSERT_GE(at.size(), 2u);
  EXPECT_EQ(5000 + 101 * 5000, at[1] - at[0]);  // line pause, 101 empty polls
}

TEST_F(RomLoaderTest, AMarkedRecordTooShortForAHeaderFailsVerification) {
  // No boot ROM acknowledges such a record; one that did must still not
  // make the stage read past it.
  openPort();
  com->onWrite = [this](std::int64_t now, const std::uint8_t* data, std::size_t n) {
    com->deliver(std::string(reinterpret_cast<const char*>(data), n) +
                     (n > 1 ? "/" : ""), now);
  };
  EXPECT_EQ(0, upload("0871AB\n0871800000\n"));
  EXPECT_EQ("\r0871AB", com->written);  // no header is ever built from it
  EXPECT_EQ(handshakeLog("0871AB") + "\nErrore di verifica!\n", logText());
}

TEST_F(RomLoaderTest, ARecordWithoutAnyCarriageReturnFailsAfterFiveOfThem) {
  devmodel::ModuleConfig config;
  config.ignoreCr = -1;
  EXPECT_EQ(0, upload("0A1B2C3D01FF\n0871800000\n", config));
  EXPECT_EQ("\r\r\r\r\r", com->written);
  EXPECT_EQ(progress(1, 50) + "\n", machine().console);
  std::string log;
  for (int i = 0; i < 5; ++i) log += " -> \r\n <- \n";
  EXPECT_EQ(log + "\n", logText());
  EXPECT_EQ(5 * 201 * 5000, machine().nowUs());  // 201 empty polls each
}

TEST_F(RomLoaderTest, OneCarriageReturnAnsweredAtTheFifthTryIsEnough) {
  devmodel::ModuleConfig config;
  config.ignoreCr = 4;
  EXPECT_EQ(1, upload("0A1B2C3D01FF\n0871800000\n", config));
  EXPECT_EQ("\r\r\r\r\r0A1B2C3D01FF0871800000", com->written);
}

TEST_F(RomLoaderTest, ThePartialEchoRecordWaitsWithoutLimitForItsEcho) {
  devmodel::ModuleConfig config;
  config.replyDelayUs = 3600LL * 1000000;
  EXPECT_EQ(1, upload("0021B000C4E7400402\n0871800000\n", config));
  EXPECT_EQ("0021B000C4E74004020871800000", com->written);
  EXPECT_GE(endRecordAtUs(), config.replyDelayUs);
  EXPECT_EQ(" -> 0021B000C4E7400402\n <- 0021B000C4E74\n -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, ALongLineIsReadInPiecesAndAContinuationIsNeverARecord) {
  // Lines of 100 and 89 characters: a comment of 79, then what looks like a
  // record, or the end record.
  std::string head = "; " + std::string(77, '-');
  std::string record = "0A1B2C3D04FF000000000", end = "0871800000";
  EXPECT_EQ(1, upload(head + record + "\n" + head + end + "\n0871800000\n"));
  EXPECT_EQ("0871800000", com->written);
  EXPECT_EQ(progress(1, 20) + progress(2, 40) + progress(3, 60) + progress(4, 80) +
                progress(5, 100) + progress(5, 100),
            machine().console);
  EXPECT_EQ(head + "\n" + record + "\n" + head + "\n" + end +
                "\n -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, ANulByteCutsItsLineButNotTheLineAfterIt) {
  EXPECT_EQ(1, upload(std::string("0A1B2C3D01FF\0junk\n0A1B2C3E01FF\n", 31) +
                      "0871800000\n"));
  EXPECT_EQ("\r0A1B2C3D01FF\r0A1B2C3E01FF0871800000", com->written);
}

TEST_F(RomLoaderTest, AFileThatCannotBeAromLoaderEndsTheStageWithAReason) {
  EXPECT_EQ(0, upload(""));
  EXPECT_EQ("", com->written);
  EXPECT_EQ("", machine().console);
  EXPECT_EQ("The ROM loader file is empty: nothing sent.\n", logText());

  EXPECT_EQ(0, upload("0A1B2C3D01FF\n; no end record"));
  EXPECT_EQ("\r0A1B2C3D01FF", com->written);
  // The progress line is ended, so that what follows starts a line.
  EXPECT_EQ(progress(1, 50) + progress(2, 100) + "\n", machine().console);
  EXPECT_EQ("The ROM loader file is empty: nothing sent.\n" +
                handshakeLog("0A1B2C3D01FF") + "; no end record\n\n" +
                "The ROM loader file ended without its end record.\n",
            logText());
}

}  // namespace
