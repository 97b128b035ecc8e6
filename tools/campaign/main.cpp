// vantor_campaign: runs drawn settings one seed after the other and prints
// the figures; every violated invariant is printed with the seed that
// replays it.
//   vantor_campaign [--runs N] [--seed FIRST] [--replay SEED] [--show]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tools/campaign/campaign.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: vantor_campaign [--runs N] [--seed FIRST] [--replay SEED] [--show]\n"
               "  --runs N       how many settings to draw (default 200)\n"
               "  --seed FIRST   seed of the first run; run i uses FIRST + i (default 1)\n"
               "  --replay SEED  one run of that seed, with its setting and verdict\n"
               "  --show         print every run's setting, not only failing ones\n");
}

}  // namespace

// A probe abandoned in the last moments of a run may not have run again
// before the process ends; Windows then ends its thread without a word,
// the simulated machine ends it at its wait, and its share of the probe's
// record is never given back. That is the end of a process, not a leak.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:startProbe\n";
}

int main(int argc, char** argv) {
  unsigned long long first = 1;
  long runs = 200;
  bool show = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (std::strcmp(arg, "--runs") == 0 && value != nullptr) {
      runs = std::strtol(value, nullptr, 10);
      ++i;
    } else if (std::strcmp(arg, "--seed") == 0 && value != nullptr) {
      first = std::strtoull(value, nullptr, 10);
      ++i;
    } else if (std::strcmp(arg, "--replay") == 0 && value != nullptr) {
      first = std::strtoull(value, nullptr, 10);
      runs = 1;
      show = true;
      ++i;
    } else if (std::strcmp(arg, "--show") == 0) {
      show = true;
    } else {
      usage();
      return 2;
    }
  }
  if (runs < 1) {
    usage();
    return 2;
  }

  const auto started = std::chrono::steady_clock::now();
  long succeeded = 0, failed = 0, impossible = 0, faultless = 0, violating = 0;
  double virtualSeconds = 0;
  std::map<std::string, long> drawn, drawnSucceeded;
  std::map<std::string, long> violationKinds;
  for (long i = 0; i < runs; ++i) {
    const unsigned long long seed = first + static_cast<unsigned long long>(i);
    campaign::Choices choices = campaign::seeded(seed);
    campaign::Setting setting = campaign::draw(choices);
    campaign::Outcome outcome = campaign::run(setting);
    virtualSeconds += static_cast<double>(outcome.endUs) / 1e6;
    if (outcome.ended && outcome.status == 0) ++succeeded;
    if (outcome.ended && outcome.status == -1) ++failed;
    if (outcome.impossible) ++impossible;
    if (setting.faults.empty()) ++faultless;
    for (const std::string& kind : setting.faults) {
      ++drawn[kind];
      if (outcome.ended && outcome.status == 0) ++drawnSucceeded[kind];
    }
    if (show || !outcome.violations.empty()) {
      std::printf("---- seed %llu: %s, status %d, %.1f s of virtual time\n%s", seed,
                  outcome.ended ? "ended" : "did not end", outcome.status,
                  static_cast<double>(outcome.endUs) / 1e6, setting.describe().c_str());
      if (show) std::printf("verdict:\n%s", outcome.verdict.c_str());
    }
    if (!outcome.violations.empty()) {
      ++violating;
      for (const std::string& violation : outcome.violations) {
        std::printf("VIOLATION (seed %llu): %s\n", seed, violation.c_str());
        ++violationKinds[violation.substr(0, violation.find_first_of("\"(:\n"))];
      }
      std::printf("replay: vantor_campaign --replay %llu\n", seed);
    }
    std::fflush(stdout);
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("==== campaign: seeds %llu to %llu\n", first,
              first + static_cast<unsigned long long>(runs) - 1);
  std::printf("runs %ld: ended 0: %ld, ended -1: %ld, other: %ld\n", runs, succeeded, failed,
              runs - succeeded - failed);
  std::printf("runs without faults: %ld; runs where a fault ruled success out: %ld\n",
              faultless, impossible);
  std::printf("faults drawn, by kind (runs, of which ended 0):\n");
  for (const auto& kind : drawn)
    std::printf("  %-42s %6ld %6ld\n", kind.first.c_str(), kind.second,
                drawnSucceeded[kind.first]);
  std::printf("runs violating an invariant: %ld\n", violating);
  for (const auto& kind : violationKinds)
    std::printf("  %-60s %ld\n", kind.first.c_str(), kind.second);
  std::printf("virtual time %.0f s, wall time %.1f s\n", virtualSeconds, wall);
  return violating == 0 ? 0 : 1;
}
