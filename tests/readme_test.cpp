// The README's claims about the program and its builds, held to the code
// and the scripts they describe.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "stages/image_transfer.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Line breaks and runs of blanks as one blank, as the text reads.
std::string oneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    bool blank = c == ' ' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out.push_back(blank ? ' ' : c);
  }
  return out;
}

class ReadmeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    readme_ = oneLine(readFile(std::string(VANTOR_SOURCE_DIR) + "/README.md"));
    ASSERT_FALSE(readme_.empty());
  }
  bool says(const std::string& words) const {
    return readme_.find(words) != std::string::npos;
  }
  std::string readme_;
};

TEST_F(ReadmeTest, TheLogIsNotSaidToHoldTheBootLoadersLines) {
  // The boot loader stage writes the file's lines with the port's own
  // write, which logs nothing; the fault campaign skips them for that.
  EXPECT_TRUE(says("the lines of the boot loader file go out unlogged"));
  EXPECT_TRUE(says("every byte sent (but the boot loader file's lines) and received"));
  EXPECT_FALSE(says("Every byte on the serial line is recorded"));
}

TEST_F(ReadmeTest, ExplorerShowsTheVersionUnderDetails) {
  EXPECT_TRUE(says("Properties, Details"));
}

TEST_F(ReadmeTest, BuildProductsAreNamedInTheFolderThatHoldsThem) {
  // The host build's products lie in whatever folder that build was made
  // in; only the folders the scripts fix may be named.
  for (const char* fixed : {"build/windows32", "build/windows64", "build/tools/"})
    EXPECT_FALSE(says(fixed)) << fixed;
  std::string script = readFile(std::string(VANTOR_SOURCE_DIR) + "/scripts/campaign.sh");
  std::smatch folder;
  ASSERT_TRUE(std::regex_search(script, folder,
                                std::regex("build=\"\\$\\{VANTOR_CAMPAIGN_BUILD:-([^}]+)\\}\"")));
  EXPECT_TRUE(says(folder[1].str() + "/tools/campaign/vantor_campaign --replay"))
      << "the replay of a seed must use the folder scripts/campaign.sh builds in: "
      << folder[1].str();
  std::string package = readFile(std::string(VANTOR_SOURCE_DIR) + "/scripts/package.sh");
  EXPECT_NE(std::string::npos, package.find("build=build/package"));
  EXPECT_TRUE(says("`build/package/`"));
}

TEST_F(ReadmeTest, TheWindowsThatAlwaysTakeTheAppletAreNamed) {
  // The older path, with the applet and the pause after the copy, is the
  // one of version 6.0 (Vista) and the 9x family; Windows 8 and later
  // report 6.2 to a program without a manifest (see also the guide test).
  EXPECT_TRUE(says("On Windows Vista and Server 2008 (version 6.0) the program always opens "
                   "the hot-plug applet"));
  EXPECT_TRUE(says("report version 6.2 to a program without a manifest"));
  EXPECT_TRUE(says("pauses " + std::to_string(kOlderWindowsAfterCopyMs / 1000) +
                   " seconds after each copy"));
}

}  // namespace
