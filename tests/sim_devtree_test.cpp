// The simulated configuration manager's strictness that the eject tests
// cannot see for themselves: a status query that fails leaves its
// out-values alone. Were they zeroed, the eject test of a node without
// status would pass even if the walk borrowed the previous node's bits.
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

}  // namespace
