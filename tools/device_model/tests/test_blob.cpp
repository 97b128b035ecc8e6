#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "devmodel/uucode.h"
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

bool contains(const std::vector<std::string>& v, const std::string& needle) {
  return std::any_of(v.begin(), v.end(), [&](const std::string& s) {
    return s.find(needle) != std::string::npos;
  });
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
      auto it = disk.find(name);
      if (it == disk.end()) return std::nullopt;
      return it->second;
    };
    return m;
  }

  // Break, banner, prompt, and the utility's check for a clean prompt.
  static bool reachPrompt(VirtualPc& pc) {
    pc.m.lineBreak(pc.now, 375);
    if (!pc.waitFor("Autoboot ", 2 * kSec)) return false;
    pc.send("\n");
    if (!pc.waitFor("blob>", 2 * kSec)) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
      pc.send("\n");
      if (!pc.waitFor("blob>", 1 * kSec)) return false;
      if (!pc.waitFor("*** serial port error", 500 * kMs)) return true;
      pc.m.lineBreak(pc.now, 375);
      pc.send("\n");
    }
    return false;
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
  ASSERT_TRUE(reachPrompt(pc));
  ASSERT_TRUE(downloadBlob(pc, in.bootLoaderUue));
  EXPECT_EQ(m->bootLoaderReceived(), in.bootLoader);

  int64_t flashStart = pc.now;
  ASSERT_TRUE(flash(pc, "blob"));
  EXPECT_GE(pc.now - flashStart, cfg.flashBlobDelayUs);

  // The operator power-cycles; the new blob comes up by itself.
  ASSERT_TRUE(pc.waitFor("Autoboot", kForever));
  EXPECT_GE(pc.now - flashStart, cfg.flashBlobDelayUs + cfg.powerCycleDelayUs);
  pc.send("\n");
  ASSERT_TRUE(pc.waitFor("blob>", 2 * kSec));
  ASSERT_TRUE(reachPrompt(pc));

  ASSERT_TRUE(sendImage(pc, "kernel", in.kernel));
  ASSERT_TRUE(flash(pc, "kernel"));
  ASSERT_TRUE(sendImage(pc, "ramdisk", in.ramdisk));
  ASSERT_TRUE(flash(pc, "ramdisk"));

  EXPECT_EQ(attached, (std::vector<std::string>{"kernel", "ramdisk"}));
  Verdict v = m->verdict();
  EXPECT_TRUE(v.ok()) << v.toText();
  EXPECT_EQ(m->eventCount("power-cycle"), 1);
}

TEST_F(Blob, BannerComesFromLongBreaksAndFromOpeningTheLine) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(pc.waitFor("Autoboot ", 1 * kSec));  // start-up
  pc.send("\n");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  pc.listen(10 * kMs);

  m->lineBreak(pc.now, 20);  // glitch, not a break
  EXPECT_EQ(pc.listen(100 * kMs), "");
  m->lineBreak(pc.now, 375);
  EXPECT_TRUE(pc.waitFor("Autoboot ", 100 * kMs));

  m->close(pc.now);
  m->open(pc.now + 50 * kMs);
  EXPECT_TRUE(pc.waitFor("Autoboot ", 200 * kMs));

  cfg.bannerOnOpen = false;
  auto quiet = make();
  VirtualPc qpc(*quiet);
  qpc.listen(1 * kSec);
  quiet->close(qpc.now);
  quiet->open(qpc.now);
  EXPECT_EQ(qpc.listen(100 * kMs), "");
}

TEST_F(Blob, WrongRateMangledOutputAndIgnoredInput) {
  auto m = make();
  VirtualPc pc(*m, 38400);
  std::string heard = pc.listen(1 * kSec);
  EXPECT_FALSE(heard.empty());
  EXPECT_EQ(heard.find("Autoboot"), std::string::npos);
  pc.send("status\n");
  EXPECT_EQ(m->blobState(), BlobState::AwaitKey);
}

TEST_F(Blob, CorruptedTransferIsFlashedButReported) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  auto uue = lines(in.bootLoaderUue);
  uue[3][10] = uue[3][10] == 'A' ? 'B' : 'A';  // still valid uuencode
  uue[5] = "Mz";                               // not uuencode at all
  std::string text;
  for (const auto& l : uue) text += l + "\n";
  ASSERT_TRUE(downloadBlob(pc, text));
  ASSERT_TRUE(flash(pc, "blob"));

  Verdict v = m->verdict();
  EXPECT_FALSE(v.bootLoaderFlashed);
  EXPECT_TRUE(contains(v.problems, "malformed uuencoded line")) << v.toText();
  EXPECT_TRUE(contains(v.problems, "blob image differs")) << v.toText();
}

TEST_F(Blob, ImagesMustBeReceivedAndMatch) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));

  pc.command("flash kernel");
  ASSERT_TRUE(pc.waitFor("not downloaded", 1 * kSec));
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  pc.command("flash blob");
  ASSERT_TRUE(pc.waitFor("not downloaded", 1 * kSec));

  Bytes wrong(in.ramdisk.begin(), in.ramdisk.end() - 1);  // last byte lost
  ASSERT_TRUE(sendImage(pc, "ramdisk", wrong));
  ASSERT_TRUE(flash(pc, "ramdisk"));

  Verdict v = m->verdict();
  EXPECT_FALSE(v.kernelFlashed);
  EXPECT_FALSE(v.ramdiskFlashed);
  EXPECT_TRUE(contains(v.problems, "flash kernel without the image"));
  EXPECT_TRUE(contains(v.problems, "ramdisk image differs from the expected one: 6999 bytes"))
      << v.toText();
}

