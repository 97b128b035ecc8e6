// The simulated configuration manager, as a program finds it through
// setupapi.dll: the eject tests rely on its order and on its strictness.
#include "tests/support/sim_fixture.h"

namespace {

class SimDevTreeTest : public SimTest {
 protected:
  template <typename Fn>
  Fn entry(const char* name) {
    pf::HMODULE setupapi = pf::LoadLibraryA("SetupAPI.dll");
    return reinterpret_cast<Fn>(pf::GetProcAddress(setupapi, name));
  }
};

TEST_F(SimDevTreeTest, ChildrenAndSiblingsComeInTheOrderTheyWereAdded) {
  sim::SimDeviceTree& tree = machine().deviceTree;
  int a = tree.add(0, "A\\1");
  tree.add(a, "A\\1\\X");
  int b = tree.add(0, "B\\2");
  auto locate = entry<pf::CM_Locate_DevNodeA_Fn>("CM_Locate_DevNodeA");
  auto child = entry<pf::CM_Get_Child_Fn>("CM_Get_Child");
  auto sibling = entry<pf::CM_Get_Sibling_Fn>("CM_Get_Sibling");
  ASSERT_NE(nullptr, locate);

  pf::DEVINST root = 0, node = 0, next = 0;
  ASSERT_EQ(pf::CR_SUCCESS, locate(&root, nullptr, 0));
  ASSERT_EQ(pf::CR_SUCCESS, child(&node, root, 0));
  EXPECT_EQ(sim::SimDeviceTree::handle(a), node);
  ASSERT_EQ(pf::CR_SUCCESS, sibling(&next, node, 0));
  EXPECT_EQ(sim::SimDeviceTree::handle(b), next);
  EXPECT_EQ(pf::CR_NO_SUCH_DEVNODE, sibling(&node, next, 0));
  EXPECT_EQ(pf::CR_NO_SUCH_DEVNODE, child(&node, next, 0));
  EXPECT_EQ(pf::CR_NO_SUCH_DEVNODE, sibling(&node, root, 0));
  EXPECT_EQ(sim::CR_INVALID_DEVNODE, child(&node, 999, 0));
  EXPECT_EQ(sim::CR_INVALID_FLAG, child(&node, root, 1));
}

TEST_F(SimDevTreeTest, AFailedStatusQueryLeavesItsOutValuesAlone) {
  int n = machine().deviceTree.add(0, "USB\\X\\1", pf::DN_REMOVABLE, 3);
  auto status = entry<pf::CM_Get_DevNode_Status_Fn>("CM_Get_DevNode_Status");
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

TEST_F(SimDevTreeTest, TheIdBufferMustHoldTheTerminator) {
  int n = machine().deviceTree.add(0, "USB\\X\\1");
  auto read = entry<pf::CM_Get_Device_IDA_Fn>("CM_Get_Device_IDA");
  char id[16] = "unchanged";
  pf::DEVINST h = sim::SimDeviceTree::handle(n);
  EXPECT_EQ(sim::CR_BUFFER_SMALL, read(h, id, 7, 0));
  EXPECT_STREQ("unchanged", id);
  EXPECT_EQ(pf::CR_SUCCESS, read(h, id, 8, 0));
  EXPECT_STREQ("USB\\X\\1", id);
}

}  // namespace
