#include <gtest/gtest.h>

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
  std::map<std::string, Bytes> disk;
};

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

}  // namespace
}  // namespace devmodel
