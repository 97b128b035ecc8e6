// The simulated configuration manager. Its entry points check what the
// program passes as strictly as a careful reading of Windows allows (flags
// must be 0, the id buffer must hold the terminator), so a sloppy caller
// fails here rather than only on a real machine.
#include "platform/sim/sim_devtree.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/sim_internal.h"

namespace sim {

const char kVolumeInterfaceClass[] = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

SimDeviceTree::SimDeviceTree() {
  SimDevNode root;
  root.deviceId = "HTREE\\ROOT\\0";
  nodes.push_back(root);
}

int SimDeviceTree::add(int parent, const std::string& deviceId,
                       pf::ULONG status, pf::ULONG problem) {
  SimDevNode node;
  node.deviceId = deviceId;
  node.parent = parent;
  node.status = status;
  node.problem = problem;
  nodes.push_back(node);
  int index = static_cast<int>(nodes.size()) - 1;
  nodes[static_cast<std::size_t>(parent)].children.push_back(index);
  return index;
}

int SimDeviceTree::find(const std::string& deviceId) const {
  std::string wanted = lowerCase(deviceId);
  for (std::size_t i = 0; i < nodes.size(); ++i)
    if (lowerCase(nodes[i].deviceId) == wanted) return static_cast<int>(i);
  return -1;
}

bool SimDeviceTree::contains(int ancestor, int node) const {
  for (int at = node; at >= 0; at = nodes[static_cast<std::size_t>(at)].parent)
    if (at == ancestor) return true;
  return false;
}

namespace {

void markSubtree(SimDeviceTree& tree, int index, bool present) {
  SimDevNode& node = tree.nodes[static_cast<std::size_t>(index)];
  node.present = present;
  for (int child : node.children) markSubtree(tree, child, present);
}

}  // namespace

void SimDeviceTree::removeSubtree(int index) {
  SimDevNode& node = nodes[static_cast<std::size_t>(index)];
  if (!node.present || node.parent < 0) return;
  std::vector<int>& level = nodes[static_cast<std::size_t>(node.parent)].children;
  level.erase(std::remove(level.begin(), level.end(), index), level.end());
  markSubtree(*this, index, false);
}

void SimDeviceTree::restoreSubtree(int index) {
  SimDevNode& node = nodes[static_cast<std::size_t>(index)];
  if (node.present || node.parent < 0) return;
  nodes[static_cast<std::size_t>(node.parent)].children.push_back(index);
  markSubtree(*this, index, true);
}

void SimDeviceTree::fail(CmCall call, pf::CONFIGRET code,
                         const std::string& deviceId, int times) {
  failures.push_back(SimCmFailure{call, deviceId, code, times, 0, ""});
}

void SimDeviceTree::veto(const std::string& deviceId,
                         pf::PNP_VETO_TYPE vetoType,
                         const std::string& vetoName) {
  failures.push_back(SimCmFailure{CmCall::CM_Request_Device_EjectA, deviceId,
                                  pf::CR_REMOVE_VETOED, -1, vetoType,
                                  vetoName});
}

bool SimDeviceTree::enter(CmCall call, int node, SimCmFailure* failure) {
  machine().processDue();
  ++callCounts[static_cast<int>(call)];
  for (auto it = failures.begin(); it != failures.end(); ++it) {
    if (it->call != call) continue;
    if (!it->deviceId.empty() &&
        (node < 0 || lowerCase(it->deviceId) !=
                         lowerCase(nodes[static_cast<std::size_t>(node)].deviceId)))
      continue;
    *failure = *it;
    if (it->times > 0 && --it->times == 0) failures.erase(it);
    return true;
  }
  return false;
}

namespace {

SimDeviceTree& tree() { return machine().deviceTree; }

// The mount manager's record of a volume: \??\<volume id with '#' for
// '\'>#<interface class>, in UTF-16LE.
std::string mountRecord(const std::string& volumeId) {
  std::string name = volumeId;
  for (char& c : name)
    if (c == '\\') c = '#';
  return utf16le("\\??\\" + name + "#" + kVolumeInterfaceClass);
}

// Windows takes away the drive letters of the volumes that an eject took
// out of the tree: those whose mount manager record names a node below
// `ejected`.
void dropDriveLetters(int ejected) {
  Machine& m = machine();
  auto records = m.registry.find("system\\mounteddevices");
  if (records == m.registry.end()) return;
  const std::string prefix = "\\dosdevices\\";
  std::vector<char> letters;
  for (const SimRegistryValue& record : records->second) {
    std::string name = lowerCase(record.name);
    if (name.size() != prefix.size() + 2 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.back() != ':' || name[prefix.size()] < 'a' || name[prefix.size()] > 'z')
      continue;
    std::string volume = lowerCase(record.data);
    for (std::size_t i = 0; i < tree().nodes.size(); ++i)
      if (tree().contains(ejected, static_cast<int>(i)) &&
          lowerCase(mountRecord(tree().nodes[i].deviceId)) == volume)
        letters.push_back(static_cast<char>(name[prefix.size()] - 'a' + 'A'));
  }
  for (char letter : letters) {
    if (tree().lettersGoAfterUs == 0) {
      m.removeDrive(letter);
      continue;
    }
    m.at(m.nowUs() + tree().lettersGoAfterUs,
         [letter](std::int64_t) { machine().removeDrive(letter); });
  }
}

// The node behind a DEVINST, or -1, also for a node that has left the tree.
int nodeOf(pf::DEVINST devInst) {
  if (devInst == 0 || devInst > tree().nodes.size()) return -1;
  int node = static_cast<int>(devInst) - 1;
  return tree().nodes[static_cast<std::size_t>(node)].present ? node : -1;
}

// Validates the common arguments and applies an injected failure; the
// answer, or CR_SUCCESS to go on.
pf::CONFIGRET enterCall(CmCall call, int node, bool pointerGiven,
                        pf::ULONG flags, SimCmFailure* failure) {
  bool fails = tree().enter(call, node, failure);
  if (!pointerGiven) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  if (node < 0) return CR_INVALID_DEVNODE;
  return fails ? failure->code : pf::CR_SUCCESS;
}

pf::CONFIGRET PF_WINAPI locateDevNode(pf::DEVINST* devInst,
                                      const char* deviceId, pf::ULONG flags) {
  int node = deviceId == nullptr || deviceId[0] == '\0'
                 ? 0
                 : tree().find(deviceId);
  if (node >= 0 && !tree().nodes[static_cast<std::size_t>(node)].present)
    node = -1;
  SimCmFailure failure{};
  bool fails = tree().enter(CmCall::CM_Locate_DevNodeA, node, &failure);
  if (devInst == nullptr) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  if (fails) return failure.code;
  if (node < 0) return pf::CR_NO_SUCH_DEVNODE;
  *devInst = SimDeviceTree::handle(node);
  return pf::CR_SUCCESS;
}

pf::CONFIGRET PF_WINAPI getChild(pf::DEVINST* child, pf::DEVINST devInst,
                                 pf::ULONG flags) {
  int node = nodeOf(devInst);
  SimCmFailure failure{};
  pf::CONFIGRET answer = enterCall(CmCall::CM_Get_Child, node,
                                   child != nullptr, flags, &failure);
  if (answer != pf::CR_SUCCESS) return answer;
  const SimDevNode& n = tree().nodes[static_cast<std::size_t>(node)];
  if (n.children.empty()) return pf::CR_NO_SUCH_DEVNODE;
  *child = SimDeviceTree::handle(n.children.front());
  return pf::CR_SUCCESS;
}

pf::CONFIGRET PF_WINAPI getSibling(pf::DEVINST* sibling, pf::DEVINST devInst,
                                   pf::ULONG flags) {
  int node = nodeOf(devInst);
  SimCmFailure failure{};
  pf::CONFIGRET answer = enterCall(CmCall::CM_Get_Sibling, node,
                                   sibling != nullptr, flags, &failure);
  if (answer != pf::CR_SUCCESS) return answer;
  int parent = tree().nodes[static_cast<std::size_t>(node)].parent;
  if (parent < 0) return pf::CR_NO_SUCH_DEVNODE;
  const std::vector<int>& level =
      tree().nodes[static_cast<std::size_t>(parent)].children;
  for (std::size_t i = 0; i + 1 < level.size(); ++i) {
    if (level[i] == node) {
      *sibling = SimDeviceTree::handle(level[i + 1]);
      return pf::CR_SUCCESS;
    }
  }
  return pf::CR_NO_SUCH_DEVNODE;
}

pf::CONFIGRET PF_WINAPI getDevNodeStatus(pf::ULONG* status, pf::ULONG* problem,
                                         pf::DEVINST devInst,
                                         pf::ULONG flags) {
  int node = nodeOf(devInst);
  SimCmFailure failure{};
  pf::CONFIGRET answer =
      enterCall(CmCall::CM_Get_DevNode_Status, node,
                status != nullptr && problem != nullptr, flags, &failure);
  if (answer != pf::CR_SUCCESS) return answer;
  const SimDevNode& n = tree().nodes[static_cast<std::size_t>(node)];
  *status = n.status;
  *problem = n.problem;
  return pf::CR_SUCCESS;
}

pf::CONFIGRET PF_WINAPI getDeviceIdSize(pf::ULONG* length, pf::DEVINST devInst,
                                        pf::ULONG flags) {
  int node = nodeOf(devInst);
  SimCmFailure failure{};
  pf::CONFIGRET answer = enterCall(CmCall::CM_Get_Device_ID_Size, node,
                                   length != nullptr, flags, &failure);
  if (answer != pf::CR_SUCCESS) return answer;
  *length = static_cast<pf::ULONG>(
      tree().nodes[static_cast<std::size_t>(node)].deviceId.size());
  return pf::CR_SUCCESS;
}

pf::CONFIGRET PF_WINAPI getDeviceId(pf::DEVINST devInst, char* buffer,
                                    pf::ULONG length, pf::ULONG flags) {
  int node = nodeOf(devInst);
  SimCmFailure failure{};
  pf::CONFIGRET answer = enterCall(CmCall::CM_Get_Device_IDA, node,
                                   buffer != nullptr, flags, &failure);
  if (answer != pf::CR_SUCCESS) return answer;
  const std::string& id = tree().nodes[static_cast<std::size_t>(node)].deviceId;
  if (length < id.size() + 1) return CR_BUFFER_SMALL;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return pf::CR_SUCCESS;
}

pf::CONFIGRET PF_WINAPI requestDeviceEject(pf::DEVINST devInst,
                                           pf::PNP_VETO_TYPE* vetoType,
                                           char* vetoName,
                                           pf::ULONG vetoNameLength,
                                           pf::ULONG flags) {
  int node = nodeOf(devInst);
  SimCmFailure failure{};
  bool namesGiven = vetoName != nullptr || vetoNameLength == 0;
  pf::CONFIGRET answer = enterCall(CmCall::CM_Request_Device_EjectA, node,
                                   namesGiven, flags, &failure);
  if (node < 0) return answer;
  const std::string id = tree().nodes[static_cast<std::size_t>(node)].deviceId;
  tree().ejectRequests.push_back(
      SimEjectRequest{id, answer, vetoNameLength, vetoType != nullptr});
  if (answer != pf::CR_SUCCESS) {
    if (vetoType != nullptr) *vetoType = failure.vetoType;
    if (vetoName != nullptr && vetoNameLength > 0) {
      std::size_t n = failure.vetoName.size();
      if (n > vetoNameLength - 1) n = vetoNameLength - 1;
      std::memcpy(vetoName, failure.vetoName.data(), n);
      vetoName[n] = '\0';
    }
    return answer;
  }
  if (vetoType != nullptr) *vetoType = 0;  // PNP_VetoTypeUnknown
  if (vetoName != nullptr && vetoNameLength > 0) vetoName[0] = '\0';
  tree().removeSubtree(node);
  dropDriveLetters(node);
  if (tree().onEject) tree().onEject(id);
  return pf::CR_SUCCESS;
}

template <typename Fn>
pf::FARPROC exported(Fn fn) {
  return reinterpret_cast<pf::FARPROC>(fn);
}

}  // namespace

void installSetupApi(Machine& m) {
  auto& exports = m.libraries["setupapi.dll"];
  exports["CM_Locate_DevNodeA"] = exported(&locateDevNode);
  exports["CM_Get_Child"] = exported(&getChild);
  exports["CM_Get_Sibling"] = exported(&getSibling);
  exports["CM_Get_DevNode_Status"] = exported(&getDevNodeStatus);
  exports["CM_Get_Device_ID_Size"] = exported(&getDeviceIdSize);
  exports["CM_Get_Device_IDA"] = exported(&getDeviceId);
  exports["CM_Request_Device_EjectA"] = exported(&requestDeviceEject);
}

void setDeviceNames(Machine& m, const std::string& deviceId,
                    const std::string& friendlyName,
                    const std::string& deviceDesc) {
  std::string key = "SYSTEM\\CurrentControlSet\\Enum\\" + deviceId;
  m.addKey(key);
  // Windows stores REG_SZ data with its terminator.
  if (!friendlyName.empty())
    m.setValue(key, "FriendlyName", pf::REG_SZ, friendlyName + '\0');
  if (!deviceDesc.empty())
    m.setValue(key, "DeviceDesc", pf::REG_SZ, deviceDesc + '\0');
}

std::string utf16le(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

void mountVolume(Machine& m, char letter, const std::string& volumeId) {
  std::string value = std::string("\\DosDevices\\") + letter + ":";
  m.setValue("SYSTEM\\MountedDevices", value, pf::REG_BINARY, mountRecord(volumeId));
}

void addUsbDisk(Machine& m, SimUsbDisk& disk, char letter, int parent) {
  SimDeviceTree& t = m.deviceTree;
  disk.hub = t.add(parent, disk.hubId);
  disk.device = t.add(disk.hub, disk.deviceId, kStartedStatus | pf::DN_REMOVABLE);
  disk.disk = t.add(disk.device, disk.diskId);
  disk.volume = t.add(disk.disk, disk.volumeId);
  setDeviceNames(m, disk.hubId, "", "USB Root Hub");
  setDeviceNames(m, disk.deviceId, "", "USB Mass Storage Device");
  setDeviceNames(m, disk.diskId, disk.diskName, "Disk drive");
  setDeviceNames(m, disk.volumeId, "", "Generic volume");
  mountVolume(m, letter, disk.volumeId);
}

}  // namespace sim
