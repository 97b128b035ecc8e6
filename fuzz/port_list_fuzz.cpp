// The serial ports Windows lists, whatever names, types and data the values
// have: the candidate list stays within its bounds and holds exactly the
// names that fit, whole, in registry order.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"
#include "serial/port_list.h"

namespace {

const char kKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  fuzz::freshMachine();
  sim::Machine& m = sim::machine();
  m.addKey(kKey);
  // Usually a few values, sometimes more than the list can take.
  const int values = input.ConsumeBool() ? input.ConsumeIntegralInRange(0, 8)
                                         : input.ConsumeIntegralInRange(0, 300);
  for (int i = 0; i < values && input.remaining_bytes() > 0; ++i) {
    std::string name = input.ConsumeRandomLengthString(300);
    const pf::DWORD type = input.ConsumeIntegral<pf::DWORD>();
    std::string value = input.ConsumeRandomLengthString(200);
    // Value names are unique within a key; keep each one apart.
    name += "#" + std::to_string(i);
    m.setValue(kKey, name, type, value);
  }

  // The names a careful reader takes: the data up to its first NUL, when
  // that is neither empty nor too long for the field.
  std::vector<std::string> expected;
  // The machine keeps its keys by their lower-case path.
  for (const auto& v : m.registry["hardware\\devicemap\\serialcomm"]) {
    std::string portName = v.data.substr(0, v.data.find('\0'));
    if (!portName.empty() && portName.size() < kPortNameSize)
      expected.push_back(portName);
  }
  if (expected.size() > static_cast<std::size_t>(kMaxCandidates))
    expected.resize(kMaxCandidates);

  std::unique_ptr<ConfiguratorContext> context = fuzz::openContext();
  // Leftovers of an earlier list must not show through.
  for (auto& c : context->candidates) std::memset(c.name, 'x', sizeof c.name);
  context->candidateCount = -7;
  listSerialPorts(*context);

  FUZZ_CHECK(context->candidateCount >= 0);
  FUZZ_CHECK(context->candidateCount <= kMaxCandidates);
  FUZZ_CHECK(static_cast<std::size_t>(context->candidateCount) == expected.size());
  for (int i = 0; i < context->candidateCount; ++i) {
    const PortCandidate& c = context->candidates[i];
    FUZZ_CHECK(fuzz::terminatedWithin(c.name, kPortNameSize));
    FUZZ_CHECK(c.name[0] != '\0');
    FUZZ_CHECK(std::strlen(c.name) < kPortNameSize);
    FUZZ_CHECK(expected[static_cast<std::size_t>(i)] == c.name);
    FUZZ_CHECK(c.state.load() == Pending);
  }

  fuzz::closeContext(*context);
  context.reset();
  fuzz::endInput();
  return 0;
}
