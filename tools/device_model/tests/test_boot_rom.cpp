#include <gtest/gtest.h>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "virtual_pc.h"

namespace devmodel {
namespace {

using testing::kMs;
using testing::kSec;
using testing::VirtualPc;

std::string readBackHeader(const std::string& record) {
  auto control = static_cast<uint8_t>(std::stoul(record.substr(8, 2), nullptr, 16));
  return record.substr(0, 8) + hexText({static_cast<uint8_t>(control | kRecordReadBack)});
}

// What the utility does for one ordinary record: CR, the text, echo, "/".
bool sendRecord(VirtualPc& pc, const std::string& text) {
  pc.send("\r");
  if (!pc.waitFor("\r", 1000 * kMs)) return false;
  pc.seen.clear();
  pc.send(text);
  return pc.waitFor(text, 1000 * kMs) && pc.waitFor("/", 1000 * kMs);
}

std::vector<std::string> recordLines(const std::string& file) {
  std::vector<std::string> out;
  for (const auto& r : parseRomLoaderText(file).records) out.push_back(r.text);
  return out;
}

class BootRom : public ::testing::Test {
 protected:
  void SetUp() override { cfg.romLoaderText = makeRomLoaderText(12, 7); }

  // Runs the ROM loader file the way the utility does; stops at the first
  // record that does not get its answer.
  bool runRomLoader(VirtualPc& pc) {
    auto lines = recordLines(*cfg.romLoaderText);
    for (const auto& text : lines) {
      if (text == kPartialEchoRecord) {
        pc.send(text);
        if (!pc.waitFor("0021B000C4E74", 1000 * kMs)) return false;
      } else if (text == kEndRecord) {
        pc.send(text);
      } else {
        if (!sendRecord(pc, text)) return false;
        if (text.find("0871") != std::string::npos) {
          std::string header = readBackHeader(text);
          pc.send(header);
          if (!pc.waitFor(header + text.substr(10) + "/", 1000 * kMs)) return false;
        }
      }
    }
    return true;
  }

