// The eject of a drive through the configuration manager: what reaches the
// device tree, what the operator sees on the console and what the log says,
// for the module's disk and for trees that go wrong.
#include <memory>
#include <string>

#include "app/context.h"
#include "disk/device_ejector.h"
#include "disk/drive_eject.h"
#include "disk/mounted_device.h"
#include "tests/support/stage_fixture.h"

namespace {

using sim::CmCall;
const pf::ULONG kRemovable = sim::kStartedStatus | pf::DN_REMOVABLE;

class DeviceEjectTest : public StageTest {
 protected:
  sim::SimDeviceTree& tree() { return machine().deviceTree; }
  // Other hardware around the module's disk: a controller with a removable
  // card reader that must be left alone, walked before the disk.
  void addNeighbours() {
    int pci = tree().add(0, "PCI\\VEN_8086&DEV_293C\\3&21436425&0&EF");
    int reader = tree().add(pci, "USB\\VID_0BDA&PID_0151\\0000", kRemovable);
    tree().add(reader, "USBSTOR\\DISK&VEN_GENERIC&PROD_SD\\0000&0");
    tree().add(0, "ACPI\\PNP0303\\4&1D401FB5&0");
  }
  std::vector<std::string> ejected() const {
    std::vector<std::string> ids;
    for (const auto& r : sim::machine().deviceTree.ejectRequests)
      ids.push_back(r.deviceId);
    return ids;
  }
  int eject(char letter) { return ejectDrive(*context, letter); }
};

TEST_F(DeviceEjectTest, TheModulesDiskIsEjectedThroughItsRemovableUsbDevice) {
  addNeighbours();
  sim::SimUsbDisk disk = addModuleDisk(machine(), 'F');
  machine().addDrive('F');

  EXPECT_EQ(0, eject('F'));
  EXPECT_EQ("Drive Ejected\n", logText());
  EXPECT_EQ("", machine().console);
  ASSERT_EQ(std::vector<std::string>{disk.deviceId}, ejected());
  EXPECT_EQ(260u, tree().ejectRequests[0].vetoNameLength);
  EXPECT_TRUE(tree().ejectRequests[0].vetoTypeGiven);
  EXPECT_EQ(0ul, machine().drives & (1ul << ('F' - 'A')));
  // setupapi.dll stays loaded for the next eject.
  EXPECT_EQ(0, machine().calls(sim::Call::FreeLibrary));
}

TEST_F(DeviceEjectTest, ARemovableMatchIsEjectedItselfAndTheWalkEndsThere) {
  int hub = tree().add(0, "USB\\ROOT_HUB\\1", kRemovable);
  int first = tree().add(hub, "USBSTOR\\DISK&VEN_A\\1", kRemovable);
  tree().add(first, "STORAGE\\VOLUME\\1");
  int other = tree().add(0, "PCI\\X\\1");
  tree().add(other, "USBSTOR\\DISK&VEN_B\\2");  // not removable
  tree().add(0, "USBSTOR\\DISK&VEN_C\\3", kRemovable);

  DeviceEjector ejector;
  pf::ULONG detail = 99;
  // The ejected device has left the tree with what was below it: the walk
  // asks nothing more about it, nor goes on to other matches.
  EXPECT_EQ(Ok, ejector.ejectDevice("usbstor*", &detail));
  EXPECT_EQ(0u, detail);
  EXPECT_EQ((std::vector<std::string>{"USBSTOR\\DISK&VEN_A\\1"}), ejected());
  EXPECT_EQ(2, tree().calls(CmCall::CM_Get_Child));  // the root's and the hub's
  EXPECT_EQ("", machine().console);
}

TEST_F(DeviceEjectTest, WithoutARemovableAncestorNothingIsEjected) {
  // A removable device earlier in the walk is no ancestor of the volume.
  int hub = tree().add(0, "USB\\ROOT_HUB\\1");
  tree().add(hub, "USB\\VID_1\\1", kRemovable);
  int disk = tree().add(hub, "SCSI\\DISK&VEN_X\\1");
  tree().add(disk, "STORAGE\\VOLUME\\1");
  // A name of one character is still a name.
  sim::setDeviceNames(machine(), "STORAGE\\VOLUME\\1", "", "V");
  sim::mountVolume(machine(), 'E', "STORAGE\\VOLUME\\1");

  EXPECT_EQ(-1, eject('E'));
  EXPECT_EQ("Device 'V' [STORAGE\\VOLUME\\1] not removable!\n",
            machine().console);
  EXPECT_EQ("Error ejecting device STORAGE\\VOLUME\\1, not removable (5,0)!\n",
            logText());
  EXPECT_TRUE(ejected().empty());
}

TEST_F(DeviceEjectTest, ADeviceWithAProblemIsNotAskedToEject) {
  sim::SimUsbDisk disk = addModuleDisk(machine(), 'F');
  tree().nodes[static_cast<std::size_t>(disk.device)].problem = 21;

  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("", machine().console);
  EXPECT_EQ("Error ejecting device " + disk.volumeId +
                ", has problem (6,21)!\n",
            logText());
  EXPECT_TRUE(ejected().empty());
}

TEST_F(DeviceEjectTest, AVetoedOrRefusedEjectIsShownAndLogged) {
  sim::SimUsbDisk disk = addModuleDisk(machine(), 'F');
  machine().addDrive('F');
  tree().veto(disk.deviceId, 6, "\\Device\\HarddiskVolume5");

  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("FAILED (23,6)\n", machine().console);
  EXPECT_EQ("Error ejecting device " + disk.volumeId + ", vetoed (15,6)!\n",
            logText());
  EXPECT_NE(0ul, machine().drives & (1ul << ('F' - 'A')));

  restart();
  disk = addModuleDisk(machine(), 'F');
  tree().fail(CmCall::CM_Request_Device_EjectA, sim::CR_FAILURE);
  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("FAILED (19,0)\n", machine().console);
  EXPECT_EQ("Error ejecting device " + disk.volumeId + ", error code 14,19!\n",
            logText());
}

TEST_F(DeviceEjectTest, AFailingTreeQueryEndsTheWalkWithItsCode) {
  // Each failure hits the first node of the walk that the call is made for;
  // the module's disk comes later and must not be ejected.
  struct Case {
    CmCall call;
    const char* node;
    pf::CONFIGRET code;
    const char* line;
  } cases[] = {
      {CmCall::CM_Get_DevNode_Status, "PCI\\VEN_8086&DEV_293C\\3&21436425&0&EF",
       0x1F, "error code 8,31"},
      {CmCall::CM_Get_Device_ID_Size, "", 0x05, "error code 9,5"},
      {CmCall::CM_Get_Device_IDA, "USB\\VID_0BDA&PID_0151\\0000", 0x1A,
       "error code 10,26"},
      {CmCall::CM_Get_Child, "USB\\VID_0BDA&PID_0151\\0000", 0x05,
       "error code 11,5"},
      {CmCall::CM_Get_Sibling, "PCI\\VEN_8086&DEV_293C\\3&21436425&0&EF", 0x1F,
       "error code 12,31"},
      {CmCall::CM_Locate_DevNodeA, "", 0x1F, "error code 13,31"},
  };
  for (const Case& c : cases) {
    restart();
    addNeighbours();
    sim::SimUsbDisk disk = addModuleDisk(machine(), 'F');
    tree().fail(c.call, c.code, c.node);
    EXPECT_EQ(-1, eject('F')) << c.line;
    EXPECT_EQ("Error ejecting device " + disk.volumeId + ", " + c.line + "!\n",
              logText());
    EXPECT_TRUE(ejected().empty()) << c.line;
    EXPECT_EQ("", machine().console) << c.line;
  }

  // No memory for a node's id is a failure to read the id.
  restart();
  sim::SimUsbDisk disk = addModuleDisk(machine(), 'F');
  machine().allocationFails = [](std::size_t) { return true; };
  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("Error ejecting device " + disk.volumeId + ", error code 10,2!\n",
            logText());
}

TEST_F(DeviceEjectTest, AnEmptyIdOrNoRecordIsAnInvalidDriveNotAnEject) {
  addNeighbours();
  addModuleDisk(machine(), 'F');
  machine().setValue("SYSTEM\\MountedDevices", "\\DosDevices\\G:",
                     pf::REG_BINARY,
                     sim::utf16le("\\??\\{53f5630d-b6bf-11d0-94f2}"));

  EXPECT_EQ(-1, eject('G'));
  EXPECT_EQ(-1, eject('H'));
  EXPECT_EQ("Invalid drive specification 'G:'!\nInvalid drive specification 'H:'!\n",
            logText());
  EXPECT_EQ("", machine().console);
  EXPECT_EQ(0, machine().calls(sim::Call::LoadLibraryA));
  EXPECT_TRUE(ejected().empty());
}

// Status queries that answer CR_NO_SUCH_DEVNODE leave their out-values as
// they were; such a node must not borrow the removable bit or the problem
// of the node visited before it.
TEST_F(DeviceEjectTest, ANodeWithoutStatusIsWalkedAsNeitherRemovableNorFaulty) {
  int hub = tree().add(0, "USB\\VID_HUB\\1", kRemovable);
  tree().add(hub, "USB\\VID_SICK\\1", kRemovable, 28);
  int phantom = tree().add(hub, "USB\\VID_PHANTOM\\1", kRemovable);
  tree().add(phantom, "STORAGE\\VOLUME\\9");
  tree().fail(CmCall::CM_Get_DevNode_Status, pf::CR_NO_SUCH_DEVNODE,
              "USB\\VID_PHANTOM\\1");
  sim::mountVolume(machine(), 'X', "USB\\VID_PHANTOM\\1");
  sim::mountVolume(machine(), 'Y', "STORAGE\\VOLUME\\9");

  // Matched itself: it climbs to the hub rather than stopping at a borrowed
  // problem.
  EXPECT_EQ(0, eject('X'));
  // Its child's chain of links runs through it to the hub, too.
  tree().restoreSubtree(hub);  // plugged in again
  EXPECT_EQ(0, eject('Y'));
  EXPECT_EQ("Drive Ejected\nDrive Ejected\n", logText());
  EXPECT_EQ((std::vector<std::string>{"USB\\VID_HUB\\1", "USB\\VID_HUB\\1"}),
            ejected());
  EXPECT_EQ("", machine().console);
}

TEST_F(DeviceEjectTest, AWindows9xSystemIsRefusedBeforeAnyLibraryIsTouched) {
  addModuleDisk(machine(), 'F');
  machine().platformId = 1;
  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("Operating system not supported!\n", logText());
  EXPECT_EQ(0, machine().calls(sim::Call::GetModuleHandleA));
  EXPECT_EQ(0, machine().calls(sim::Call::LoadLibraryA));
  EXPECT_EQ(0, tree().calls(CmCall::CM_Locate_DevNodeA));
}

TEST_F(DeviceEjectTest, WithoutSetupApiOrOneOfItsEntryPointsNothingIsWalked) {
  sim::SimUsbDisk disk = addModuleDisk(machine(), 'F');
  machine().libraries["setupapi.dll"].erase("CM_Get_Sibling");
  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("Error ejecting device " + disk.volumeId + ", error code 3,0!\n",
            logText());
  EXPECT_EQ(0, tree().calls(CmCall::CM_Locate_DevNodeA));

  restart();
  addModuleDisk(machine(), 'F');
  machine().libraryLoadFails = true;
  EXPECT_EQ(-1, eject('F'));
  EXPECT_EQ("Error in device eject, error code 2,126!\n", logText());
  EXPECT_EQ("", machine().console);
}

TEST_F(DeviceEjectTest, AVolumeWhoseDeviceIsNotInTheTreeIsNotEjected) {
  addNeighbours();
  sim::mountVolume(machine(), 'G', "STORAGE\\VOLUME\\GONE");
  EXPECT_EQ(-1, eject('G'));
  EXPECT_EQ("Error ejecting device STORAGE\\VOLUME\\GONE, not found (4,0)!\n",
            logText());
  EXPECT_TRUE(ejected().empty());
}

TEST_F(DeviceEjectTest, OnlyTheEjectorThatLoadedSetupApiUnloadsIt) {
  DeviceEjector loader;
  ASSERT_EQ(Ready, loader.status);
  EXPECT_EQ(1, loader.loadedLibrary);
  DeviceEjector finder;
  EXPECT_EQ(0, finder.loadedLibrary);
  EXPECT_EQ(loader.library, finder.library);
  EXPECT_EQ(1, machine().calls(sim::Call::LoadLibraryA));

  finder.release();
  EXPECT_EQ(0, machine().calls(sim::Call::FreeLibrary));
  loader.release();
  EXPECT_EQ(1, machine().calls(sim::Call::FreeLibrary));
  EXPECT_EQ(nullptr, pf::GetModuleHandleA("setupapi.dll"));
  pf::ULONG detail = 0;
  EXPECT_EQ(MissingFunction, loader.ejectDevice("USBSTOR*", &detail));
}

}  // namespace
