// The configuration manager's side of the eject: setupapi.dll is loaded at
// run time because the program must still start on systems without it, and
// the whole device tree is walked because the volume's node is known only by
// its id.
#include "disk/device_ejector.h"

#include "app/console.h"
#include "disk/device_names.h"

namespace {

constexpr char kSetupApi[] = "setupapi.dll";
// GetVersion sets the high bit on the Windows 9x family.
constexpr pf::DWORD kWindows9xBit = 0x80000000u;

template <typename Fn>
Fn entryPoint(pf::HMODULE library, const char* name) {
  return reinterpret_cast<Fn>(pf::GetProcAddress(library, name));
}

}  // namespace

DeviceEjector::DeviceEjector()
    : status(Ready),
      lastError(0),
      library(nullptr),
      loadedLibrary(0),
      CM_Locate_DevNodeA(nullptr),
      CM_Get_Child(nullptr),
      CM_Get_Sibling(nullptr),
      CM_Get_DevNode_Status(nullptr),
      CM_Get_Device_ID_Size(nullptr),
      CM_Get_Device_IDA(nullptr),
      CM_Request_Device_EjectA(nullptr) {
  if ((pf::GetVersion() & kWindows9xBit) != 0) {
    status = Unsupported;
    return;
  }
  // Whoever loaded the library first unloads it; an ejector that only found
  // it must leave it alone.
  library = pf::GetModuleHandleA(kSetupApi);
  if (library == nullptr) {
    library = pf::LoadLibraryA(kSetupApi);
    if (library != nullptr) loadedLibrary = 1;
  }
  if (library == nullptr) {
    status = NoLibrary;
    lastError = static_cast<std::uint32_t>(pf::GetLastError());
    return;
  }
  CM_Locate_DevNodeA =
      entryPoint<pf::CM_Locate_DevNodeA_Fn>(library, "CM_Locate_DevNodeA");
  CM_Get_Child = entryPoint<pf::CM_Get_Child_Fn>(library, "CM_Get_Child");
  CM_Get_Sibling = entryPoint<pf::CM_Get_Sibling_Fn>(library, "CM_Get_Sibling");
  CM_Get_DevNode_Status = entryPoint<pf::CM_Get_DevNode_Status_Fn>(
      library, "CM_Get_DevNode_Status");
  CM_Get_Device_ID_Size = entryPoint<pf::CM_Get_Device_ID_Size_Fn>(
      library, "CM_Get_Device_ID_Size");
  CM_Get_Device_IDA =
      entryPoint<pf::CM_Get_Device_IDA_Fn>(library, "CM_Get_Device_IDA");
  CM_Request_Device_EjectA = entryPoint<pf::CM_Request_Device_EjectA_Fn>(
      library, "CM_Request_Device_EjectA");
}

void DeviceEjector::release() {
  if (loadedLibrary == 1) pf::FreeLibrary(library);
  // The entry points die with the library.
  library = nullptr;
  loadedLibrary = 0;
  CM_Locate_DevNodeA = nullptr;
  CM_Get_Child = nullptr;
  CM_Get_Sibling = nullptr;
  CM_Get_DevNode_Status = nullptr;
  CM_Get_Device_ID_Size = nullptr;
  CM_Get_Device_IDA = nullptr;
  CM_Request_Device_EjectA = nullptr;
}

bool DeviceEjector::hasEveryEntryPoint() const {
  return CM_Locate_DevNodeA != nullptr && CM_Get_Child != nullptr &&
         CM_Get_Sibling != nullptr && CM_Get_DevNode_Status != nullptr &&
         CM_Get_Device_ID_Size != nullptr && CM_Get_Device_IDA != nullptr &&
         CM_Request_Device_EjectA != nullptr;
}

EjectResult DeviceEjector::ejectDevice(const char* wanted, pf::ULONG* detail) {
  pf::ULONG unused = 0;
  if (detail == nullptr) detail = &unused;
  *detail = 0;
  if (!hasEveryEntryPoint()) return MissingFunction;

  pf::DEVINST root = 0;
  pf::CONFIGRET located = CM_Locate_DevNodeA(&root, nullptr, 0);
  if (located != pf::CR_SUCCESS) {
    *detail = located;
    return LocateFailed;
  }
  int counter = 0;
  EjectResult result = walkDeviceTree(nullptr, &counter, wanted, root, detail);
  if (result == Ok && counter == 0) result = NotFound;
  return result;
}

