// The context's services: version classes, the spinner, the abort path.
#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "tests/support/sim_fixture.h"

namespace {

class ContextTest : public SimTest {};

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

TEST_F(ContextTest, ANewContextHoldsTheSweepTablesAndAClosedPort) {
  ConfiguratorContext context;
  ASSERT_NE(nullptr, context.port);
  EXPECT_FALSE(context.port->isOpen());
  EXPECT_EQ(6, context.osClass);
  EXPECT_EQ(0, context.configuredPort);
  EXPECT_EQ(0, context.baudIndex);
  EXPECT_EQ(4, context.baudCount);
  EXPECT_EQ(3000, context.probeTimeoutMs);
  EXPECT_EQ(115200, context.baudRates[0]);
  EXPECT_EQ(9600, context.baudRates[3]);
  EXPECT_EQ(30, context.lineDelays[1]);
  EXPECT_EQ(nullptr, context.log);
  EXPECT_EQ(nullptr, context.romLoaderFile);
}

TEST_F(ContextTest, ConsecutiveSpinnersContinueOnePhaseSequence) {
  spinnerPhase = 0;
  for (int i = 0; i < 4; ++i) advanceSpinner("Flashing blob");
  advanceSpinner("Flashing kernel");
  advanceSpinner("Flashing kernel");
  advanceSpinner("x");
  EXPECT_EQ(
      "\rFlashing blob: /\rFlashing blob: -\rFlashing blob: \\\rFlashing blob: |"
      "\rFlashing kernel: /\rFlashing kernel: -\rx: \\",
      machine().console);
  EXPECT_EQ(3, spinnerPhase);
}

TEST_F(ContextTest, AbortClosesEverythingAfterWaitingForEnter) {
  useCatalogue();
  ConfiguratorContext context;
  sim::SimPort& com = machine().addPort("COM3");
  machine().writeFile("loader.txt", "x\n");
  ASSERT_EQ(0, context.openLog("vantor_config.log"));
  context.romLoaderFile = pf::fopen("loader.txt", "r");
  ASSERT_EQ(0, context.port->open("COM3", 115200, 0));
  machine().pressEnter();
  int status = 0;
  try {
    context.abortProcedure();
  } catch (sim::ProcessExit& e) {
    status = e.status;
  }
  EXPECT_EQ(-1, status);
  EXPECT_EQ("Procedura non completata: riprovare dall'inizio\n",
            machine().console);
  EXPECT_EQ("Procedura non completata: riprovare dall'inizio\n", logText());
  EXPECT_EQ(1, machine().keyReads);
  EXPECT_FALSE(com.isOpen);
  EXPECT_EQ(nullptr, context.log);
  EXPECT_EQ(nullptr, context.romLoaderFile);
}

TEST_F(ContextTest, EnterEndsOneWaitPerCharacterTyped) {
  machine().keys = {'x', 'y', '\n'};
  waitForEnter();
  waitForEnter();
  waitForEnter();
  EXPECT_TRUE(machine().keys.empty());
  waitForEnter();  // end of input: returns at once
  EXPECT_EQ(4, machine().keyReads);
}

}  // namespace
