#include "module_disk.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace replay {
namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "Error ejecting device ID, REASON (R,D)!" or "... ID, error code R,D!".
EjectOutcome refusal(std::string line) {
  EjectOutcome o;
  o.kind = EjectOutcome::Other;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const std::string head = "Error ejecting device ";
  if (!startsWith(line, head) || line.empty() || line.back() != '!') return o;
  std::size_t code = line.rfind(", error code ");
  std::size_t open = line.rfind(" (");
  std::size_t comma = std::string::npos;
  const char* numbers = nullptr;
  if (code != std::string::npos && code > head.size()) {
    o.volumeId = line.substr(head.size(), code - head.size());
    numbers = line.c_str() + code + 13;
  } else if (open != std::string::npos && line.size() >= 2 &&
             line.compare(line.size() - 2, 2, ")!") == 0 &&
             (comma = line.rfind(", ", open)) != std::string::npos && comma > head.size()) {
    o.volumeId = line.substr(head.size(), comma - head.size());
    o.reason = line.substr(comma + 2, open - comma - 2);
    numbers = line.c_str() + open + 2;
  } else {
    return o;
  }
  // Two numbers as the program prints them: digits, a comma, digits.
  char* end = nullptr;
  unsigned long result = std::strtoul(numbers, &end, 10);
  if (end == numbers || *end != ',' || !std::isdigit(static_cast<unsigned char>(end[1])))
    return o;
  unsigned long detail = std::strtoul(end + 1, nullptr, 10);
  if (result > 0xFFFFFFFFul || detail > 0xFFFFFFFFul) return o;
  o.result = static_cast<unsigned>(result);
  o.detail = static_cast<unsigned>(detail);
  o.kind = EjectOutcome::Refused;
  return o;
}

}  // namespace

EjectOutcome ejectAfter(const FieldLog& log, std::size_t i) {
  EjectOutcome o;
  for (++i; i < log.entries.size(); ++i) {
    const Entry& e = log.entries[i];
    if (e.kind != EntryKind::Text) continue;
    if (startsWith(e.bytes, "Trovato disco ")) break;  // the next disk's
    if (!startsWith(e.bytes, "Rimozione disco ")) continue;
    if (i + 1 >= log.entries.size()) break;
    const std::string& t = log.entries[i + 1].bytes;
    if (startsWith(t, "Drive Ejected")) o.kind = EjectOutcome::Ejected;
    else if (startsWith(t, "Invalid drive specification")) o.kind = EjectOutcome::NoVolume;
    else if (startsWith(t, "Error ejecting device ")) o = refusal(t);
    else if (startsWith(t, "Operating system not supported!")) o.kind = EjectOutcome::Unsupported;
    else if (startsWith(t, "Error in device eject, error code 2,")) o.kind = EjectOutcome::NoLibrary;
    else o.kind = EjectOutcome::Other;
    break;
  }
  return o;
}

void ReplayedDisk::present(sim::Machine& m, char letter, const EjectOutcome& outcome) {
  // The program looks at the configuration manager only for a drive that
  // the mount manager records.
  bool needed = outcome.kind != EjectOutcome::NotTried && outcome.kind != EjectOutcome::NoVolume;
  m.platformId = outcome.kind == EjectOutcome::Unsupported ? 1 : 2;
  m.libraryLoadFails = outcome.kind == EjectOutcome::NoLibrary;
  std::string mounted = std::string("\\DosDevices\\") + letter + ":";
  auto& records = m.registry["system\\mounteddevices"];
  records.erase(std::remove_if(records.begin(), records.end(),
                               [&](const sim::SimRegistryValue& v) {
                                 return lower(v.name) == lower(mounted);
                               }),
                records.end());
  if (!needed) return;
  presentModuleDisk(m, disk, letter);
  sim::SimDeviceTree& tree = m.deviceTree;
  sim::SimDevNode& device = tree.nodes[static_cast<std::size_t>(disk.device)];
  device.status = sim::kStartedStatus | pf::DN_REMOVABLE;
  device.problem = 0;
  tree.failures.clear();
  std::string volumeId = disk.volumeId;
  if (outcome.kind == EjectOutcome::Refused && !outcome.volumeId.empty()) {
    volumeId = outcome.volumeId;
    // A volume the walk did not find is one the tree does not have.
    tree.nodes[static_cast<std::size_t>(disk.volume)].deviceId =
        outcome.reason == "not found" ? disk.volumeId : volumeId;
    if (outcome.reason == "vetoed")
      tree.veto(disk.deviceId, static_cast<pf::PNP_VETO_TYPE>(outcome.detail));
    else if (outcome.reason == "has problem")
      device.problem = outcome.detail;
    else if (outcome.reason == "not removable")
      device.status = sim::kStartedStatus;
    else if (outcome.reason.empty())
      tree.fail(sim::CmCall::CM_Request_Device_EjectA, outcome.detail, disk.deviceId);
  } else {
    tree.nodes[static_cast<std::size_t>(disk.volume)].deviceId = disk.volumeId;
  }
  sim::mountVolume(m, letter, volumeId);
}

}  // namespace replay
