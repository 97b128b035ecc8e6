// The simulated configuration manager's behaviour that the eject tests
// cannot see for themselves: a status query that fails leaves its
// out-values alone (were they zeroed, the eject test of a node without
// status would pass even if the walk borrowed the previous node's bits),
// and an ejected device leaves the tree with everything below it, taking
// the drive letters of its volumes along.
#include "tests/support/sim_fixture.h"

namespace {

using SimDevTreeTest = SimTest;

TEST_F(SimDevTreeTest, AFailedStatusQueryLeavesItsOutValuesAlone) {
  int n = machine().deviceTree.add(0, "USB\\X\\1", pf::DN_REMOVABLE, 3);
  pf::HMODULE setupapi = pf::LoadLibraryA("SetupAPI.dll");
  auto status = reinterpret_cast<pf::CM_Get_DevNode_Status_Fn>(
      pf::GetProcAddress(setupapi, "CM_Get_DevNode_Status"));
  ASSERT_NE(nullptr, status);
  pf::ULONG bits = 0, problem = 0;
  pf::DEVINST h = sim::SimDeviceTree::handle(n);
  ASSERT_EQ(pf::CR_SUCCESS, status(&bits, &problem, h, 0));
  EXPECT_EQ(pf::DN_REMOVABLE, bits);
  EXPECT_EQ(3u, problem);

  machine().deviceTree.fail(sim::CmCall::CM_Get_DevNode_Status,
                            pf::CR_NO_SUCH_DEVNODE, "usb\\x\\1", 1);
  bits = 77;
  problem = 88;
  EXPECT_EQ(pf::CR_NO_SUCH_DEVNODE, status(&bits, &problem, h, 0));
  EXPECT_EQ(77u, bits);
  EXPECT_EQ(88u, problem);
  EXPECT_EQ(pf::CR_SUCCESS, status(&bits, &problem, h, 0));  // once only
}

TEST_F(SimDevTreeTest, AnEjectedDeviceLeavesTheTreeWithEverythingBelowIt) {
  sim::SimDeviceTree& tree = machine().deviceTree;
  int hub = tree.add(0, "USB\\HUB\\1");
  int device = tree.add(hub, "USB\\DEV\\1", pf::DN_REMOVABLE);
  int volume = tree.add(tree.add(device, "USBSTOR\\DISK\\1"), "STORAGE\\VOL\\1");
  int next = tree.add(hub, "USB\\NEXT\\1");
  sim::mountVolume(machine(), 'G', "STORAGE\\VOL\\1");
  sim::mountVolume(machine(), 'H', "USB\\NEXT\\1");
  machine().addDrive('G');
  machine().addDrive('H');
  pf::HMODULE setupapi = pf::LoadLibraryA("setupapi.dll");
  auto eject = reinterpret_cast<pf::CM_Request_Device_EjectA_Fn>(
      pf::GetProcAddress(setupapi, "CM_Request_Device_EjectA"));
  auto child = reinterpret_cast<pf::CM_Get_Child_Fn>(
      pf::GetProcAddress(setupapi, "CM_Get_Child"));
  auto locate = reinterpret_cast<pf::CM_Locate_DevNodeA_Fn>(
      pf::GetProcAddress(setupapi, "CM_Locate_DevNodeA"));
  using sim::SimDeviceTree;
  pf::PNP_VETO_TYPE veto = 0;
  char vetoName[260];
  ASSERT_EQ(pf::CR_SUCCESS, eject(SimDeviceTree::handle(device), &veto, vetoName,
                                  sizeof vetoName, 0));

  pf::DEVINST found = 0;
  ASSERT_EQ(pf::CR_SUCCESS, child(&found, SimDeviceTree::handle(hub), 0));
  EXPECT_EQ(SimDeviceTree::handle(next), found);
  EXPECT_EQ(sim::CR_INVALID_DEVNODE, child(&found, SimDeviceTree::handle(device), 0));
  EXPECT_EQ(sim::CR_INVALID_DEVNODE, child(&found, SimDeviceTree::handle(volume), 0));
  EXPECT_EQ(pf::CR_NO_SUCH_DEVNODE, locate(&found, "STORAGE\\VOL\\1", 0));
  EXPECT_EQ(1ul << ('C' - 'A') | 1ul << ('H' - 'A'), machine().drives);

  tree.restoreSubtree(device);  // plugged in again
  ASSERT_EQ(pf::CR_SUCCESS, locate(&found, "STORAGE\\VOL\\1", 0));
  EXPECT_EQ(SimDeviceTree::handle(volume), found);
}

}  // namespace
