// The campaign's own promises: a seed replays its run exactly, and a
// source of choices that runs dry draws a run without faults, which must
// succeed.
#include <gtest/gtest.h>

#include "tools/campaign/campaign.h"

namespace {

TEST(CampaignTest, ASeedReplaysItsRunExactly) {
  for (std::uint64_t seed : {5u, 77u, 1234u}) {
    campaign::Choices first = campaign::seeded(seed);
    campaign::Choices second = campaign::seeded(seed);
    const campaign::Setting a = campaign::draw(first);
    const campaign::Setting b = campaign::draw(second);
    ASSERT_EQ(a.describe(), b.describe());
    const campaign::Outcome x = campaign::run(a);
    const campaign::Outcome y = campaign::run(b);
    EXPECT_EQ(x.status, y.status) << seed;
    EXPECT_EQ(x.endUs, y.endUs) << seed;
    EXPECT_EQ(x.verdict, y.verdict) << seed;
  }
}

TEST(CampaignTest, ADrySourceDrawsAPlainRunThatSucceeds) {
  campaign::Choices dry;
  dry.below = [](std::uint32_t) { return 0u; };
  const campaign::Setting setting = campaign::draw(dry);
  EXPECT_TRUE(setting.faults.empty());
  EXPECT_TRUE(setting.fatal.empty());
  const campaign::Outcome outcome = campaign::run(setting);
  EXPECT_TRUE(outcome.ended) << outcome.stopReason;
  EXPECT_EQ(0, outcome.status) << outcome.verdict;
  EXPECT_TRUE(outcome.violations.empty()) << outcome.violations.front();
  EXPECT_LE(outcome.endUs, outcome.boundUs);
}

}  // namespace
