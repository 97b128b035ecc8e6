// Whole runs of the program with the fault campaign's settings drawn from
// the fuzzer's bytes instead of a seed: every choice of the setting (the
// machine, the ports, the input files, which faults strike and when) comes
// from the input, so coverage steers the mix of faults. Any violated
// invariant aborts, with the setting printed, and libFuzzer keeps the
// input; an input that runs dry draws the plain case for the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "tests/campaign/campaign.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  campaign::Choices choices;
  choices.below = [&provider](std::uint32_t n) -> std::uint32_t {
    return n == 0 ? 0 : provider.ConsumeIntegralInRange<std::uint32_t>(0, n - 1);
  };
  const campaign::Setting setting = campaign::draw(choices);
  const campaign::Outcome outcome = campaign::run(setting);
  if (outcome.violations.empty()) return 0;
  std::fprintf(stderr, "\n%s", setting.describe().c_str());
  for (const std::string& violation : outcome.violations)
    std::fprintf(stderr, "invariant violated: %s\n", violation.c_str());
  std::fflush(stderr);
  std::abort();
}
