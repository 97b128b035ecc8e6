// The configuration manager's device tree of the simulated machine, served
// through the seven setupapi.dll entry points that the eject loads at run
// time, and the registry records that go with a device: its display name
// under the Enum key and, for a volume, the mount manager's drive letter.
//
// Tests build the tree under the root, make any call fail (for every node or
// for one), veto or refuse an eject, and read back the eject requests. An
// eject takes the device and everything below it out of the tree, as Windows
// does; handles to those nodes then answer CR_INVALID_DEVNODE, which the
// configuration manager is free to answer for a node that is gone. The drive
// letters that the mount manager records for volumes among them go too.
// onEject is where a test makes the rest of the effect visible (whatever the
// device is, it learns that it was let go), and restoreSubtree plugs the
// device in again.
#ifndef VANTOR_PLATFORM_SIM_SIM_DEVTREE_H
#define VANTOR_PLATFORM_SIM_SIM_DEVTREE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

class Machine;

// The configuration-manager calls, in the order of the ejector's fields.
enum class CmCall {
  CM_Locate_DevNodeA, CM_Get_Child, CM_Get_Sibling, CM_Get_DevNode_Status,
  CM_Get_Device_ID_Size, CM_Get_Device_IDA, CM_Request_Device_EjectA, Count
};

// Answers of the simulated configuration manager to a wrong call.
constexpr pf::CONFIGRET CR_INVALID_POINTER = 3;
constexpr pf::CONFIGRET CR_INVALID_FLAG = 4;
constexpr pf::CONFIGRET CR_INVALID_DEVNODE = 5;
constexpr pf::CONFIGRET CR_FAILURE = 0x13;
constexpr pf::CONFIGRET CR_BUFFER_SMALL = 0x1A;

// Status bits of a device that runs with its driver: DN_DRIVER_LOADED,
// DN_STARTED, DN_NT_ENUMERATOR, DN_NT_DRIVER.
constexpr pf::ULONG kStartedStatus = 0x0180000Au;

// The volume device interface class, as the mount manager records it.
extern const char kVolumeInterfaceClass[];

struct SimDevNode {
  std::string deviceId;
  int parent = -1;            // index in SimDeviceTree::nodes; -1: the root
  std::vector<int> children;  // in the order CM_Get_Child/Sibling give them
  pf::ULONG status = kStartedStatus;
  pf::ULONG problem = 0;
  bool present = true;  // false once ejected, with everything below it
};

struct SimCmFailure {
  CmCall call;
  std::string deviceId;  // empty: whatever node the call is about
  pf::CONFIGRET code;
  int times;             // -1: every call
  pf::PNP_VETO_TYPE vetoType;  // handed back by a failing eject
  std::string vetoName;
};

struct SimEjectRequest {
  std::string deviceId;
  pf::CONFIGRET answer;
  pf::ULONG vetoNameLength;
  bool vetoTypeGiven;
};

struct SimDeviceTree {
  std::vector<SimDevNode> nodes;  // nodes[0] is the root of the tree
  std::vector<SimCmFailure> failures;
  std::vector<SimEjectRequest> ejectRequests;
  // Called after every successful eject, with the ejected node's id.
  std::function<void(const std::string& deviceId)> onEject;
  // How long after a successful eject the drive letters of its volumes go.
  std::int64_t lettersGoAfterUs = 0;
  int callCounts[static_cast<int>(CmCall::Count)] = {};

  SimDeviceTree();

  // Appends a node as the last child of `parent`; its index.
  int add(int parent, const std::string& deviceId,
          pf::ULONG status = kStartedStatus, pf::ULONG problem = 0);
  // Index of the node with that id (compared without case), or -1.
  int find(const std::string& deviceId) const;
  // The DEVINST that the configuration manager hands out for a node.
  static pf::DEVINST handle(int index) {
    return static_cast<pf::DEVINST>(index + 1);
  }
  // True when `ancestor` is `node` or lies above it.
  bool contains(int ancestor, int node) const;
  // Takes a node and its descendants out of the tree (they keep their
  // indices), or puts them back as the last child of their parent.
  void removeSubtree(int index);
  void restoreSubtree(int index);

  // Makes `call` answer `code`, for the node with that id or for any node,
  // the next `times` times (-1: always). CM_Get_DevNode_Status failing with
  // CR_NO_SUCH_DEVNODE leaves its out-values untouched, as Windows does.
  void fail(CmCall call, pf::CONFIGRET code, const std::string& deviceId = "",
            int times = -1);
  // Makes the eject of that node answer CR_REMOVE_VETOED with a veto.
  void veto(const std::string& deviceId, pf::PNP_VETO_TYPE vetoType,
            const std::string& vetoName = "");
  int calls(CmCall call) const { return callCounts[static_cast<int>(call)]; }

  // Counts the call; true, with the failure filled in, when the test wants
  // this call about this node to fail.
  bool enter(CmCall call, int node, SimCmFailure* failure);
};

// Registers the configuration manager's entry points as the exports of
// setupapi.dll; every new machine has them.
void installSetupApi(Machine& machine);

// A device's display names where Windows keeps them, under
// SYSTEM\CurrentControlSet\Enum\<device id>. An empty text leaves that value
// out.
void setDeviceNames(Machine& machine, const std::string& deviceId,
                    const std::string& friendlyName,
                    const std::string& deviceDesc = "");

// Text as UTF-16LE bytes, the form of the mount manager's records.
std::string utf16le(const std::string& text);
// The mount manager's record of drive `letter` for a volume: the value
// \DosDevices\X: of SYSTEM\MountedDevices, REG_BINARY, holding
// \??\<volume id with '#' for '\'>#<interface class>.
void mountVolume(Machine& machine, char letter, const std::string& volumeId);

// A removable USB disk as Windows shows it: a removable USB device below a
// root hub that is not removable, its disk, and the disk's volume mounted at
// `letter`, each with the names Windows keeps for it. The caller names the
// device and its disk; addUsbDisk fills in where the nodes went.
struct SimUsbDisk {
  std::string hubId = "USB\\ROOT_HUB20\\4&2A1B3C4D&0";
  std::string deviceId, diskId;
  std::string volumeId = "STORAGE\\REMOVABLEMEDIA\\7&1A2B3C&0&RM";
  std::string diskName;  // the disk's friendly name
  int hub = -1, device = -1, disk = -1, volume = -1;  // node indices
};
void addUsbDisk(Machine& machine, SimUsbDisk& disk, char letter, int parent = 0);

}  // namespace sim

#endif
