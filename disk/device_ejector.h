// The configuration manager's eject: the device tree leads from a volume's
// device id to the removable device that carries it, and that device is
// asked to eject.
#ifndef VANTOR_DISK_DEVICE_EJECTOR_H
#define VANTOR_DISK_DEVICE_EJECTOR_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

enum EjectorStatus : std::uint32_t {
  Ready = 0,
  Unsupported = 1,  // a Windows 9x family system
  NoLibrary = 2,    // setupapi.dll cannot be loaded
};

enum EjectResult {
  Ok = 0,
  MissingFunction = 3,
  NotFound = 4,
  NotRemovable = 5,
  HasProblem = 6,
  StatusFailed = 8,
  IdSizeFailed = 9,
  IdFailed = 10,
  ChildFailed = 11,
  SiblingFailed = 12,
  LocateFailed = 13,
  EjectFailed = 14,
  Vetoed = 15,
};

// Device ids and names as the walk holds them.
constexpr std::size_t kDeviceIdSize = 1024;
constexpr std::size_t kDisplayNameSize = 512;
constexpr std::size_t kVetoNameSize = pf::MAX_PATH;

// The chain from a node up to the top of the tree, one link on the stack of
// each level of the walk: it lets a matching volume reach the removable
// device above it without asking the configuration manager again.
struct DevNodeLink {
  const DevNodeLink* parent;  // none at the top level
  pf::DEVINST devInst;
  pf::ULONG nodeStatus;
  pf::ULONG problem;
};

struct DeviceEjector {
  EjectorStatus status;
  std::uint32_t lastError;
  pf::HMODULE library;
  int loadedLibrary;
  pf::CM_Locate_DevNodeA_Fn CM_Locate_DevNodeA;
  pf::CM_Get_Child_Fn CM_Get_Child;
  pf::CM_Get_Sibling_Fn CM_Get_Sibling;
  pf::CM_Get_DevNode_Status_Fn CM_Get_DevNode_Status;
  pf::CM_Get_Device_ID_Size_Fn CM_Get_Device_ID_Size;
  pf::CM_Get_Device_IDA_Fn CM_Get_Device_IDA;
  pf::CM_Request_Device_EjectA_Fn CM_Request_Device_EjectA;

  // Loads the configuration manager's entry points; `status` tells whether
  // that worked. A missing entry point is only noticed by ejectDevice.
  DeviceEjector();
  DeviceEjector(const DeviceEjector&) = delete;
  DeviceEjector& operator=(const DeviceEjector&) = delete;

  // Unloads setupapi.dll if this ejector loaded it.
  void release();

  // Ejects the removable device above the first node whose id matches
  // `wanted`, a device id (ejectDrive never passes an empty one). `detail`
  // receives the code, veto type or problem number behind a failure.
  EjectResult ejectDevice(const char* wanted, pf::ULONG* detail);

  // Walks `first`, its following siblings and all their descendants in
  // pre-order, up to the first match. `parent` is the link of the node above
  // `first` (none at the top); `counter` counts the matches.
  EjectResult walkDeviceTree(const DevNodeLink* parent, int* counter,
                             const char* wanted, pf::DEVINST first,
                             pf::ULONG* detail);

 private:
  bool hasEveryEntryPoint() const;
  EjectResult visitNode(const DevNodeLink* parent, int* counter,
                        const char* wanted, pf::DEVINST node,
                        pf::ULONG nodeStatus, pf::ULONG problem,
                        pf::ULONG* detail);
  EjectResult ejectMatch(const DevNodeLink* parent, pf::DEVINST node,
                         pf::ULONG nodeStatus, pf::ULONG problem,
                         const char* deviceId, const char* displayName,
                         pf::ULONG* detail);
};

#endif
