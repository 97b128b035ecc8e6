#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "virtual_pc.h"

namespace devmodel {
namespace {

using testing::kMs;
using testing::kSec;
using testing::VirtualPc;

constexpr int64_t kForever = 3600 * kSec;  // the utility's unlimited waits

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class Blob : public ::testing::Test {
 protected:
  Blob() {
    InputSizes sizes;
    sizes.bootLoader = 2000;
    sizes.kernel = 5000;
    sizes.ramdisk = 7000;
    in = makeInputs(sizes, 11);
    cfg.startInBlob = true;
    cfg.expectedBootLoaderUue = in.bootLoaderUue;
    cfg.expectedKernel = in.kernel;
    cfg.expectedRamdisk = in.ramdisk;
  }

  std::unique_ptr<Module> make() {
    auto m = std::make_unique<Module>(cfg);
    m->onDiskAttach = [this](const std::string& name) { attached.push_back(name); };
    m->readDisk = [this](const std::string& name) -> std::optional<Bytes> {
      return disk.count(name) ? std::optional<Bytes>(disk[name]) : std::nullopt;
    };
    return m;
  }

  // A break brings the banner; any key then brings the prompt.
  static bool reachPrompt(VirtualPc& pc) {
    pc.m.lineBreak(pc.now, 375);
    if (!pc.waitFor("Autoboot ", 2 * kSec)) return false;
    pc.send("\n");
    return pc.waitFor("blob> ", 2 * kSec);
  }

  bool downloadBlob(VirtualPc& pc, const std::string& uue) {
    pc.command("download blob");
    if (!pc.waitFor("downloading", 1 * kSec)) return false;
    for (const auto& l : lines(uue)) {
      pc.send(l + "\r\n");
      pc.listen(10 * kMs);
    }
    pc.command("");
    return pc.waitFor("blob>", 1 * kSec);
  }

  bool flash(VirtualPc& pc, const std::string& name) {
    pc.command("flash " + name);
    return pc.waitFor("blob>", kForever);
  }

  bool sendImage(VirtualPc& pc, const std::string& name, const Bytes& image) {
    pc.command("usbddisk " + name);
    if (!pc.waitFor("connected", 60 * kSec)) return false;
    disk[name] = image;
    pc.m.diskRemoved(pc.now);
    if (!pc.waitFor("blob>", kForever)) return false;
    pc.command("status");
    return pc.waitFor("blob>", 1 * kSec);
  }

  InputSet in;
  ModuleConfig cfg;
  std::vector<std::string> attached;
  std::map<std::string, Bytes> disk;
};

TEST_F(Blob, FullSessionFlashesEverythingAndVerifies) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(pc.waitFor("Autoboot ", 1 * kSec));  // opening the line
  ASSERT_TRUE(reachPrompt(pc));
  ASSERT_TRUE(downloadBlob(pc, in.bootLoaderUue));
  EXPECT_EQ(m->bootLoaderReceived(), in.bootLoader);

  ASSERT_TRUE(flash(pc, "blob"));
  // The operator power-cycles; the new blob comes up by itself.
  ASSERT_TRUE(pc.waitFor("Autoboot", kForever));
  ASSERT_TRUE(reachPrompt(pc));

  ASSERT_TRUE(sendImage(pc, "kernel", in.kernel));
  ASSERT_TRUE(flash(pc, "kernel"));
  // Escape takes the disk away unused and gives the prompt back.
  pc.command("usbddisk ramdisk");
  ASSERT_TRUE(pc.waitFor("connected", 60 * kSec));
  pc.send("\x1b");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  ASSERT_TRUE(sendImage(pc, "ramdisk", in.ramdisk));
  ASSERT_TRUE(flash(pc, "ramdisk"));

  EXPECT_EQ(attached, (std::vector<std::string>{"kernel", "ramdisk", "ramdisk"}));
  Verdict v = m->verdict();
  EXPECT_TRUE(v.ok()) << v.toText();
  EXPECT_EQ(m->eventCount("power-cycle"), 1);
}

TEST_F(Blob, VerdictCatchesBootLoaderAndImageMismatches) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  Bytes wrong(in.ramdisk.begin(), in.ramdisk.end() - 1);  // last byte lost
  ASSERT_TRUE(sendImage(pc, "ramdisk", wrong));
  ASSERT_TRUE(flash(pc, "ramdisk"));

  auto uue = lines(in.bootLoaderUue);
  uue[3][10] = uue[3][10] == 'A' ? 'B' : 'A';  // still valid uuencode
  std::string corrupted;
  for (const auto& l : uue) corrupted += l + "\n";
  ASSERT_TRUE(downloadBlob(pc, corrupted));
  ASSERT_TRUE(flash(pc, "blob"));

  Verdict v = m->verdict();
  EXPECT_FALSE(v.bootLoaderFlashed);
  EXPECT_FALSE(v.ramdiskFlashed);
  std::string text = v.toText();
  EXPECT_NE(text.find("blob image differs"), std::string::npos) << text;
  EXPECT_NE(text.find("ramdisk image differs from the expected one: 6999 bytes"),
            std::string::npos) << text;
}

TEST_F(Blob, SerialErrorPromptsAndLateConnect) {
  cfg.serialErrorPrompts = 3;
  cfg.connectFromTry = 2;
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(pc.waitFor("Autoboot ", 1 * kSec));
  for (int i = 1; i <= 4; ++i) {
    pc.send("\n");
    ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
    EXPECT_EQ(pc.waitFor("*** serial port error", 500 * kMs), i <= 3) << "prompt " << i;
  }
  pc.command("usbddisk kernel");  // first try: never connected
  EXPECT_FALSE(pc.waitFor("connected", 60 * kSec));
  pc.send("\x1b");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  EXPECT_TRUE(sendImage(pc, "kernel", in.kernel));  // second try connects
}

// The ways a module stops making sense: silence after an event or from a
// time on, a flood without line ends, NUL bytes around its answers.
TEST_F(Blob, SilenceFloodAndNulBytes) {
  cfg.silentAfterEvent = "usbddisk";
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  pc.command("usbddisk kernel");
  EXPECT_EQ(pc.listen(60 * kSec), "usbddisk kernel");  // echo came first
  EXPECT_EQ(m->eventCount("connected"), 1);  // it still works, it just says nothing

  cfg.silentAfterEvent.clear();
  cfg.silentFromUs = 5 * kSec;
  auto t = make();
  VirtualPc tpc(*t);
  ASSERT_TRUE(reachPrompt(tpc));
  tpc.now = 5 * kSec;
  tpc.send("\n");
  EXPECT_EQ(tpc.listen(1 * kSec), "");

  cfg.silentFromUs = kNever;
  cfg.floodAfterEvent = "prompt#2";
  cfg.floodBytes = 3000;
  cfg.nulInAnswers = true;
  auto f = make();
  VirtualPc fpc(*f);
  fpc.listen(1 * kSec);
  fpc.send("\n\n");
  std::string heard = fpc.listen(1 * kSec);
  EXPECT_NE(heard.find('\0'), std::string::npos);
  heard.erase(std::remove(heard.begin(), heard.end(), '\0'), heard.end());
  EXPECT_NE(heard.find(std::string(3000, '#') + "\r\nblob> "), std::string::npos);
}

}  // namespace
}  // namespace devmodel
