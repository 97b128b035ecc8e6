// The boot loader update against a scripted blob: the transfer with the
// module's progress, the flash, the power cycle and the clean prompt.
#include <cstring>
#include <map>

#include "app/console.h"
#include "stages/boot_loader.h"
#include "tests/support/stage_fixture.h"

namespace {

const std::string kPowerCycle =
    "SPEGNI il robot, RIMUOVI il jumper e riaccendi il robot! ";
const std::string kUue = "begin 644 blob\nM1\nM2\nM3\nend\n";

class BootLoaderTest : public StageTest {
 protected:
  void SetUp() override {
    StageTest::SetUp();
    spinnerPhase = 0;
    openPort();
    std::strcpy(context->fileNames[1], "blob.uue");
    com->onWrite = [this](std::int64_t now, const std::uint8_t* data,
                          std::size_t size) {
      std::string bytes(reinterpret_cast<const char*>(data), size);
      writes.push_back(bytes);
      pending += bytes;
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        answer(now, line);
      }
    };
    com->onBreak = [this](std::int64_t, std::int64_t) { ++breaks; };
  }

  int update(const std::string& uue = kUue) {
    machine().writeFile("blob.uue", uue);
    return updateBootLoader(*context);
  }

  // blob: "download blob" starts a transfer that its "end" line ends;
  // "flash blob" brings its prompt back after flashMs, and the operator's
  // power cycle an "Autoboot" banner autobootMs after that; every other
  // line feed gets a prompt, followed after a break by an error report
  // while errorReports last.
  void answer(std::int64_t now, const std::string& line) {
    if (downloading && !line.empty()) {
      auto reply = replies.find(++fileLines);
      if (reply != replies.end()) com->deliver(reply->second, now);
      downloading = line.compare(0, 3, "end") != 0;
      if (!downloading && promptAfterDownload)
        com->deliver("\r\nreceived\r\nblob> ", now + 2000);
    } else if (line == "download blob") {
      downloading = answersDownload;
      if (answersDownload) com->deliver("\r\ndownloading blob\r\n", now);
    } else if (line == "flash blob") {
      std::int64_t done = now + flashMs * 1000LL;
      const std::string ahead = nulAhead ? std::string("x\0", 2) : "";
      com->deliver("\r\nflashing\r\n" + ahead + "blob> ", done);
      com->deliver("\r\nblob v2\r\n" + ahead + "Autoboot in 1 s",
                   done + autobootMs * 1000LL);
    } else if (line.empty()) {
      bool report = breaks > 0 && errorReports > 0;
      if (report) --errorReports;
      com->deliver(report ? "\r\nblob> \r\n*** serial port error" : "\r\nblob> ", now);
    }
  }

  bool answersDownload = true;
  bool downloading = false;
  int fileLines = 0;
  std::map<int, std::string> replies;  // by line of the file, from 1
  int flashMs = 800;
  int autobootMs = 500;
  int errorReports = 0;
  // blob's own prompt at the end of the download, as blob gives one after
  // every command.
  bool promptAfterDownload = false;
  // A NUL on the line of the flash's prompt and of the banner, ahead of them.
  bool nulAhead = false;
  int breaks = 0;
  std::string pending;
  std::vector<std::string> writes;
};

TEST_F(BootLoaderTest, BlobsOwnPromptAfterTheDownloadIsNotTakenForTheEndOfTheFlash) {
  // Taken for the answer to the line feed after the file, it would leave
  // that answer queued, and the flash would seem done at its first look:
  // "Fatto", and the operator told to switch off while blob still writes.
  promptAfterDownload = true;
  flashMs = 3000;
  EXPECT_EQ(0, update());
  EXPECT_GE(occurrences(machine().console, "\rFlashing blob: "), 20);
  EXPECT_NE(std::string::npos,
            logText().find(" <- \r\nreceived\r\nblob> \n\r\nreceived\r\nblob>  -> \n"));
}

TEST_F(BootLoaderTest, ANulAheadOfThePromptOrTheBannerHoldsNeitherSpinner) {
  // Both waits have no time limit: a NUL that hid the text would keep the
  // spinner turning for ever.
  nulAhead = true;
  machine().horizonUs = 600LL * 1000000;
  EXPECT_EQ(0, update());
  EXPECT_NE(std::string::npos, machine().console.find("\nFatto\n\n"));
}

