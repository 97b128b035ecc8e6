#include <gtest/gtest.h>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "virtual_pc.h"

namespace devmodel {
namespace {

using testing::kMs;
using testing::kSec;
using testing::VirtualPc;

// What the utility does for one ordinary record: CR, the text, echo, "/".
bool sendRecord(VirtualPc& pc, const std::string& text) {
  pc.send("\r");
  if (!pc.waitFor("\r", 1000 * kMs)) return false;
  pc.seen.clear();
  pc.send(text);
  return pc.waitFor(text, 1000 * kMs) && pc.waitFor("/", 1000 * kMs);
}

class BootRom : public ::testing::Test {
 protected:
  void SetUp() override { cfg.romLoaderText = makeRomLoaderText(12, 7); }
  ModuleConfig cfg;
};

// The loader file sent the utility's way: probe, then each record with its
// CR, echo and "/", read-backs in 0871xxxx, the cut-short echo of the UART
// retiming record, and the unanswered end record that starts blob.
TEST_F(BootRom, WholeLoaderFileIsStoredVerifiedAndHandsOverToBlob) {
  Module m(cfg);
  VirtualPc pc(m);
  pc.send("a");
  ASSERT_EQ(pc.listen(10 * kMs), ":");

  bool sawPartialEcho = false;
  for (const auto& record : parseRomLoaderText(*cfg.romLoaderText).records) {
    const std::string& text = record.text;
    if (text == kPartialEchoRecord) {
      sawPartialEcho = true;
      pc.send(text);
      ASSERT_EQ(pc.listen(10 * kMs), "0021B000C4E74");
    } else if (text == kEndRecord) {
      pc.send(text);
    } else {
      ASSERT_TRUE(sendRecord(pc, text)) << text;
      if (text.find("0871") != std::string::npos) {
        auto control = static_cast<uint8_t>(std::stoul(text.substr(8, 2), nullptr, 16));
        std::string header = text.substr(0, 8) + hexText({uint8_t(control | kRecordReadBack)});
        pc.send(header);
        ASSERT_TRUE(pc.waitFor(header + text.substr(10) + "/", 1000 * kMs)) << pc.seen;
      }
    }
  }
  EXPECT_TRUE(sawPartialEcho);

  EXPECT_EQ(pc.listen(cfg.blobStartDelayUs / 2), "");  // the end record is never answered
  EXPECT_EQ(m.stage(), Stage::Blob);
  EXPECT_TRUE(pc.waitFor("Autoboot ", 2 * kSec));
  Verdict v = m.verdict();
  EXPECT_TRUE(v.romLoaderComplete);
  EXPECT_TRUE(v.problems.empty()) << v.toText();
  EXPECT_EQ(m.eventCount("readback"), 3);
}

TEST_F(BootRom, ReadBackReturnsWhatIsInMemoryNotWhatWasAsked) {
  Module m(cfg);
  VirtualPc pc(m);
  ASSERT_TRUE(sendRecord(pc, "0871001003AABBCC"));
  ASSERT_TRUE(sendRecord(pc, "0871001002DDEE"));  // shorter rewrite
  pc.send("0871001023");
  EXPECT_TRUE(pc.waitFor("0871001023DDEECC/", 100 * kMs)) << pc.seen;
  pc.send("087100f022");  // never written: erased; header echoed as sent
  EXPECT_TRUE(pc.waitFor("087100f022FFFF/", 100 * kMs)) << pc.seen;
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
}

// The line faults the utility's tests inject: unanswered CRs, and echoes
// lost or mangled on chosen attempts while the data still lands.
TEST_F(BootRom, CarriageReturnAndEchoFaultsHitOnlyTheChosenAttempts) {
  cfg.romLoaderText.reset();
  cfg.ignoreCr = 2;
  cfg.dropEcho = {2, 2};     // second distinct record, first two attempts
  cfg.corruptEcho = {3, 1};  // third record, first attempt
  Module m(cfg);
  VirtualPc pc(m);
  for (int i = 0; i < 2; ++i) {
    pc.send("\r");
    EXPECT_EQ(pc.listen(10 * kMs), "");
  }
  EXPECT_TRUE(sendRecord(pc, "A000000001AA"));
  EXPECT_FALSE(sendRecord(pc, "A000004001BB"));
  EXPECT_FALSE(sendRecord(pc, "A000004001BB"));
  EXPECT_TRUE(sendRecord(pc, "A000004001BB"));
  EXPECT_EQ(m.romMemory().at(0xA0000040), 0xBB);

  pc.send("\r");
  pc.listen(10 * kMs);
  pc.send("A000008001CC");
  EXPECT_EQ(pc.listen(10 * kMs), "A000008001C0/");
  EXPECT_TRUE(sendRecord(pc, "A000008001CC"));
}

TEST_F(BootRom, VerdictNamesMissingWrongAndForeignRecords) {
  cfg.romLoaderText = "A000000001AA\nA000004001BB\nA000008001CC\n0871800000\n";
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

}  // namespace
}  // namespace devmodel
