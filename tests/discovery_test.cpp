// Finding the module: the port list, the baud-rate passes with the
// operator's prompts, and the probe threads with their time limit.
#include <cstring>

#include "serial/discovery.h"
#include "serial/port_list.h"
#include "tests/support/stage_fixture.h"

namespace {

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kPrompt13 =
    "collega il cavo seriale, accendi il robot e premi INVIO!";
const std::string kPrompt16 = "\nSpegni e riaccendi il robot e premi INVIO!";
const std::string kNotFound = "modulo V&L non trovato!\n";

std::string probeLine(const std::string& port, int baud) {
  return "Connessione a " + port + ", baud rate " + std::to_string(baud) +
         "... ";
}

class DiscoveryTest : public StageTest {
 protected:
  // A port listed by Windows with the device model's boot ROM behind it,
  // answering the probe 2 ms later at `baud` only (at every rate when 0,
  // never when -1), with `prefix` in front of its colon.
  sim::SimPort& listedPort(const std::string& name, int baud = -1,
                           const std::string& prefix = "") {
    devmodel::ModuleConfig config;
    config.answerBaud = baud < 0 ? 1 : baud;
    config.garbageAtWrongBaud = false;
    config.replyDelayUs = 2000;
    config.probePrefix = prefix;
    modules.emplace_back(new devmodel::Module(config));
    sim::SimPort& port = listPort(machine(), name);
    attachModule(port, *modules.back());
    return port;
  }