  ModuleConfig cfg;
};

TEST_F(BootRom, ProbeAndCarriageReturnAreAnswered) {
  Module m(cfg);
  VirtualPc pc(m);
  pc.send("a");
  EXPECT_EQ(pc.listen(10 * kMs), ":");
  pc.send("\r");
  EXPECT_EQ(pc.listen(10 * kMs), "\r");
}

TEST_F(BootRom, WholeLoaderFileIsStoredVerifiedAndHandsOverToBlob) {
  Module m(cfg);
  VirtualPc pc(m);
  pc.send("a");
  ASSERT_TRUE(pc.waitFor(":", 1000 * kMs));
  ASSERT_TRUE(runRomLoader(pc));

  // The end record itself is never answered ...
  EXPECT_EQ(pc.listen(cfg.blobStartDelayUs / 2), "");
  EXPECT_EQ(m.stage(), Stage::Blob);
  // ... but shortly afterwards blob announces itself.
  EXPECT_TRUE(pc.waitFor("Autoboot ", 2 * kSec));

  Verdict v = m.verdict();
  EXPECT_TRUE(v.romLoaderComplete);
  EXPECT_TRUE(v.problems.empty()) << v.toText();
  EXPECT_EQ(m.eventCount("readback"), 3);  // records 4, 8, 12 are in 0871xxxx
}

TEST_F(BootRom, UartRetimingRecordCutsItsEchoShort) {
  Module m(cfg);
  VirtualPc pc(m);
  pc.send(kPartialEchoRecord);
  EXPECT_EQ(pc.listen(10 * kMs), "0021B000C4E74");
  EXPECT_EQ(m.romMemory().at(0x0021B000), 0xE7);
}

TEST_F(BootRom, ReadBackReturnsWhatIsInMemoryNotWhatWasAsked) {
  Module m(cfg);
  VirtualPc pc(m);
  ASSERT_TRUE(sendRecord(pc, "0871001003AABBCC"));
  ASSERT_TRUE(sendRecord(pc, "0871001002DDEE"));  // shorter rewrite
  pc.send("0871001023");  // asks for three bytes
  EXPECT_TRUE(pc.waitFor("0871001023DDEECC/", 100 * kMs)) << pc.seen;
  // Never written: erased memory.
  pc.send("0871F00022");
  EXPECT_TRUE(pc.waitFor("0871F00022FFFF/", 100 * kMs)) << pc.seen;
  // Lower-case hex is accepted; stored text is upper case.
  ASSERT_TRUE(sendRecord(pc, "0871002001ab"));
  pc.send("0871002021");
  EXPECT_TRUE(pc.waitFor("0871002021AB/", 100 * kMs));
  pc.send("087100a021");  // header echoed as sent
  EXPECT_TRUE(pc.waitFor("087100a021FF/", 100 * kMs)) << pc.seen;
}

TEST_F(BootRom, RepliesTakeWireTimeAtTheCurrentRate) {
  cfg.replyDelayUs = 500;
  Module m(cfg);
  VirtualPc pc(m, 9600);  // 1041 us per byte
  pc.send("a");
  int64_t sentAt = pc.now - 100;
  EXPECT_EQ(m.nextEventUs(), sentAt + 500 + 1041);
  EXPECT_EQ(m.takeText(sentAt + 1500), "");
  EXPECT_EQ(m.takeText(sentAt + 1541), ":");
  EXPECT_EQ(m.nextEventUs(), kNever);
}

TEST_F(BootRom, BytesInFlightAreLostWhenThePortCloses) {
  Module m(cfg);
  VirtualPc pc(m);
  pc.send("a");
  m.close(pc.now);
  m.open(pc.now + 10 * kMs);
  EXPECT_EQ(m.takeText(pc.now + 20 * kMs), "");
}

TEST_F(BootRom, AnswersOnlyAtItsOwnRate) {
  cfg.answerBaud = 38400;
  Module m(cfg);
  VirtualPc pc(m, 115200);
  pc.send("a");
  std::string noise = pc.listen(10 * kMs);
  EXPECT_FALSE(noise.empty());
  EXPECT_EQ(noise.find(':'), std::string::npos);

  m.setLineSpeed(38400);
  pc.send("a");
  EXPECT_EQ(pc.listen(10 * kMs), ":");

  ModuleConfig quiet = cfg;
  quiet.garbageAtWrongBaud = false;
  quiet.romLoaderText.reset();
  Module q(quiet);
  VirtualPc qpc(q, 19200);
  qpc.send("a\r");
  EXPECT_EQ(qpc.listen(10 * kMs), "");
  // Noise at a wrong rate is not held against the PC.
  EXPECT_TRUE(q.verdict().problems.empty());
}

TEST_F(BootRom, ProbePrefixAndUnansweredCarriageReturns) {
  cfg.probePrefix = "x";
  cfg.ignoreCr = 2;
  Module m(cfg);
  VirtualPc pc(m);
  pc.send("a");
  EXPECT_EQ(pc.listen(10 * kMs), "x:");
  for (int i = 0; i < 2; ++i) {
    pc.send("\r");
    EXPECT_EQ(pc.listen(10 * kMs), "");
  }
  pc.send("\r");
  EXPECT_EQ(pc.listen(10 * kMs), "\r");
}

TEST_F(BootRom, EchoFaultsHitOnlyTheChosenAttempts) {
  cfg.romLoaderText.reset();
  cfg.dropEcho = {2, 2};     // second distinct record, first two attempts
  cfg.corruptEcho = {3, 1};  // third record, first attempt
  Module m(cfg);
  VirtualPc pc(m);
  EXPECT_TRUE(sendRecord(pc, "A000000001AA"));
  EXPECT_FALSE(sendRecord(pc, "A000004001BB"));
  EXPECT_FALSE(sendRecord(pc, "A000004001BB"));
  EXPECT_TRUE(sendRecord(pc, "A000004001BB"));

  pc.send("\r");
  pc.listen(10 * kMs);
  pc.send("A000008001CC");
  EXPECT_EQ(pc.listen(10 * kMs), "A000008001C0/");
  EXPECT_TRUE(sendRecord(pc, "A000008001CC"));
  // A dropped or mangled echo is a line fault: the data still landed.
  EXPECT_EQ(m.romMemory().at(0xA0000040), 0xBB);
}

TEST_F(BootRom, CorruptReadBackEveryRecord) {
  cfg.romLoaderText.reset();
  cfg.corruptReadBack = {-1, -1};
  Module m(cfg);
  VirtualPc pc(m);
  ASSERT_TRUE(sendRecord(pc, "0871000001A5"));
  pc.send("0871000021");
  EXPECT_EQ(pc.listen(10 * kMs), "087100002105/");
  pc.send("0871000021");
  EXPECT_EQ(pc.listen(10 * kMs), "087100002105/");
}

TEST_F(BootRom, VerdictNamesMissingWrongAndForeignRecords) {
  cfg.romLoaderText = "# three records\nA000000001AA\nA000004001BB\nA000008001CC\n0871800000\n";
  Module m(cfg);
  VirtualPc pc(m);
  ASSERT_TRUE(sendRecord(pc, "A000000001AA"));
  ASSERT_TRUE(sendRecord(pc, "A000004001B0"));  // corrupted on the way
  ASSERT_TRUE(sendRecord(pc, "B000000001AA"));  // garbage that looks like a record
  pc.send("0871800000");

  Verdict v = m.verdict();
  EXPECT_FALSE(v.romLoaderComplete);
  std::string text = v.toText();
  EXPECT_NE(text.find("not in the ROM loader file: B000000001AA"), std::string::npos) << text;
  EXPECT_NE(text.find("A0000040 holds B0"), std::string::npos) << text;
  EXPECT_NE(text.find("never arrived: A000008001CC"), std::string::npos) << text;
}

TEST_F(BootRom, GarbageAndTruncatedRecordsAreReported) {
  cfg.romLoaderText = "A000000001AA\n0871800000\n";
  Module m(cfg);
  VirtualPc pc(m);
  pc.send("\rA0000000");
  pc.send("\r");  // the rest never came
  pc.send("A0Z");
  ASSERT_TRUE(sendRecord(pc, "A000000001AA"));
  pc.send("0871800000");

  Verdict v = m.verdict();
  EXPECT_FALSE(v.romLoaderComplete);
  ASSERT_EQ(v.problems.size(), 2u) << v.toText();
  EXPECT_NE(v.problems[0].find("incomplete record"), std::string::npos);
  EXPECT_NE(v.problems[1].find("garbage byte 0x5A"), std::string::npos);
}

}  // namespace
}  // namespace devmodel
