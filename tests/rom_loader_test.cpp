// The ROM loader upload against a scripted boot ROM: the progress line, the
// reading of the file, the handshake around each record and the read-back.
#include <map>

#include "app/context.h"
#include "serial/prompt_watcher.h"
#include "stages/rom_loader.h"
#include "tests/support/sim_fixture.h"

namespace {

const char kEnd[] = "0871800000";

std::string progress(int line, int percent) {
  return "\rCaricamento linea " + std::to_string(line) +
         " - Trasferimento completato: " + std::to_string(percent) + "%";
}

class RomLoaderTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    useCatalogue();
    promptWatcher.clear();
    com = &machine().addPort("COM1");
    context.reset(new ConfiguratorContext);
    ASSERT_EQ(0, context->openLog("vantor_config.log"));
    ASSERT_EQ(0, context->port->open("COM1", 115200, 0));
    context->lineDelayMs = 5;
    com->onWrite = [this](std::int64_t now, const std::uint8_t* data,
                          std::size_t size) {
      answer(now, std::string(reinterpret_cast<const char*>(data), size));
    };
  }
  void TearDown() override {
    if (context->romLoaderFile != nullptr) std::fclose(context->romLoaderFile);
    if (context->log != nullptr) std::fclose(context->log);
    context.reset();
    SimTest::TearDown();
  }

  int upload(const std::string& text) {
    machine().writeFile("blob-bootloader.txt", text);
    context->romLoaderFile = pf::fopen("blob-bootloader.txt", "r");
    return uploadRomLoader(*context);
  }

  // The boot ROM: echoes a carriage return, echoes a record and
  // acknowledges it with "/", answers a read-back header with its echo, the
  // data stored at that address and "/".
  void answer(std::int64_t now, const std::string& bytes) {
    if (bytes == "\r") {
      if (crUnanswered != 0) {
        if (crUnanswered > 0) --crUnanswered;
        return;
      }
      com->deliver(beforeCr + "\r", now);
      return;
    }
    if (bytes.find("0021B000C4E7400402") != std::string::npos) {
      com->deliver("0021B000C4E74", now + partialEchoAfterUs);
      return;
    }
    if (bytes.find(kEnd) != std::string::npos) {
      endRecordAtUs = now;
      return;
    }
    consoleAtRecord.push_back(machine().console);
    std::string address = bytes.substr(0, 8);
    if (bytes.size() == 10 && memory.count(address) != 0) {
      std::string data = readBackData.empty() ? memory[address] : readBackData;
      com->deliver(bytes + data + "/", now);
      return;
    }
    memory[address] = bytes.size() > 10 ? bytes.substr(10) : "";
    com->deliver(bytes + "/", now);
  }

  int crUnanswered = 0;  // -1: none is ever answered
  std::string beforeCr;
  std::string readBackData;  // instead of what was stored, when set
  std::int64_t partialEchoAfterUs = 0;
  std::map<std::string, std::string> memory;
  std::vector<std::string> consoleAtRecord;
  std::int64_t endRecordAtUs = -1;

  sim::SimPort* com = nullptr;
  std::unique_ptr<ConfiguratorContext> context;
};

// One record with the full handshake, as the log shows it.
std::string handshakeLog(const std::string& record, const std::string& crEcho = "\r") {
  return " -> \r\n <- " + crEcho + "\n -> " + record + "\n <- " + record +
         "\n <- /\n";
}

