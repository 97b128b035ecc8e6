// Whole runs of the program with the fault campaign's settings drawn from
// the fuzzer's bytes instead of a seed: every choice of the setting (the
// machine, the ports, the input files, which faults strike and when) comes
// from the input, so coverage steers the mix of faults. Any violated
// invariant aborts, with the setting printed, and libFuzzer keeps the
// input; an input that runs dry draws the plain case for the rest.
#include <fuzzer/FuzzedDataProvider.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>

#include "tools/campaign/campaign.h"

// A probe abandoned in the last moments of a run may not have run again
// before the process ends; Windows then ends its thread without a word,
// the simulated machine ends it at its wait, and its share of the probe's
// record is never given back. That is the end of a process, not a leak.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:startProbe\n";
}

// The simulated machine runs one of its threads at a time and hands the
// processor from one to the next at every pause of a probe, hundreds of
// times a run. Woken on another processor, the next thread costs an
// interrupt between processors, which on a virtual machine was the largest
// single cost of a run; on one processor the hand-over is a plain switch,
// and nothing is lost, since they never run together.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int processor = sched_getcpu();
  if (processor >= 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(processor, &one);
    sched_setaffinity(0, sizeof one, &one);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  campaign::Choices choices;
  choices.below = [&provider](std::uint32_t n) -> std::uint32_t {
    return n == 0 ? 0 : provider.ConsumeIntegralInRange<std::uint32_t>(0, n - 1);
  };
  const campaign::Setting setting = campaign::draw(choices);
  // For a replay of one input: what it drew.
  if (std::getenv("VANTOR_FUZZ_SHOW") != nullptr)
    std::fprintf(stderr, "%s", setting.describe().c_str());
  const campaign::Outcome outcome = campaign::run(setting);
  if (outcome.violations.empty()) return 0;
  std::fprintf(stderr, "\n%s", setting.describe().c_str());
  for (const std::string& violation : outcome.violations)
    std::fprintf(stderr, "invariant violated: %s\n", violation.c_str());
  std::fflush(stderr);
  std::abort();
}