EjectResult DeviceEjector::walkDeviceTree(const DevNodeLink* parent,
                                          int* counter, const char* wanted,
                                          pf::DEVINST first,
                                          pf::ULONG* detail) {
  const int matchesBefore = *counter;
  pf::DEVINST node = first;
  for (;;) {
    pf::ULONG nodeStatus = 0;
    pf::ULONG problem = 0;
    pf::CONFIGRET answer =
        CM_Get_DevNode_Status(&nodeStatus, &problem, node, 0);
    if (answer == pf::CR_NO_SUCH_DEVNODE) {
      // A node without status is neither removable nor in trouble; values
      // left over from another node would make it look like that node.
      nodeStatus = 0;
      problem = 0;
    } else if (answer != pf::CR_SUCCESS) {
      *detail = answer;
      return StatusFailed;
    }

    EjectResult result =
        visitNode(parent, counter, wanted, node, nodeStatus, problem, detail);
    if (result != Ok) return result;
    // A match either fails the walk or has been ejected, and with it the
    // device left the tree together with everything below it. What the
    // configuration manager answers for those nodes is not settled (not
    // necessarily CR_NO_SUCH_DEVNODE), so the walk ends here.
    if (*counter > matchesBefore) return Ok;

    pf::DEVINST child = 0;
    answer = CM_Get_Child(&child, node, 0);
    if (answer == pf::CR_SUCCESS) {
      DevNodeLink link{parent, node, nodeStatus, problem};
      result = walkDeviceTree(&link, counter, wanted, child, detail);
      if (result != Ok || *counter > matchesBefore) return result;
    } else if (answer != pf::CR_NO_SUCH_DEVNODE) {
      *detail = answer;
      return ChildFailed;
    }

    pf::DEVINST sibling = 0;
    answer = CM_Get_Sibling(&sibling, node, 0);
    if (answer == pf::CR_NO_SUCH_DEVNODE) return Ok;
    if (answer != pf::CR_SUCCESS) {
      *detail = answer;
      return SiblingFailed;
    }
    node = sibling;
  }
}

EjectResult DeviceEjector::visitNode(const DevNodeLink* parent, int* counter,
                                     const char* wanted, pf::DEVINST node,
                                     pf::ULONG nodeStatus, pf::ULONG problem,
                                     pf::ULONG* detail) {
  pf::ULONG length = 0;
  pf::CONFIGRET answer = CM_Get_Device_ID_Size(&length, node, 0);
  if (answer != pf::CR_SUCCESS) {
    *detail = answer;
    return IdSizeFailed;
  }
  // A length with no room left for the terminator cannot be allocated.
  char* deviceId = nullptr;
  if (length + 1 != 0)
    deviceId = static_cast<char*>(pf::malloc(static_cast<std::size_t>(length) + 1));
  if (deviceId == nullptr) {
    *detail = pf::CR_OUT_OF_MEMORY;
    return IdFailed;
  }
  answer = CM_Get_Device_IDA(node, deviceId, length + 1, 0);
  if (answer != pf::CR_SUCCESS) {
    *detail = answer;
    pf::free(deviceId);
    return IdFailed;
  }
  deviceId[length] = '\0';

  char displayName[kDisplayNameSize];
  deviceDisplayName(deviceId, displayName, sizeof displayName);

  EjectResult result = Ok;
  if (matchDeviceName(wanted, deviceId)) {
    ++*counter;
    result = ejectMatch(parent, node, nodeStatus, problem, deviceId,
                        displayName, detail);
  }
  pf::free(deviceId);
  return result;
}

EjectResult DeviceEjector::ejectMatch(const DevNodeLink* parent,
                                      pf::DEVINST node, pf::ULONG nodeStatus,
                                      pf::ULONG problem, const char* deviceId,
                                      const char* displayName,
                                      pf::ULONG* detail) {
  // A volume is rarely removable itself; the USB device that carries it is.
  DevNodeLink target{parent, node, nodeStatus, problem};
  if ((nodeStatus & pf::DN_REMOVABLE) == 0) {
    for (const DevNodeLink* link = parent; link != nullptr; link = link->parent) {
      if ((link->nodeStatus & pf::DN_REMOVABLE) != 0) {
        target = *link;
        break;
      }
    }
  }
  if ((target.nodeStatus & pf::DN_REMOVABLE) == 0) {
    printFlushed(pf::consoleOut(), "Device");
    if (displayName[0] != '\0')
      printFlushed(pf::consoleOut(), " '%s'", displayName);
    printFlushed(pf::consoleOut(), " [%s] not removable!\n", deviceId);
    return NotRemovable;
  }
  if (target.problem != 0) {
    *detail = target.problem;
    return HasProblem;
  }

  pf::PNP_VETO_TYPE vetoType = 0;
  char vetoName[kVetoNameSize];
  vetoName[0] = '\0';
  pf::CONFIGRET answer = CM_Request_Device_EjectA(
      target.devInst, &vetoType, vetoName, static_cast<pf::ULONG>(sizeof vetoName), 0);
  if (answer == pf::CR_SUCCESS) return Ok;
  printFlushed(pf::consoleOut(), "FAILED (%u,%u)\n", static_cast<unsigned>(answer),
               static_cast<unsigned>(vetoType));
  if (answer == pf::CR_REMOVE_VETOED) {
    *detail = static_cast<pf::ULONG>(vetoType);
    return Vetoed;
  }
  *detail = answer;
  return EjectFailed;
}
