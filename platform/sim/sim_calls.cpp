// Failure injection and call counts: a test makes any platform call of the
// simulated machine fail, every time, a number of times, or only the n-th
// time from now.
#include "platform/sim/machine.h"

namespace sim {

void Machine::fail(Call call, int times) {
  failTimes_[static_cast<int>(call)] = times;
}

void Machine::failNth(Call call, int n) {
  failNth_[static_cast<int>(call)] = n;
}

bool Machine::shouldFail(Call call) {
  int i = static_cast<int>(call);
  if (failNth_[i] > 0 && --failNth_[i] == 0) return true;
  if (failTimes_[i] == 0) return false;
  if (failTimes_[i] > 0) --failTimes_[i];
  return true;
}

}  // namespace sim
