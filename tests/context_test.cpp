// The context's services: version classes and the abort path.
#include "tests/support/stage_fixture.h"

namespace {

class ContextTest : public StageTest {};

TEST_F(ContextTest, WindowsVersionsFallIntoTheirClasses) {
  struct Case {
    int major, minor, expected;
  } cases[] = {{4, 0, 1},  {4, 10, 3}, {4, 90, 4}, {4, 3, 0},  {5, 0, 5},
               {5, 1, 6},  {5, 2, 6},  {6, 0, 0},  {6, 1, 6},  {6, 3, 6},
               {10, 0, 0}, {3, 51, 0}};
  for (const Case& c : cases) {
    machine().versionMajor = c.major;
    machine().versionMinor = c.minor;
    EXPECT_EQ(c.expected, classifyOs()) << c.major << "." << c.minor;
  }
  machine().fail(sim::Call::GetVersionExA);
  machine().versionMinor = 1;
  EXPECT_EQ(0, classifyOs());
}

TEST_F(ContextTest, AbortClosesEverythingAfterWaitingForEnter) {
  sim::SimPort& port = openPort("COM3");
  machine().writeFile("loader.txt", "x\n");
  context->romLoaderFile = pf::fopen("loader.txt", "r");
  machine().pressEnter();
  EXPECT_EQ(-2, ending([this] {
              context->abortProcedure();
              return 0;
            }));
  EXPECT_EQ(-1, exitStatus);
  EXPECT_EQ("Procedura non completata: riprovare dall'inizio\n",
            machine().console);
  EXPECT_EQ("Procedura non completata: riprovare dall'inizio\n", logText());
  EXPECT_EQ(1, machine().keyReads);
  EXPECT_FALSE(port.isOpen);
  EXPECT_EQ(nullptr, context->log);
  EXPECT_EQ(nullptr, context->romLoaderFile);
}

}  // namespace