TEST_F(BootLoaderTest, AWholeUpdateShowsTheModulesProgressAndEndsOnACleanPrompt) {
  replies = {{2, "."}, {3, "\r\nhalf\r\n"}, {4, "%s%d."}};
  EXPECT_EQ(0, update());

  EXPECT_EQ((std::vector<std::string>{"download blob", "\n", "begin 644 blob\n",
                                      "M1\n", "M2\n", "M3\n", "end\n", "\n",
                                      "flash blob", "\n", "\n", "\n", "\n"}),
            writes);
  EXPECT_EQ(1, breaks);
  // The prompt (at 800 ms) and the banner (500 ms later) each come during
  // the third wait of their spinner. Chunks without a full stop, like the
  // rest of the "downloading" line, stay off the console.
  EXPECT_EQ("Trasferimento blob in corso.%s%d. trasferito\n"
            "\rFlashing blob: /\rFlashing blob: -\rFlashing blob: \\"
            "\nFatto\n\n"
            "\r" + kPowerCycle + ": |\r" + kPowerCycle + ": /\r" + kPowerCycle +
            ": -\n",
            machine().console);
  EXPECT_EQ(" -> download blob\n -> \n <- \r\ndownloading\n"
            "Trasferimento blob in corso <-  blob\r\n\n blob\r\n"
            " <- .\n."
            " <- \r\nhalf\r\n\n\r\nhalf\r\n"
            " <- %s%d.\n%s%d."
            " -> \n <- \r\nblob>\n trasferito\n"
            " -> flash blob\n -> \n <-  \r\nflashing\r\nblob>\n"
            "\nFatto\n\n" + kPowerCycle + "\n"
            " <-  \r\nblob v2\r\nAutoboot\n"
            " -> \n <-  in 1 s\r\nblob>\n"
            " -> \n <-  \r\nblob>\n"
            " <-   -> \n",  // no error report: the wait for it ran out
            logText());
}

TEST_F(BootLoaderTest, ABacklogLargerThanTheBufferIsTakenInPieces) {
  // After the last line: nothing but the drain of that line can take all.
  replies = {{5, std::string(4999, 'x') + "."}};
  EXPECT_EQ(0, update());
  const std::string first(4095, 'x'), rest = std::string(904, 'x') + ".";
  EXPECT_EQ(0u, machine().console.find("Trasferimento blob in corso" + rest +
                                       " trasferito\n"));
  EXPECT_NE(std::string::npos,
            logText().find(" <- " + first + "\n" + first + " <- " + rest + "\n" +
                           rest + " -> \n"));
}

TEST_F(BootLoaderTest, TheFileGoesOutAsStoredWithNothingAddedOrTranslated) {
  // Only the stage's own line feed after the file completes the last line,
  // so blob never answers it with a prompt. A line of 79 bytes is one
  // whole piece.
  const std::string full = "M" + std::string(76, '1') + "\r\n";
  EXPECT_EQ(-1, update("begin 644 blob\r\n" + full + "end"));
  EXPECT_EQ((std::vector<std::string>{"download blob", "\n", "begin 644 blob\r\n", full, "end",
                                      "\n"}),
            writes);
}

TEST_F(BootLoaderTest, ANulByteGoesOutWithTheRestOfItsLine) {
  // Cut at the NUL, the line would lose its end and blob would take the
  // next line as part of it.
  const char file[] = "begin 644 blob\nM1\0ZZ\nM2\nend\n";
  EXPECT_EQ(0, update(std::string(file, sizeof file - 1)));
  EXPECT_EQ(std::string("begin 644 blob\nM1\0ZZ\nM2\nend\n\n", 28),
            com->written.substr(std::string("download blob\n").size(), 28));
}

TEST_F(BootLoaderTest, NoDownloadingEndsTheStageSilently) {
  answersDownload = false;
  EXPECT_EQ(-1, update());
  EXPECT_EQ("download blob\n", com->written);
  EXPECT_EQ("", machine().console);
  EXPECT_EQ(" -> download blob\n -> \n <- ", logText());
}

TEST_F(BootLoaderTest, AMissingFileIsNamedOnTheConsoleAndInTheLog) {
  machine().unopenable.push_back("blob.uue");
  EXPECT_EQ(-1, update());
  EXPECT_EQ("download blob\n", com->written);
  EXPECT_EQ("Non posso aprire il file blob.uue\n", machine().console);
  EXPECT_EQ(" -> download blob\n -> \n <- \r\ndownloading\n"
            "Non posso aprire il file blob.uue\n",
            logText());
}

TEST_F(BootLoaderTest, ErrorReportsAfterEveryPromptFailAfterSixBreaks) {
  errorReports = 5;
  EXPECT_EQ(-1, update());
  EXPECT_EQ(6, breaks);
  EXPECT_EQ(6u, com->breakStarts.size());
  // "flash blob" and its line feed, the line feed after "Autoboot", five
  // tries and the last line feed.
  const std::string ending = "flash blob" + std::string(8, '\n');
  EXPECT_EQ(ending, com->written.substr(com->written.size() - ending.size()));
}

}  // namespace