  std::vector<std::unique_ptr<devmodel::Module>> modules;
};

TEST_F(DiscoveryTest, NoPortAtAllEndsWithoutAskingTheOperator) {
  EXPECT_EQ(0, findModule(ctx()));
  EXPECT_EQ("Nessuna porta seriale trovata!\n", machine().console);
  EXPECT_EQ("Porte seriali:\nNessuna porta seriale trovata!\n", logText());
  EXPECT_EQ(0, machine().keyReads);
  EXPECT_EQ(0, ctx().baudIndex);
}

TEST_F(DiscoveryTest, AConfiguredPortIsTheOnlyOneProbedAndTheRegistryIsNotRead) {
  listedPort("COM1", 0);
  listedPort("COM4", 19200);
  ctx().configuredPort = 4;
  std::strcpy(ctx().portName, "COM4");
  machine().pressEnter(3);
  EXPECT_EQ(1, findModule(ctx()));
  EXPECT_EQ(0, machine().calls(sim::Call::RegOpenKeyExA));
  EXPECT_EQ(0, machine().port("COM1")->opens);
  EXPECT_EQ(3, machine().port("COM4")->opens);
  EXPECT_EQ(19200, ctx().baudRate);
  EXPECT_EQ(50, ctx().lineDelayMs);
  EXPECT_EQ(3, ctx().baudIndex);
  EXPECT_TRUE(machine().port("COM4")->isOpen);
  EXPECT_TRUE(ctx().port->isOpen());
  EXPECT_STREQ("COM4", ctx().portName);
}

TEST_F(DiscoveryTest, TwoPortsTheSecondAnsweringAt38400) {
  listedPort("COM1", 9600);
  listedPort("COM2", 38400);
  machine().pressEnter(2);
  int blocks = machine().liveBlocks;
  EXPECT_EQ(1, findModule(ctx()));
  EXPECT_EQ(blocks, machine().liveBlocks);  // the list's and every probe's freed
  EXPECT_EQ(38400, ctx().baudRate);
  EXPECT_EQ(30, ctx().lineDelayMs);
  EXPECT_EQ(2, ctx().baudIndex);
  EXPECT_EQ(2, machine().keyReads);
  const std::string opened = "porta aperta: ";
  EXPECT_EQ(kPrompt13 + probeLine("COM1", 115200) + opened + kNotFound +
                probeLine("COM2", 115200) + opened + kNotFound + kPrompt16 +
                probeLine("COM1", 38400) + opened + kNotFound +
                probeLine("COM2", 38400) + opened + "CONNESSO!\n",
            machine().console);
  const std::string silent = " -> a\n <- \n";
  EXPECT_EQ("Porte seriali:\nPorta trovata: COM1\nPorta trovata: COM2\n" +
                kPrompt13 + "\n\n" + probeLine("COM1", 115200) + opened +
                silent + kNotFound + probeLine("COM2", 115200) + opened +
                silent + kNotFound + kPrompt16 + "\n" +
                probeLine("COM1", 38400) + opened + silent + kNotFound +
                probeLine("COM2", 38400) + opened + " -> a\n <- :\nCONNESSO!\n",
            logText());
  EXPECT_FALSE(machine().port("COM1")->isOpen);
  EXPECT_TRUE(machine().port("COM2")->isOpen);
  EXPECT_EQ(1, machine().openHandles());  // the port's: each probe thread's was closed
  EXPECT_STREQ("COM2", ctx().portName);
}

TEST_F(DiscoveryTest, APortThatCannotBeOpenedIsSkippedUntilTheNextCall) {
  sim::SimPort& broken = listedPort("COM1");
  broken.createFails = true;
  listedPort("COM2", 9600);
  machine().pressEnter(4);
  EXPECT_EQ(1, findModule(ctx()));  // found in the fourth pass
  EXPECT_EQ(4, ctx().baudIndex);
  EXPECT_EQ(4, machine().port("COM2")->opens);
  EXPECT_EQ(1, machine().calls(sim::Call::CreateFileA) - 4);  // COM1 once
  EXPECT_NE(std::string::npos,
            machine().console.find(probeLine("COM1", 115200) +
                                   "non posso aprire la porta.\n"));
  EXPECT_EQ(std::string::npos, machine().console.find(probeLine("COM1", 38400)));

  // The next call builds the list afresh and tries it again. (The driver
  // closes the port before every search.)
  ctx().port->close();
  ctx().baudIndex = 3;
  machine().pressEnter();
  EXPECT_EQ(1, findModule(ctx()));
  EXPECT_EQ(2, machine().calls(sim::Call::CreateFileA) - 5);
}

TEST_F(DiscoveryTest, AHungProbeIsAbandonedAndLeavesNoTrace) {
  sim::SimPort& hung = listedPort("COM1", 0);
  hung.openHangs = true;
  sim::SimPort& good = listedPort("COM2", 0);
  machine().pressEnter();
  EXPECT_EQ(1, findModule(ctx()));
  EXPECT_EQ(kPrompt13 + probeLine("COM1", 115200) + kNotFound +
                probeLine("COM2", 115200) + "porta aperta: CONNESSO!\n",
            machine().console);
  EXPECT_EQ(Failed, ctx().candidates[0].state.load());
  // 600 pauses of 5 ms, then the second probe's own 50 ms and its answer.
  EXPECT_GE(machine().nowMs(), 3000 + 50);
  EXPECT_TRUE(good.isOpen);
  EXPECT_FALSE(hung.isOpen);
  EXPECT_EQ(1, machine().liveThreads());  // the cancelled open ended it
}

TEST_F(DiscoveryTest, AProbeThatCannotBeCancelledEndsOnItsOwnWithoutATrace) {
  sim::SimPort& hung = listedPort("COM1", 0);
  hung.openHangs = true;
  listedPort("COM2", 0);
  machine().fail(sim::Call::CancelSynchronousIo);
  machine().pressEnter();
  EXPECT_EQ(1, findModule(ctx()));
  EXPECT_EQ(2, machine().liveThreads());  // still hanging in its open
  std::string console = machine().console, log = logText();
  hung.releaseHang();  // the open succeeds now, far too late
  // It closes the port the moment its open returns and sends nothing: the
  // port is free for the next search at once.
  machine().sleepFor(1000);
  EXPECT_EQ(1, hung.opens);
  EXPECT_FALSE(hung.isOpen);
  EXPECT_EQ(1, machine().liveThreads());
  machine().sleepFor(10000000);
  EXPECT_EQ("", hung.written);
  EXPECT_EQ(console, machine().console);
  EXPECT_EQ(log, logText());
  EXPECT_TRUE(ctx().port->isOpen());
  EXPECT_STREQ("\\\\.\\COM2", ctx().port->devicePath);
}

TEST_F(DiscoveryTest, AProbeAbandonedWhileItWaitsForTheAnswerStopsReading) {
  ctx().probeTimeoutMs = 100;  // given up on during its wait of 1000 ms
  sim::SimPort& silent = listedPort("COM1");
  machine().fail(sim::Call::CancelSynchronousIo);
  machine().pressEnter();
  EXPECT_EQ(0, findModule(ctx()));
  int polls = machine().calls(sim::Call::ClearCommError);
  machine().sleepFor(2000000);
  EXPECT_FALSE(silent.isOpen);
  EXPECT_EQ(polls, machine().calls(sim::Call::ClearCommError));
  EXPECT_EQ(0, machine().calls(sim::Call::ReadFile));
  EXPECT_EQ(1, machine().liveThreads());
}

TEST_F(DiscoveryTest, AProbeWhoseThreadCannotStartFailsWithoutTheWait) {
  listedPort("COM1", 0);
  listedPort("COM2", 0);
  machine().fail(sim::Call::CreateThread, 1);
  machine().pressEnter();
  EXPECT_EQ(1, findModule(ctx()));
  EXPECT_EQ(Failed, ctx().candidates[0].state.load());
  EXPECT_EQ(0, machine().port("COM1")->opens);
  EXPECT_EQ(kPrompt13 + kNotFound + probeLine("COM2", 115200) +
                "porta aperta: CONNESSO!\n",
            machine().console);
  EXPECT_LT(machine().nowMs(), 1000);  // the 50 ms of COM2's probe and its answer
}

TEST_F(DiscoveryTest, AVerdictDuringTheLastPauseIsStillATimeOut) {
  ctx().probeTimeoutMs = 100;
  // 50 ms of settling, then ":" arrives 48 ms after "a": the probe sees it
  // at 100 ms, during the main thread's twentieth pause.
  sim::SimPort& com = listedPort("COM1", 0);
  com.onWrite = [&com](std::int64_t now, const std::uint8_t*, std::size_t) {
    com.deliver(":", now + 48000);
  };
  machine().pressEnter(4);
  EXPECT_EQ(0, findModule(ctx()));
  EXPECT_EQ(Failed, ctx().candidates[0].state.load());
  EXPECT_FALSE(ctx().port->isOpen());
  EXPECT_FALSE(com.isOpen);
  EXPECT_EQ(1, com.opens);  // Failed: never probed again
  // The probe did hear the module, but after the time allowed to it.
  EXPECT_EQ(kPrompt13 + probeLine("COM1", 115200) + "porta aperta: " +
                "CONNESSO!\n" + kNotFound + kPrompt16 + kPrompt16 + kPrompt16,
            machine().console);
}

TEST_F(DiscoveryTest, OnlyTheFirstByteAfterTheProbeCounts) {
  listedPort("COM1", 0, "x");
  machine().pressEnter(4);
  EXPECT_EQ(0, findModule(ctx()));
  EXPECT_EQ(NoAnswer, ctx().candidates[0].state.load());
  EXPECT_EQ(4, machine().port("COM1")->opens);
  EXPECT_EQ(4, ctx().baudIndex);
  EXPECT_EQ(4, machine().keyReads);
  EXPECT_NE(std::string::npos, logText().find(" -> a\n <- x\nmodulo V&L"));
}

TEST_F(DiscoveryTest, HostileRegistryDataIsListedSafely) {
  // No NUL at the end, a name that cannot fit, an empty one, and more
  // values than the list holds.
  machine().setValue(kSerialComm, "a", pf::REG_SZ, "COM7");
  machine().setValue(kSerialComm, "b", pf::REG_SZ, std::string(60, 'X'));
  machine().setValue(kSerialComm, "c", pf::REG_SZ, std::string("\0COM9", 5));
  machine().setValue(kSerialComm, std::string(100, 'n'), pf::REG_SZ,
                     "COM8" + std::string(40, '\0'));
  for (int i = 0; i < 300; ++i)
    machine().setValue(kSerialComm, "v" + std::to_string(i), pf::REG_SZ,
                       "COM" + std::to_string(100 + i));
  listSerialPorts(ctx());
  ASSERT_EQ(256, ctx().candidateCount);
  EXPECT_STREQ("COM7", ctx().candidates[0].name);
  EXPECT_STREQ("COM8", ctx().candidates[1].name);
  EXPECT_STREQ("COM100", ctx().candidates[2].name);
  EXPECT_STREQ("COM353", ctx().candidates[255].name);
}

TEST_F(DiscoveryTest, TheBuffersGrowForALongEntryButNotForMoreThanAPortNeeds) {
  // The name's room doubles, with one more for its NUL; a value that
  // reports more data than any port's entry ends the list there.
  machine().setValue(kSerialComm, std::string(100, 'n'), pf::REG_SZ, "COM7");
  machine().setValue(kSerialComm, "b", pf::REG_SZ, "COM8" + std::string(0x10000, '\0'));
  machine().setValue(kSerialComm, "c", pf::REG_SZ, "COM9");
  std::vector<std::size_t> sizes;
  machine().allocationFails = [&sizes](std::size_t size) {
    sizes.push_back(size);
    return false;
  };
  listSerialPorts(ctx());
  EXPECT_EQ(1, ctx().candidateCount);
  EXPECT_EQ((std::vector<std::size_t>{32, 32, 66, 32, 134, 32, 134, 32}), sizes);
}

TEST_F(DiscoveryTest, RunningOutOfMemoryKeepsThePortsListedSoFar) {
  listedPort("COM1");
  listedPort("COM2");
  listedPort("COM3");
  machine().allocationFails = [&](std::size_t) {
    return machine().calls(sim::Call::RegEnumValueA) >= 2;
  };
  listSerialPorts(ctx());
  EXPECT_EQ(2, ctx().candidateCount);
}

}  // namespace