TEST_F(RomLoaderTest, ProgressIsOneConsoleLineRewrittenPerLineAndNeverLogged) {
  std::string file = "; 1\n; 2\n0A1B2C3D04FF\n; 4\n; 5\n; 6\n; 7\n";
  file += std::string(kEnd) + "\n";
  EXPECT_EQ(1, upload(file));

  ASSERT_EQ(1u, consoleAtRecord.size());
  const std::string& atLine3 = consoleAtRecord[0];
  EXPECT_EQ(progress(3, 37), atLine3.substr(atLine3.rfind('\r')));

  std::string console;
  int percents[] = {12, 25, 37, 50, 62, 75, 87, 100};
  for (int line = 1; line <= 8; ++line) console += progress(line, percents[line - 1]);
  EXPECT_EQ(console + progress(8, 100), machine().console);
  EXPECT_EQ("; 1\n; 2\n" + handshakeLog("0A1B2C3D04FF") + "; 4\n; 5\n; 6\n; 7\n"
            " -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, TheEndRecordGoesOutBareWithoutWaitingForAnAnswer) {
  EXPECT_EQ(1, upload("0A1B2C3D04FF\n0871800000 start\n; after the end\n"));
  EXPECT_EQ("\r0A1B2C3D04FF0871800000 start", com->written);
  EXPECT_EQ(progress(1, 33) + progress(2, 66) + progress(2, 100), machine().console);
  EXPECT_EQ(endRecordAtUs, machine().nowUs());
  EXPECT_EQ(handshakeLog("0A1B2C3D04FF") + " -> 0871800000 start\n", logText());
}

TEST_F(RomLoaderTest, ARecordEndsAtItsFirstCharacterThatIsNotHexadecimal) {
  EXPECT_EQ(1, upload("0A1B2C3D04FF comment\n0871800000\n"));
  EXPECT_EQ("\r0A1B2C3D04FF0871800000", com->written);
  EXPECT_EQ(handshakeLog("0A1B2C3D04FF") + " -> 0871800000\n", logText());
}

TEST_F(RomLoaderTest, CommentAndEmptyLinesGoToTheLogOnlyAndCountForTheProgress) {
  EXPECT_EQ(1, upload("; first\n\n0871800000\n"));
  EXPECT_EQ("0871800000", com->written);
  EXPECT_EQ(progress(1, 33) + progress(2, 66) + progress(3, 100) + progress(3, 100),
            machine().console);
  EXPECT_EQ("; first\n\n -> 0871800000\n", logText());
}

TEST_F(RomLoaderTest, ACommentNamingTheEndRecordIsTheEndRecord) {
  EXPECT_EQ(1, upload("; jump 0871800000 here\n0A1B2C3D04FF\n"));
  EXPECT_EQ("; jump 0871800000 here", com->written);
  EXPECT_EQ(" -> ; jump 0871800000 here\n", logText());
}

TEST_F(RomLoaderTest, CrLfLineEndsReadLikeLf) {
  EXPECT_EQ(1, upload("0A1B2C3D04FF\r\n; note\r\n0871800000\r\n"));
  EXPECT_EQ("\r0A1B2C3D04FF0871800000", com->written);
  EXPECT_EQ(handshakeLog("0A1B2C3D04FF") + "; note\n -> 0871800000\n", logText());
}

TEST_F(RomLoaderTest, AMarkedRecordIsReadBackWithTheReadFlagInItsHeader) {
  // The mark counts in the data as much as in the address.
  EXPECT_EQ(1, upload("087100000201AB\n0A1B2C3D020871\n0871800000\n"));
  EXPECT_EQ("\r087100000201AB\r0871000022\r0A1B2C3D020871\r0A1B2C3D22" +
                std::string(kEnd),
            com->written);
  EXPECT_EQ(handshakeLog("087100000201AB") +
                " -> \r\n <- \r\n -> 0871000022\n <- 0871000022\n <- 01AB\n"
                " <- /\n" +
                handshakeLog("0A1B2C3D020871") +
                " -> \r\n <- \r\n -> 0A1B2C3D22\n <- 0A1B2C3D22\n <- 0871\n"
                " <- /\n -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, AMarkedRecordWithoutDataIsCheckedByItsAcknowledgement) {
  // Header echo and "/" arrive together, as from an adapter that delivers
  // in bursts: nothing may take the "/" in place of the missing data.
  EXPECT_EQ(1, upload("0871000000\n0871800000\n"));
  EXPECT_EQ("\r0871000000\r0871000020" + std::string(kEnd), com->written);
  EXPECT_EQ(handshakeLog("0871000000") +
                " -> \r\n <- \r\n -> 0871000020\n <- 0871000020\n <- /\n"
                " -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, AReadBackThatNeverMatchesFailsAfterFiveAttempts) {
  readBackData = "01AC";
  EXPECT_EQ(0, upload("087100000201AB\n0871800000\n"));
  std::string attempts;
  for (int i = 0; i < 5; ++i) attempts += "\r0871000022";
  EXPECT_EQ("\r087100000201AB" + attempts, com->written);
  EXPECT_EQ(progress(1, 50) + "\nErrore di verifica!\n", machine().console);
  const std::string log = logText();
  EXPECT_EQ("\nErrore di verifica!\n", log.substr(log.size() - 21));
}

TEST_F(RomLoaderTest, AMarkedRecordTooShortForAHeaderFailsVerification) {
  EXPECT_EQ(0, upload("0871AB\n0871800000\n"));
  EXPECT_EQ("\r0871AB", com->written);  // no header is ever built from it
  EXPECT_EQ(progress(1, 50) + "\nErrore di verifica!\n", machine().console);
  EXPECT_EQ(handshakeLog("0871AB") + "\nErrore di verifica!\n", logText());
}

TEST_F(RomLoaderTest, OtherBytesBeforeTheCarriageReturnAreDropped) {
  beforeCr = "?x";
  EXPECT_EQ(1, upload("0A1B2C3D04FF\n0871800000\n"));
  EXPECT_EQ(handshakeLog("0A1B2C3D04FF", "?x\r") + " -> 0871800000\n", logText());
}

TEST_F(RomLoaderTest, ARecordWithoutAnyCarriageReturnFailsAfterFiveOfThem) {
  crUnanswered = -1;
  EXPECT_EQ(0, upload("0A1B2C3D04FF\n0871800000\n"));
  EXPECT_EQ("\r\r\r\r\r", com->written);
  EXPECT_EQ(progress(1, 50) + "\n", machine().console);
  std::string log;
  for (int i = 0; i < 5; ++i) log += " -> \r\n <- \n";
  EXPECT_EQ(log + "\n", logText());
  EXPECT_EQ(5 * 201 * 5000, machine().nowUs());  // 201 empty polls each

  // One answered late is enough.
  std::fclose(context->romLoaderFile);
  com->written.clear();
  crUnanswered = 4;
  EXPECT_EQ(1, upload("0A1B2C3D04FF\n0871800000\n"));
  EXPECT_EQ("\r\r\r\r\r0A1B2C3D04FF0871800000", com->written);
}

TEST_F(RomLoaderTest, ThePartialEchoRecordWaitsWithoutLimitForItsEcho) {
  partialEchoAfterUs = 3600LL * 1000000;
  EXPECT_EQ(1, upload("0021B000C4E7400402\n0871800000\n"));
  EXPECT_EQ("0021B000C4E74004020871800000", com->written);
  EXPECT_GE(endRecordAtUs, partialEchoAfterUs);
  EXPECT_EQ(" -> 0021B000C4E7400402\n <- 0021B000C4E74\n -> 0871800000\n",
            logText());
}

TEST_F(RomLoaderTest, ALongLineIsReadInPiecesAndAContinuationIsNeverARecord) {
  // 100 characters: a comment of 79, then 21 that look like a record.
  std::string head = "; " + std::string(77, '-');
  std::string tail = "0A1B2C3D04FF000000000";
  EXPECT_EQ(1, upload(head + tail + "\n0871800000\n"));
  EXPECT_EQ("0871800000", com->written);
  EXPECT_EQ(progress(1, 33) + progress(2, 66) + progress(3, 100) + progress(3, 100),
            machine().console);
  EXPECT_EQ(head + "\n" + tail + "\n -> 0871800000\n", logText());
}

TEST_F(RomLoaderTest, ANulByteCutsItsLineButNotTheLineAfterIt) {
  EXPECT_EQ(1, upload(std::string("0A1B2C3D04FF\0junk\n0A1B2C3E04FF\n", 31) +
                      "0871800000\n"));
  EXPECT_EQ("\r0A1B2C3D04FF\r0A1B2C3E04FF0871800000", com->written);
}

TEST_F(RomLoaderTest, AFileThatCannotBeAromLoaderEndsTheStageWithAReason) {
  EXPECT_EQ(0, upload(""));
  EXPECT_EQ("", com->written);
  EXPECT_EQ("", machine().console);
  EXPECT_EQ("The ROM loader file is empty: nothing sent.\n", logText());

  std::fclose(context->romLoaderFile);
  EXPECT_EQ(0, upload("0A1B2C3D04FF\n; no end record"));
  EXPECT_EQ("\r0A1B2C3D04FF", com->written);
  // The progress line is ended, so that what follows starts a line.
  EXPECT_EQ(progress(1, 50) + progress(2, 100) + "\n", machine().console);
  EXPECT_EQ("The ROM loader file is empty: nothing sent.\n" +
                handshakeLog("0A1B2C3D04FF") + "; no end record\n\n" +
                "The ROM loader file ended without its end record.\n",
            logText());
}

}  // namespace
