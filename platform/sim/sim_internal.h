// Shared by the files that implement the platform calls on the simulated
// machine.
#ifndef VANTOR_PLATFORM_SIM_SIM_INTERNAL_H
#define VANTOR_PLATFORM_SIM_SIM_INTERNAL_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"

namespace sim {

// Every platform call starts here: due events run, the call is counted, and
// the result says whether the test wants this call to fail.
inline bool enterFails(Call call) {
  Machine& m = machine();
  m.processDue();
  m.count(call);
  return m.shouldFail(call);
}

// What the platform calls keep for themselves, one set per machine.
struct PlatformRecords {
  std::map<std::uintptr_t, std::pair<int, int>> handleTable;  // kind, index
  std::uintptr_t nextHandle = 0x1000;
  std::string locale = "C";
  // Open registry keys: a key's handle is 0x10 plus its index here.
  std::vector<std::string> openKeys;
};

FILE* openConsoleStream(Machine& machine);

// Lower-case copy, for the names that Windows compares without case.
std::string lowerCase(const std::string& text);
// The same comparison without the copies: lowerCase(a) == lowerCase(b).
bool sameNoCase(const std::string& a, const std::string& b);

// Simulated handles: small integers above the range of real pointers, each
// naming a port or a thread.
enum class HandleKind { None, Port, Thread };
struct HandleInfo {
  HandleKind kind = HandleKind::None;
  int index = -1;  // port index in Machine::ports, or simulated thread id
};
pf::HANDLE makeHandle(HandleKind kind, int index);
HandleInfo lookupHandle(pf::HANDLE handle);
void releaseHandle(pf::HANDLE handle);

}  // namespace sim

#endif