TEST_F(Blob, PowerCycleForgetsWhatWasOnTheDisk) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  ASSERT_TRUE(sendImage(pc, "kernel", in.kernel));
  ASSERT_TRUE(downloadBlob(pc, in.bootLoaderUue));
  ASSERT_TRUE(flash(pc, "blob"));
  ASSERT_TRUE(pc.waitFor("Autoboot", kForever));
  pc.send("\n");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  pc.command("flash kernel");
  EXPECT_TRUE(pc.waitFor("not downloaded", 1 * kSec));
}

TEST_F(Blob, NobodyPowerCycles) {
  cfg.powerCycleDelayUs = kNever;
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  ASSERT_TRUE(downloadBlob(pc, in.bootLoaderUue));
  ASSERT_TRUE(flash(pc, "blob"));
  pc.listen(10 * kMs);
  EXPECT_EQ(m->nextEventUs(), kNever);
  EXPECT_FALSE(pc.waitFor("Autoboot", 600 * kSec));
}

TEST_F(Blob, EscapeAbandonsTheUsbDiskAndLaterTriesConnect) {
  cfg.connectFromTry = 2;
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  pc.command("usbddisk kernel");
  EXPECT_FALSE(pc.waitFor("connected", 60 * kSec));
  pc.send("\x1b");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  EXPECT_TRUE(attached.empty());

  ASSERT_TRUE(sendImage(pc, "kernel", in.kernel));
  EXPECT_EQ(attached, std::vector<std::string>{"kernel"});

  // Escape after "connected": the disk goes away unused.
  pc.command("usbddisk ramdisk");  // first try for this image: silent
  EXPECT_FALSE(pc.waitFor("connected", 60 * kSec));
  pc.send("\x1b");
  pc.command("usbddisk ramdisk");
  ASSERT_TRUE(pc.waitFor("connected", 60 * kSec));
  pc.send("\x1b");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  pc.command("flash ramdisk");
  EXPECT_TRUE(pc.waitFor("not downloaded", 1 * kSec));
}

TEST_F(Blob, NeverConnects) {
  cfg.connectFromTry = 0;
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  for (int i = 0; i < 4; ++i) {
    pc.command("usbddisk kernel");
    EXPECT_FALSE(pc.waitFor("connected", 60 * kSec));
    pc.send("\x1b");
    EXPECT_TRUE(pc.waitFor("blob>", 1 * kSec));
  }
  m->diskRemoved(pc.now);  // nothing was presented
  EXPECT_TRUE(contains(m->verdict().problems, "removed while none was presented"));
}

TEST_F(Blob, SerialErrorFollowsTheFirstPrompts) {
  cfg.serialErrorPrompts = 3;
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(pc.waitFor("Autoboot ", 1 * kSec));
  for (int i = 1; i <= 4; ++i) {
    pc.send("\n");
    ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
    EXPECT_EQ(pc.waitFor("*** serial port error", 500 * kMs), i <= 3) << "prompt " << i;
  }
  // The utility's own retry loop gets through: 2 prompts in reachPrompt's
  // first round carry errors, as does the next one.
  ModuleConfig again = cfg;
  Module m2(again);
  VirtualPc pc2(m2);
  EXPECT_TRUE(reachPrompt(pc2));
}

TEST_F(Blob, MisuseShowsInTheVerdict) {
  auto m = make();
  VirtualPc pc(*m);
  ASSERT_TRUE(reachPrompt(pc));
  pc.command("flsh blob");
  ASSERT_TRUE(pc.waitFor("blob>", 1 * kSec));
  ASSERT_TRUE(downloadBlob(pc, in.bootLoaderUue));
  pc.command("flash blob");
  pc.send("\n");  // typed while the flash is being written
  ASSERT_TRUE(pc.waitFor("blob>", kForever));

  Verdict v = m->verdict();
  EXPECT_TRUE(v.bootLoaderFlashed);
  EXPECT_TRUE(contains(v.problems, "unknown command \"flsh blob\""));
  EXPECT_TRUE(contains(v.problems, "received while flashing"));
}

TEST_F(Blob, SilenceAfterAnEventOrFromATime) {
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
}

TEST_F(Blob, FloodAndNulBytesInAnswers) {
  cfg.floodAfterEvent = "prompt#2";
  cfg.floodBytes = 3000;
  cfg.nulInAnswers = true;
  auto m = make();
  VirtualPc pc(*m);
  pc.listen(1 * kSec);
  pc.send("\n");
  pc.send("\n");
  std::string heard = pc.listen(1 * kSec);
  EXPECT_NE(heard.find('\0'), std::string::npos);
  EXPECT_NE(heard.find(std::string(3000, '#')), std::string::npos);
  heard.erase(std::remove(heard.begin(), heard.end(), '\0'), heard.end());
  EXPECT_NE(heard.find(std::string(3000, '#') + "\r\nblob> "), std::string::npos);
}

}  // namespace
}  // namespace devmodel
