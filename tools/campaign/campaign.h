// A randomized fault campaign over whole runs of the program on the
// simulated machine, against the device model.
//
// Each run is drawn from a source of choices (a seeded generator, or the
// bytes of a fuzzer): the Windows version, the ports and where the module
// sits, the rate its boot ROM answers at, the input files, and a random mix
// of faults of the module, the line, the adapter, the USB disk and the
// operator, each at a random moment. The run is then checked against the
// promises that hold whatever the faults: it ends, it never reports a flash
// that did not happen, it always says why it stopped, it leaves the inputs
// alone and it logs the traffic it had.
#ifndef VANTOR_TOOLS_CAMPAIGN_CAMPAIGN_H
#define VANTOR_TOOLS_CAMPAIGN_CAMPAIGN_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "devmodel/module.h"

namespace campaign {

// Where the choices come from. `below(n)` answers a value in [0, n); a
// source that has run dry answers 0, which always means "the plain case".
struct Choices {
  std::function<std::uint32_t(std::uint32_t n)> below;

  int range(int low, int high);  // inclusive
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[below(static_cast<std::uint32_t>(from.size()))];
  }
};

// Raw engine output only, so a seed draws the same run on every library.
Choices seeded(std::uint64_t seed);

// A port of the machine that is not the module's.
enum class OtherPort { Silent, OpenFails, OpenHangs, Noisy };

// Something the simulated world does when the module reports an event
// ("name" or "name#N"), `laterUs` after it.
struct Trigger {
  std::string event;
  std::int64_t laterUs = 0;
  bool drawn() const { return !event.empty(); }
};

struct Setting {
  // Windows.
  int versionMajor = 6, versionMinor = 1, platformId = 2;

  // Ports: COM numbers, the module's index among them, what the others are.
  std::vector<int> portNumbers;
  std::vector<OtherPort> others;  // one per port; ignored at the module's
  int modulePort = 0;
  bool configured = false;       // the configuration names a port
  int configuredNumber = 0;      // which one (maybe not the module's)
  bool moduleListed = true;      // auto-detection sees the module's port
  char diskLetter = 'E';
  std::vector<char> otherDrives;

  // Input files.
  int records = 12;
  std::size_t bootLoaderSize = 3000, kernelSize = 9000, ramdiskSize = 12000;
  bool crlf = false;
  int commentLines = 0;
  int trailingComments = 0;
  std::uint32_t inputSeed = 7;

  // The module: line rate and every fault it can play.
  devmodel::ModuleConfig module;

  // The machine, the USB disk and the operator.
  Trigger unplug;                  // the adapter is pulled out
  std::int64_t unplugAtUs = -1;    // or at this moment
  // One platform call that fails once: its index in sim::Call and which
  // call of that kind, counted from the start.
  int failingCall = -1;
  int failingNth = 0;
  struct Burst {
    Trigger at;
    std::string bytes;
  };
  std::vector<Burst> noise;        // bytes on the line the module never sent
  std::int64_t diskDelayUs = 1500000;
  int copyRefused = 0;            // 1: the kernel's copy fails, 2: the ramdisk's
  int copyCancelled = 0;          // 1: the kernel's copy is cancelled, 2: the ramdisk's
  int cancelResult = 0;           // what SHFileOperationA answers to that cancel
  std::string lostImage;          // the disk loses it: "not downloaded"
  int ejectRefusals = 0;          // -1: every eject refused
  std::int64_t ejectLagUs = 0;    // the letter goes this long after an eject
  std::int64_t appletRemovalUs = 4000000;
  int earlyEnters = 0;            // typed before the program asks
  int entersPerRequest = 1;       // pressed each time it asks
  bool logInCurrentFolderFails = false;
  bool logNowhere = false;
  bool probeThreadFails = false;  // the first CreateThread fails
  // When a module gone silent leaves the program waiting without limit,
  // the operator gives up this long after and pulls the adapter out.
  std::int64_t giveUpUs = 120000000;

  // What was drawn, by kind, for the figures.
  std::vector<std::string> faults;
  // Faults that rule success out whatever the program does.
  std::vector<std::string> fatal;

  std::string describe() const;
};

Setting draw(Choices& choices);

struct Outcome {
  int status = 0;                 // exit status of the simulated process
  bool ended = true;              // the simulation did not stop on its own
  std::string stopReason;
  std::int64_t endUs = 0, boundUs = 0;
  bool impossible = false;        // a fault ruled success out
  std::vector<std::string> fatalSeen;  // the fatal faults that struck
  std::vector<std::string> violations;
  std::string verdict;            // the device model's, as text
};

// Runs one setting on a fresh machine and checks every invariant.
Outcome run(const Setting& setting);

// The bound of virtual time within which a run of this setting must end.
std::int64_t timeBoundUs(const Setting& setting);

}  // namespace campaign

#endif
