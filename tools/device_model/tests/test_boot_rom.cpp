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
