// The logged primitives and the prompt watcher, byte for byte, on the
// virtual clock.
#include <cstring>

#include "serial/prompt_watcher.h"
#include "serial/traffic.h"
#include "tests/support/stage_fixture.h"

namespace {

using namespace std::string_literals;

class TrafficTest : public StageTest {
 protected:
  void SetUp() override {
    StageTest::SetUp();
    openPort();
  }
  // Bytes the module sends, readable `afterMs` from now.
  void module(const std::string& bytes, int afterMs = 0) {
    com->deliver(bytes, machine().nowUs() + afterMs * 1000LL);
  }
};

TEST_F(TrafficTest, APromptIsMatchedOnItsLastByteAndWhatFollowsStaysQueued) {
  module("\r\nblob> x");
  EXPECT_EQ(0, waitForText(ctx(), "blob>", 1000));
  // Received line ends are logged raw; the log's own "\n" is stored as
  // CR LF like every line end of a text file.
  EXPECT_EQ(" <- \r\r\nblob>\r\n", rawLog());
  EXPECT_EQ(2, ctx().port->bytesWaiting());  // " x"
  EXPECT_EQ(0, promptWatcher.fill);
  EXPECT_EQ(0, machine().nowUs());  // no poll was empty
}

TEST_F(TrafficTest, ExpectNextCharJudgesTheOneNextByte) {
  module("xy");
  EXPECT_EQ(0, expectNextChar(ctx(), 'x', 100));
  EXPECT_EQ(-1, expectNextChar(ctx(), 'x', 100));  // 'y' came next
  EXPECT_EQ(-1, expectNextChar(ctx(), 'x', 100));  // nothing came
  EXPECT_EQ(0, expectNextChar(ctx(), '\0', 100));  // and nothing was wanted
  EXPECT_EQ(" <- x\n <- y\n <- \n <- \n", logText());
}

TEST_F(TrafficTest, AGonePortEndsOnlyAWaitWithoutLimit) {
  com->gone = true;
  EXPECT_EQ(-1, ending([this] { return waitForText(ctx(), "blob>", 0); }));
  EXPECT_EQ(-1, ending([this] { return expectNextChar(ctx(), 'x', 0); }));
  EXPECT_EQ(-2, ending([this] { return waitForText(ctx(), "blob>", -1); }));
}

TEST_F(TrafficTest, TextGatheredByATimedOutWaitCountsForTheNextOne) {
  module("blob>");
  EXPECT_EQ(-1, waitForText(ctx(), "Autoboot ", 100));
  EXPECT_EQ(0, waitForText(ctx(), "blob>", 1000));
  // One received-bytes entry, opened by the first wait and closed by the
  // second.
  EXPECT_EQ(" <- blob>\n", logText());
  // 21 empty polls, then the second wait's first poll.
  EXPECT_EQ(110000, machine().nowUs());
}

TEST_F(TrafficTest, ANulOnTheLineIsLoggedButHidesNothing) {
  // Ahead of the text, inside it, and left in the window by a wait that
  // timed out: none of them may keep a wait without limit from ending.
  machine().horizonUs = 600LL * 1000000;
  module("\r\nx\0blob>"s);
  EXPECT_EQ(0, waitForText(ctx(), "blob>", -1));
  module("Auto\0boot"s);
  EXPECT_EQ(0, waitForText(ctx(), "Autoboot", -1));
  module("\0"s);
  EXPECT_EQ(-1, waitForText(ctx(), "blob>", 100));
  module("blob>");
  EXPECT_EQ(0, waitForText(ctx(), "blob>", -1));
  EXPECT_EQ(" <- \r\nx\0blob>\n <- Auto\0boot\n <- \0 <- blob>\n"s, logText());
}

TEST_F(TrafficTest, ALineEndInsideATextPreventsTheMatch) {
  module("blo\nb>");
  EXPECT_EQ(-1, waitForText(ctx(), "blob>", 200));
  EXPECT_STREQ("\nb>", promptWatcher.window);
  module("blo\rb>");
  EXPECT_EQ(-1, waitForText(ctx(), "blob>", 200));
  EXPECT_STREQ("\rb>", promptWatcher.window);
}

TEST_F(TrafficTest, OnlyEmptyPollsCountTowardsTheLimit) {
  EXPECT_EQ(-1, waitForText(ctx(), "blob>", 100));
  EXPECT_EQ(21 * 5000, machine().nowUs());  // 21 empty polls

  // Polls that take a byte do not count: a module that keeps talking holds
  // even a wait without any time to spare.
  module(std::string(500, 'x') + "blob>");
  EXPECT_EQ(0, waitForText(ctx(), "blob>", 0));

  // A negative limit waits as long as it takes.
  module("blob>", 3600 * 1000);
  EXPECT_EQ(0, waitForText(ctx(), "blob>", -1));
}

TEST_F(TrafficTest, AFloodWithoutLineEndsKeepsTheWindowNearHalfFull) {
  module(std::string(3000, 'z'));
  int highest = 0;
  for (int i = 0; i < 3000; ++i) {
    waitForText(ctx(), "blob>", 0);
    highest = std::max(highest, promptWatcher.fill);
  }
  EXPECT_LE(highest, 2049);
  EXPECT_EQ(0, ctx().port->bytesWaiting());
}

TEST_F(TrafficTest, CompactionKeepsWhatCanStillStartTheText) {
  auto compacted = [](const std::string& window) {
    std::memcpy(promptWatcher.window, window.c_str(), window.size() + 1);
    promptWatcher.fill = static_cast<int>(window.size());
    promptWatcher.compact("blob>", 5);
    return std::string(promptWatcher.window, promptWatcher.fill);
  };
  std::string tail47(47, 'q');
  EXPECT_EQ("bl" + tail47, compacted(std::string(2000, 'q') + "bl" + tail47));
  EXPECT_EQ("ql", compacted("b" + std::string(2047, 'q') + "l"));
  EXPECT_EQ("", compacted(std::string(2049, 'q')));
}

TEST_F(TrafficTest, ALongLineKeepsTheStartOfATextItIsAboutToComplete) {
  // The window passes half full just as the line's last byte starts the
  // text: the compaction must keep that byte, or the prompt is missed.
  module("a" + std::string(2047, 'x') + "ab");
  EXPECT_EQ(0, waitForText(ctx(), "ab", 0));
  EXPECT_EQ(0, ctx().port->bytesWaiting());

  std::string window = "b" + std::string(2047, 'q') + "b";
  std::memcpy(promptWatcher.window, window.c_str(), window.size() + 1);
  promptWatcher.fill = static_cast<int>(window.size());
  promptWatcher.compact("blob>", 5);
  EXPECT_STREQ("b", promptWatcher.window);
  EXPECT_EQ(1, promptWatcher.fill);
}

TEST_F(TrafficTest, WaitForCharConsumesUpToTheExpectedByte) {
  module("x/y");
  EXPECT_EQ(0, waitForChar(ctx(), '/', 1000));
  EXPECT_EQ(" <- x/\n", logText());
  EXPECT_EQ(1, ctx().port->bytesWaiting());

  EXPECT_EQ(-1, waitForChar(ctx(), '\r', 1000));
  EXPECT_EQ(201 * 5000, machine().nowUs());
}

TEST_F(TrafficTest, SendsAreWrittenAndLoggedAsTheyWent) {
  sendLine(ctx(), "status");
  sendChar(ctx(), '\x1b');
  sendText(ctx(), "0A1B2C3D04FF junk", 12);
  sendNewline(ctx());
  EXPECT_EQ("status\n\x1b" "0A1B2C3D04FF\n", com->written);
  EXPECT_EQ(" -> status\n -> \n -> \x1b\n -> 0A1B2C3D04FF junk\n -> \n",
            logText());
  // A line goes out as its text and then its line feed.
  EXPECT_EQ(5, machine().calls(sim::Call::WriteFile));
}

TEST_F(TrafficTest, ReceiveAvailableNeverWritesPastTheBuffer) {
  char buffer[8];
  int count = -1;
  receiveAvailable(ctx(), buffer, sizeof buffer, &count);
  EXPECT_EQ(0, count);
  module("0123456789AB");
  receiveAvailable(ctx(), buffer, sizeof buffer, &count);
  EXPECT_EQ(7, count);
  EXPECT_STREQ("0123456", buffer);
  receiveAvailable(ctx(), buffer, sizeof buffer, &count);
  EXPECT_EQ(5, count);
  EXPECT_STREQ("789AB", buffer);
  EXPECT_EQ(" <- \n <- 0123456\n <- 789AB\n", logText());
}

TEST_F(TrafficTest, ReceiveAvailableLogsTheBytesAfterANul) {
  // Line noise during the boot loader's transfer: the traffic line keeps
  // every byte read, the NULs and what follows them included.
  char buffer[16];
  int count = -1;
  module(std::string("..\0x\0\0.#", 8));
  receiveAvailable(ctx(), buffer, sizeof buffer, &count);
  EXPECT_EQ(8, count);
  EXPECT_EQ(std::string(" <- ..\0x\0\0.#\n", 13), logText());
}

}  // namespace
